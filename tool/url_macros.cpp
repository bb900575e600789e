// Deferred-binding URL macros.
//
// The PDR-to-URL map names resources as a tree under the prefix URL; every
// line adds one path segment.  load_pdr_url_map() composes the full URL of
// every entry into a fixed table, abbreviate_urls() replaces those URLs (and
// two fixed texts) by short '%' macros inside one string value on encode, and
// expand_url_macros() turns the macros of the decoded JSON text back into
// URLs.
//
// Hostile or sloppy input is handled as follows; nothing a map line, a
// prefix, a string value or a macro holds can reach outside a buffer or the
// table:
//  - Map lines that are not well formed are skipped with a one-line warning
//    on stderr ("<program>: <map>: ignoring malformed line <n>"); the run goes
//    on.  Malformed means: a leading blank, fewer than two blanks (ids 0 and 1
//    may leave out the name, which is ignored for them anyway), an id or
//    parent field that is not a hexadecimal number (optional 0x) filling the
//    whole field, an id or parent above 0xff, a name of more than 29
//    characters (a cut name would bind a wrong URL, so the line is dropped
//    rather than cut).  Empty lines (also a lone carriage return) are skipped
//    silently.  Line numbers count physical lines: a line longer than a read
//    arrives in several pieces, each handled as a line, all with its number.
//  - A composed URL longer than 101 characters is not cut: the entry is left
//    unbound, as if the map had no line for it (its URL is its own macro, it
//    is never used for abbreviation, its children start with its macro), and
//    a warning names the id.
//  - A prefix URL longer than 101 characters fails the load with a message,
//    before the map is read.
//  - A present entry whose URL is empty never matches.
//  - An abbreviated string longer than 999 characters is never cut: it is
//    written into a larger buffer sized exactly for it (a quote doubles, a
//    one-character URL can become a five-character macro), grown once and
//    kept for later long strings.  Only then can abbreviate_urls() fail, and
//    it then returns nullptr (out of memory), which the builder refuses.
//  - On decode, "%L" with an id above 255 is copied unchanged: no entry can
//    have produced it, so it is left as the text it is.
//  - Every load starts from an empty table, so a second load (tests, or a
//    caller that loads twice) keeps nothing of the first map.
//  - A percent file that cannot be written in full (a full disk) fails the
//    load like one that cannot be opened.

#include "url_macros.h"

#include "program.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t TABLE_SIZE = URL_TABLE_SIZE;
constexpr size_t NAME_SIZE = 30;  // up to 29 characters and a NUL
constexpr size_t URL_SIZE = MAX_EXPANSION + 1;
constexpr size_t LINE_SIZE = 120;
constexpr size_t ABBREVIATION_SIZE = 1000;

constexpr char CHASSIS_URL[] = "/redfish/v1/Chassis/1";
constexpr size_t CHASSIS_LENGTH = sizeof CHASSIS_URL - 1;
constexpr char INSTANCE_TEXT[] = "Tarnwhelk";
constexpr size_t INSTANCE_LENGTH = sizeof INSTANCE_TEXT - 1;

struct pdr_url_entry {
	uint8_t present;
	int32_t parent;
	char name[NAME_SIZE];
	char url[URL_SIZE];
	uint32_t url_length;
};

pdr_url_entry pdr_url_table[TABLE_SIZE];

// "%L<id>" of every id, ready to be written.
char macro_text[TABLE_SIZE][8];
uint8_t macro_length[TABLE_SIZE];

// Abbreviation looks up URLs in a trie of the present entries' URLs, so that
// at each position only the characters that can still match are compared,
// however many entries the map has.  Every node keeps the highest id whose URL
// ends there; the highest id met along the walk is the entry a scan from id
// 255 down to 1 would find first.  Edges below the root live in an
// open-addressing hash keyed by (node, byte); the root has a direct array.
// The hash uses only as many slots as the map needs (at least twice the
// node count), so that a usual map's trie stays in the cache.
constexpr size_t MAX_NODES = 255 * MAX_EXPANSION + 1;
constexpr unsigned MIN_EDGE_BITS = 6;
constexpr unsigned MAX_EDGE_BITS = 16;
static_assert(MAX_NODES < 65536, "node numbers are 16-bit");
static_assert(2 * MAX_NODES <= size_t(1) << MAX_EDGE_BITS, "edge hash too small");

struct trie_edge {
	uint32_t key;  // ((node + 1) << 8 | byte), 0 = free slot
	uint16_t child;
};

uint16_t root_child[256];
trie_edge edges[size_t(1) << MAX_EDGE_BITS];
unsigned edge_bits = MIN_EDGE_BITS;
uint8_t node_id[MAX_NODES];
size_t node_count = 1;  // node 0 is the root

// Chains of nodes with a single child and no URL ending in them are crossed
// in one comparison: from node n, jump_length[n] characters lead to
// jump_to[n], and they are the characters from n's depth on of the URL
// of node_rep[jump_to[n]] (any entry whose URL passes through that node).
uint8_t child_count[MAX_NODES];  // 0, 1, or 2 for "more than one"
uint16_t only_child[MAX_NODES];
uint16_t jump_to[MAX_NODES];
uint8_t jump_length[MAX_NODES];
uint8_t node_rep[MAX_NODES];

// Characters at which some rule can apply: a quote, the first character of
// a URL or of a fixed text, and the NUL that ends the string.  Everything
// between two of them is copied as one run.
constexpr std::array<bool, 256> fixed_rule_starts()
{
	std::array<bool, 256> starts{};
	for (unsigned char c : {'\0', '"', '/', 'T'})
		starts[c] = true;
	return starts;
}
std::array<bool, 256> starts_rule = fixed_rule_starts();

inline size_t edge_mask() { return (size_t(1) << edge_bits) - 1; }

inline size_t edge_slot(uint32_t key)
{
	return (key * 2654435761u) >> (32 - edge_bits);
}

inline uint16_t trie_child(uint16_t node, unsigned char c)
{
	if (node == 0)
		return root_child[c];
	uint32_t key = (uint32_t(node) + 1) << 8 | c;
	for (size_t s = edge_slot(key);; s = (s + 1) & edge_mask()) {
		if (edges[s].key == key)
			return edges[s].child;
		if (edges[s].key == 0)
			return 0;
	}
}

void trie_insert(const char *url, size_t length, unsigned id)
{
	starts_rule[static_cast<unsigned char>(url[0])] = true;
	uint16_t node = 0;
	for (size_t d = 0; d < length; d++) {
		unsigned char c = static_cast<unsigned char>(url[d]);
		uint16_t next = trie_child(node, c);
		if (next == 0) {
			next = static_cast<uint16_t>(node_count++);
			if (node == 0) {
				root_child[c] = next;
			} else {
				uint32_t key = (uint32_t(node) + 1) << 8 | c;
				size_t s = edge_slot(key);
				while (edges[s].key != 0)
					s = (s + 1) & edge_mask();
				edges[s] = {key, next};
			}
			node_rep[next] = static_cast<uint8_t>(id);
			if (child_count[node] < 2)
				child_count[node]++;
			only_child[node] = next;
		}
		node = next;
	}
	if (id > node_id[node])
		node_id[node] = static_cast<uint8_t>(id);
}

// Forgets the trie of an earlier map.
void trie_reset()
{
	memset(root_child, 0, sizeof root_child);
	memset(edges, 0, sizeof(trie_edge) << edge_bits);
	memset(node_id, 0, node_count);
	memset(child_count, 0, node_count);
	memset(jump_length, 0, node_count);
	node_count = 1;
	edge_bits = MIN_EDGE_BITS;
	starts_rule = fixed_rule_starts();
}

// Builds the trie of the present entries with a non-empty URL (an empty URL
// must never match: it would not advance).
void trie_build()
{
	uint8_t ids[TABLE_SIZE];
	size_t count = 0;
	for (unsigned id = 1; id < TABLE_SIZE; id++)
		if (pdr_url_table[id].present && pdr_url_table[id].url_length > 0)
			ids[count++] = static_cast<uint8_t>(id);

	// The node count is the number of distinct prefixes: in sorted order,
	// each URL adds what it does not share with the one before.
	std::sort(ids, ids + count, [](uint8_t a, uint8_t b) {
		return strcmp(pdr_url_table[a].url, pdr_url_table[b].url) < 0;
	});
	size_t nodes = 1;
	for (size_t k = 0; k < count; k++) {
		const char *url = pdr_url_table[ids[k]].url;
		size_t shared = 0;
		if (k > 0) {
			const char *before = pdr_url_table[ids[k - 1]].url;
			while (url[shared] && url[shared] == before[shared])
				shared++;
		}
		nodes += pdr_url_table[ids[k]].url_length - shared;
	}
	while ((size_t(1) << edge_bits) < 2 * nodes)
		edge_bits++;

	for (size_t k = 0; k < count; k++)
		trie_insert(pdr_url_table[ids[k]].url, pdr_url_table[ids[k]].url_length, ids[k]);

	for (size_t node = 1; node < node_count; node++) {
		if (child_count[node] != 1)
			continue;
		uint16_t to = only_child[node];
		size_t length = 1;
		while (node_id[to] == 0 && child_count[to] == 1) {
			to = only_child[to];
			length++;
		}
		jump_to[node] = to;
		jump_length[node] = static_cast<uint8_t>(length);
	}
}

// One step of abbreviation at position i of text (n characters): what to
// write and how far to advance.
struct piece {
	const char *data;
	size_t length;
	size_t advance;
};

inline piece next_piece(const char *text, size_t n, size_t i)
{
	char c = text[i];
	if (c == '"')
		return {"\\\"", 2, 1};

	uint16_t node = root_child[static_cast<unsigned char>(c)];
	if (node != 0) {
		unsigned best = node_id[node];
		size_t best_length = 1;
		for (size_t d = 1; child_count[node] != 0;) {
			if (size_t length = jump_length[node]) {
				// No URL ends inside the chain: a mismatch ends the walk.
				uint16_t to = jump_to[node];
				if (n - i - d < length ||
				    memcmp(text + i + d, pdr_url_table[node_rep[to]].url + d, length) != 0)
					break;
				node = to;
				d += length;
			} else {
				if (i + d >= n)
					break;
				node = trie_child(node, static_cast<unsigned char>(text[i + d]));
				if (node == 0)
					break;
				d++;
			}
			if (node_id[node] > best) {
				best = node_id[node];
				best_length = d;
			}
		}
		if (best != 0)
			return {macro_text[best], macro_length[best], best_length};
	}

	if (c == '/' && n - i >= CHASSIS_LENGTH && memcmp(text + i, CHASSIS_URL, CHASSIS_LENGTH) == 0)
		return {"%C", 2, CHASSIS_LENGTH};
	if (c == 'T' && n - i >= INSTANCE_LENGTH &&
	    memcmp(text + i, INSTANCE_TEXT, INSTANCE_LENGTH) == 0)
		return {"%I1", 3, INSTANCE_LENGTH};

	// No rule applies here: copy up to the next character where one might
	// (the text's NUL stops the scan at the latest).
	size_t j = i + 1;
	while (!starts_rule[static_cast<unsigned char>(text[j])])
		j++;
	return {text + i, j - i, j - i};
}

// The common case writes into this fixed buffer; a string whose abbreviation
// does not fit gets the long buffer, sized exactly and kept for reuse.
char abbreviation[ABBREVIATION_SIZE];

struct long_buffer {
	char *data = nullptr;
	size_t capacity = 0;
	~long_buffer() { free(data); }
} long_abbreviation;

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
bool apply_map_line(const char *line)
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
	if (!parse_hex_field(line, first, &id) || !parse_hex_field(parent_field, parent_end, &parent))
		return false;

	pdr_url_entry &entry = pdr_url_table[id];
	if (id > 1) {
		if (!second)
			return false;
		const char *name = second + 1;
		size_t length = strlen(name);
		if (length >= NAME_SIZE)
			return false;
		memcpy(entry.name, name, length + 1);
	}
	entry.parent = static_cast<int32_t>(parent);
	entry.present = 1;
	return true;
}

void read_map(FILE *map, const char *map_path)
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
		if (!empty && !apply_map_line(line))
			fprintf(stderr, "%s: %s: ignoring malformed line %lu\n", program_name, map_path,
				line_number);
		if (ends_line)
			line_number++;
	}
}

void set_macro_url(pdr_url_entry &entry, unsigned id)
{
	memcpy(entry.url, macro_text[id], macro_length[id] + 1u);
	entry.url_length = macro_length[id];
}

// Composes the URL of entry id (2 to 255) from its parent's URL as it stands
// now and its name.
void compose_url(unsigned id, const char *map_path)
{
	pdr_url_entry &entry = pdr_url_table[id];
	if (!entry.present) {
		set_macro_url(entry, id);
		return;
	}
	// The parent may be this very entry: its URL is still empty then.
	const pdr_url_entry &parent = pdr_url_table[entry.parent];
	size_t base = parent.url_length;
	size_t name_length = strlen(entry.name);
	size_t length = (base ? base + 1 : 0) + name_length;
	if (length > MAX_EXPANSION) {
		fprintf(stderr, "%s: %s: URL of id %u is longer than %zu characters, ignoring it\n",
			program_name, map_path, id, MAX_EXPANSION);
		entry.present = 0;
		set_macro_url(entry, id);
		return;
	}
	char url[URL_SIZE];
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

bool report_errno(const char *path)
{
	fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(errno));
	return false;
}

}  // namespace

int load_pdr_url_map(const char *map_path, const char *prefix_url, const char *percent_path)
{
	if (!prefix_url)
		prefix_url = "/redfish/v1";
	size_t prefix_length = strlen(prefix_url);
	if (prefix_length > MAX_EXPANSION) {
		fprintf(stderr, "%s: prefix URL is longer than %zu characters\n", program_name,
			MAX_EXPANSION);
		return -EIO;
	}

	// A load starts from an empty table, so nothing of an earlier map lingers.
	memset(pdr_url_table, 0, sizeof pdr_url_table);
	trie_reset();
	for (unsigned id = 0; id < TABLE_SIZE; id++)
		macro_length[id] = static_cast<uint8_t>(
			snprintf(macro_text[id], sizeof macro_text[id], "%%L%u", id));

	FILE *map = fopen(map_path, "r");
	if (!map) {
		report_errno(map_path);
		return -EIO;
	}
	read_map(map, map_path);
	fclose(map);

	FILE *percent = nullptr;
	if (percent_path) {
		percent = fopen(percent_path, "w");
		if (!percent) {
			report_errno(percent_path);
			return -EIO;
		}
	}

	pdr_url_entry &prefix = pdr_url_table[1];
	memcpy(prefix.url, prefix_url, prefix_length + 1);
	prefix.url_length = static_cast<uint32_t>(prefix_length);
	if (percent)
		fprintf(percent, "%%L%d: %s\n", 1, prefix.url);

	for (unsigned id = 2; id < TABLE_SIZE; id++) {
		compose_url(id, map_path);
		if (percent)
			fprintf(percent, "%%L%d: %s\n", static_cast<int>(id), pdr_url_table[id].url);
	}

	trie_build();

	if (percent) {
		fprintf(percent, "%%C: %s\n", CHASSIS_URL);
		fprintf(percent, "%%I1: %s\n", INSTANCE_TEXT);
		// A write that failed (a full disk) fails the load like an open.
		bool failed = ferror(percent);
		int saved = errno;
		if (fclose(percent) != 0) {
			failed = true;
			saved = errno;
		}
		if (failed) {
			errno = saved ? saved : EIO;
			report_errno(percent_path);
			return -EIO;
		}
	}
	return 0;
}

const char *abbreviate_urls(const char *text)
{
	if (!text)
		text = "";
	size_t n = strlen(text);
	size_t i = 0, o = 0;
	while (i < n) {
		piece p = next_piece(text, n, i);
		if (o + p.length >= ABBREVIATION_SIZE)
			break;
		memcpy(abbreviation + o, p.data, p.length);
		o += p.length;
		i += p.advance;
	}
	if (i == n) {
		abbreviation[o] = '\0';
		return abbreviation;
	}

	// Too long for the fixed buffer: measure the rest, then finish the
	// string in the long buffer.
	size_t total = o;
	for (size_t j = i; j < n;) {
		piece p = next_piece(text, n, j);
		total += p.length;
		j += p.advance;
	}
	if (total + 1 > long_abbreviation.capacity) {
		char *grown = static_cast<char *>(realloc(long_abbreviation.data, total + 1));
		if (!grown)
			return nullptr;
		long_abbreviation.data = grown;
		long_abbreviation.capacity = total + 1;
	}
	char *out = long_abbreviation.data;
	memcpy(out, abbreviation, o);
	while (i < n) {
		piece p = next_piece(text, n, i);
		memcpy(out + o, p.data, p.length);
		o += p.length;
		i += p.advance;
	}
	out[o] = '\0';
	return out;
}

std::string_view pdr_url(unsigned id)
{
	return {pdr_url_table[id].url, pdr_url_table[id].url_length};
}
