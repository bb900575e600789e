// The PDR-to-URL map and the URL table composed from it.  Hostile or
// sloppy lines cannot reach outside the line buffer or the table:
//  - a malformed line is skipped with "<program>: <map>: ignoring malformed
//    line <n>" and the run goes on: a leading blank, fewer than two blanks
//    (ids 0 and 1 may leave out the name), an id or parent that is not a
//    whole hexadecimal field (optional 0x) or is above 0xff, a name of more
//    than 29 characters.  Empty lines (a lone carriage return too) are
//    skipped silently.  A line longer than a read arrives in pieces, each
//    handled as a line, all with its physical line number;
//  - a composed URL longer than 101 characters leaves the entry unbound, as
//    if the map had no line for it, with a warning naming the id;
//  - a prefix URL longer than 101 characters fails the load before the map
//    is read;
//  - every load starts from an empty table.

#include "url_table.h"

#include "percent_file.h"
#include "program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t LINE_SIZE = 120;

// A hexadecimal field [begin, end): an optional 0x and at least one digit,
// nothing else.  Values above 0xff are refused.
bool parse_hex_field(const char *begin, const char *end, unsigned *value)
{
	if (end - begin > 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X'))
		begin += 2;
	if (begin == end)
		return false;
	unsigned v = 0;
	for (const char *p = begin; p < end; p++) {
		unsigned digit;
		if (*p >= '0' && *p <= '9')
			digit = *p - '0';
		else if (*p >= 'a' && *p <= 'f')
			digit = *p - 'a' + 10;
		else if (*p >= 'A' && *p <= 'F')
			digit = *p - 'A' + 10;
		else
			return false;
		v = v * 16 + digit;
		if (v > 0xff)
			return false;
	}
	*value = v;
	return true;
}

// Applies one map line (without its newline).  Returns false when it is
// malformed and was ignored.
bool apply_map_line(url_table &table, const char *line)
{
	if (line[0] == ' ')
		return false;
	const char *first = strchr(line + 1, ' ');
	if (!first)
		return false;
	const char *parent_field = first + 1;
	const char *second = strchr(parent_field, ' ');
	const char *parent_end = second ? second : parent_field + strlen(parent_field);

	unsigned id, parent;
	if (!parse_hex_field(line, first, &id) ||
	    !parse_hex_field(parent_field, parent_end, &parent))
		return false;

	pdr_url_entry &entry = table.entries[id];
	if (id > 1) {
		if (!second)
			return false;
		const char *name = second + 1;
		size_t length = strlen(name);
		if (length >= sizeof entry.name)
			return false;
		memcpy(entry.name, name, length + 1);
	}
	entry.parent = static_cast<int32_t>(parent);
	entry.present = 1;
	return true;
}

void read_map(url_table &table, FILE *map, const char *map_path)
{
	char line[LINE_SIZE];
	unsigned long line_number = 1;
	for (;;) {
		// Cleared before every read so that the newline test below sees
		// only what this read delivered.
		memset(line, 0, sizeof line);
		if (!fgets(line, sizeof line, map))
			break;  // end of file, or a read error: the map ends here
		bool ends_line = memchr(line, '\n', sizeof line - 1) != nullptr;
		char *newline = strchr(line, '\n');
		if (newline)
			*newline = '\0';
		bool empty = line[0] == '\0' || (line[0] == '\r' && line[1] == '\0');
		if (!empty && !apply_map_line(table, line))
			fprintf(stderr, "%s: %s: ignoring malformed line %lu\n", program_name,
				map_path, line_number);
		if (ends_line)
			line_number++;
	}
}

void set_macro_url(pdr_url_entry &entry, unsigned id)
{
	memcpy(entry.url, URL_MACROS[id].text, URL_MACROS[id].length);
	entry.url[URL_MACROS[id].length] = '\0';
	entry.url_length = URL_MACROS[id].length;
}

// Composes the URL of entry id (2 to 255) from its parent's URL as it stands
// now and its name.
void compose_url(url_table &table, unsigned id, const char *map_path)
{
	pdr_url_entry &entry = table.entries[id];
	if (!entry.present) {
		set_macro_url(entry, id);
		return;
	}
	// The parent may be this very entry: its URL is still empty then.
	const pdr_url_entry &parent = table.entries[entry.parent];
	size_t base = parent.url_length;
	size_t name_length = strlen(entry.name);
	size_t length = (base ? base + 1 : 0) + name_length;
	if (length > MAX_URL_LENGTH) {
		fprintf(stderr, "%s: %s: URL of id %u is longer than %zu characters, ignoring it\n",
			program_name, map_path, id, MAX_URL_LENGTH);
		entry.present = 0;
		set_macro_url(entry, id);
		return;
	}
	char url[sizeof entry.url];
	if (base) {
		memcpy(url, parent.url, base);
		url[base] = '/';
		memcpy(url + base + 1, entry.name, name_length);
	} else {
		memcpy(url, entry.name, name_length);
	}
	url[length] = '\0';
	memcpy(entry.url, url, length + 1);
	entry.url_length = static_cast<uint32_t>(length);
}

// Entry 1 is the prefix URL; entries 2 to 255 are composed in ascending
// order, so a parent with a smaller id passes on its full URL.
void compose_table(url_table &table, const char *prefix_url, const char *map_path)
{
	pdr_url_entry &prefix = table.entries[1];
	size_t prefix_length = strlen(prefix_url);
	memcpy(prefix.url, prefix_url, prefix_length + 1);
	prefix.url_length = static_cast<uint32_t>(prefix_length);
	for (unsigned id = 2; id < URL_TABLE_SIZE; id++)
		compose_url(table, id, map_path);
}

}  // namespace

int load_pdr_url_map(url_table &table, const char *map_path, const char *prefix_url,
		     const char *percent_path)
{
	if (strlen(prefix_url) > MAX_URL_LENGTH) {
		fprintf(stderr, "%s: prefix URL is longer than %zu characters\n", program_name,
			MAX_URL_LENGTH);
		return -EIO;
	}
	memset(table.entries, 0, sizeof table.entries);

	FILE *map = fopen(map_path, "r");
	if (!map) {
		report_path_error(map_path, errno);
		return -EIO;
	}
	read_map(table, map, map_path);
	fclose(map);

	FILE *percent = nullptr;
	if (percent_path && !(percent = open_percent_file(percent_path)))
		return -EIO;
	compose_table(table, prefix_url, map_path);
	if (percent && write_percent_file(percent, percent_path, table.entries) != 0)
		return -EIO;
	return 0;
}
