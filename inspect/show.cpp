// What both subcommands of rde-inspect print with: messages, inputs, the
// flag bits of a format byte, and JSON documents.
#include "common.h"
#include "inspect.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::vector<const char *> flag_names(uint8_t format, bool dictionary)
{
	static const char *const tuple_flags[] = {"deferred binding", "top-level annotation",
						  "nullable", "reserved bit 3"};
	static const char *const entry_flags[] = {"reserved bit 0", "read-only", "nullable",
						  "reserved bit 3"};
	std::vector<const char *> names;
	for (unsigned bit = 0; bit < 4; bit++)
		if (format & (1u << bit))
			names.push_back((dictionary ? entry_flags : tuple_flags)[bit]);
	return names;
}

}  // namespace

bool complain(const std::string &what)
{
	fprintf(stderr, "rde-inspect: %s\n", what.c_str());
	return false;
}

bool read_input(const char *path, std::vector<uint8_t> *bytes)
{
	FILE *f = path ? fopen(path, "rb") : stdin;
	const std::string name = path ? path : "standard input";
	if (!f)
		return complain(name + ": " + strerror(errno));
	int err = read_to_end(f, bytes);
	if (path)
		fclose(f);
	return !err || complain(name + ": " + strerror(err));
}

std::string format_text(uint8_t format, bool dictionary)
{
	char text[8];
	snprintf(text, sizeof text, "0x%02x", format);
	std::string names;
	for (const char *name : flag_names(format, dictionary)) {
		names += names.empty() ? " (" : ", ";
		names += name;
	}
	return text + names + (names.empty() ? "" : ")");
}

json_object *flag_array(uint8_t format, bool dictionary)
{
	json_object *flags = json_object_new_array();
	for (const char *name : flag_names(format, dictionary))
		json_object_array_add(flags, json_object_new_string(name));
	return flags;
}

void put(json_object *object, const char *key, json_object *value)
{
	json_object_object_add(object, key, value);
}

void print_json(json_object *document)
{
	puts(json_object_to_json_string_ext(document, JSON_C_TO_STRING_PRETTY |
							      JSON_C_TO_STRING_SPACED |
							      JSON_C_TO_STRING_NOSLASHESCAPE));
	json_object_put(document);
}
