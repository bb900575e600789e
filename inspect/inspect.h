// rde-inspect: shows what a BEJ encoding or a dictionary holds, one line per
// tuple or entry with the names the dictionaries give them, or the same
// facts as JSON.  Malformed bytes are shown up to where they break.
#ifndef INSPECT_INSPECT_H
#define INSPECT_INSPECT_H

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

struct inspect_options {
	const char *schema = nullptr;      // -s
	const char *annotation = nullptr;  // -a
	const char *locator = nullptr;     // -l
	int32_t schema_type = 0;           // -t
	bool json = false;                 // --json
	const char *file = nullptr;        // the operand; nullptr: standard input
};

// The two subcommands; each returns the exit status.
int inspect_bej(const inspect_options &options);
int inspect_dict(const inspect_options &options);

// Prints "rde-inspect: what" on standard error; returns false.
bool complain(const std::string &what);

// Reads a whole file (standard input when path is nullptr); false after a
// message when it cannot.
bool read_input(const char *path, std::vector<uint8_t> *bytes);

// The names of the flag bits of a format byte (bit 1 is the top-level
// annotation flag in a tuple and read-only in a dictionary entry): the
// byte with its flags, "0x34 (nullable)", and the flags as a JSON array.
std::string format_text(uint8_t format, bool dictionary);
json_object *flag_array(uint8_t format, bool dictionary);

// Adds a member to a JSON object (the object takes the value).
void put(json_object *object, const char *key, json_object *value);
// Prints a JSON document on standard output and releases it.
void print_json(json_object *document);

#endif
