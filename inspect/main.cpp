// rde-inspect bej|dict [OPTIONS] [FILE]: the command line and what the two
// subcommands share.
#include "common.h"
#include "inspect.h"

#include <getopt.h>
#include <librde/rde_bej.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const char USAGE[] =
	"Usage: rde-inspect bej -s SCHEMA [-a ANNOTATION] [-t TYPE] [-l LOCATOR] [--json] [FILE]\n"
	"       rde-inspect dict [--json] FILE\n"
	"Shows what a BEJ encoding or a dictionary holds.\n"
	"  bej                     each tuple of the encoding in FILE (standard input\n"
	"                          without it) on a line, named from the dictionaries\n"
	"  dict                    the header and the entries of the dictionary FILE\n"
	"  -s, --schema=FILE       schema dictionary\n"
	"  -a, --annotation=FILE   annotation dictionary\n"
	"  -t, --schema-type=TYPE  schema class of the encoding (default 0)\n"
	"  -l, --locator=STRING    the encoding is of this property (Status/Health)\n"
	"  -j, --json              the same facts as JSON\n"
	"  -h, --help              show this help\n";

int usage_error(const std::string &what)
{
	complain(what);
	fputs(USAGE, stderr);
	return 1;
}

bool parse_type(const char *text, int32_t *type)
{
	char *end;
	errno = 0;
	long n = strtol(text, &end, 10);
	if (errno || end == text || *end || n < INT32_MIN || n > INT32_MAX)
		return false;
	*type = (int32_t)n;
	return true;
}

// Reads the options into *o.  Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, inspect_options *o)
{
	static const option longopts[] = {
		{"schema", required_argument, nullptr, 's'},
		{"annotation", required_argument, nullptr, 'a'},
		{"schema-type", required_argument, nullptr, 't'},
		{"locator", required_argument, nullptr, 'l'},
		{"json", no_argument, nullptr, 'j'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	opterr = 0;
	int c;
	while ((c = getopt_long(argc, argv, ":s:a:t:l:jh", longopts, nullptr)) != -1) {
		switch (c) {
		case 's':
			o->schema = optarg;
			break;
		case 'a':
			o->annotation = optarg;
			break;
		case 'l':
			o->locator = optarg;
			break;
		case 'j':
			o->json = true;
			break;
		case 't':
			if (!parse_type(optarg, &o->schema_type))
				return usage_error(std::string("invalid schema type '") + optarg +
						   "'");
			break;
		case 'h':
			fputs(USAGE, stdout);
			return 0;
		default:
			return usage_error(getopt_refusal(c, argv));
		}
	}
	return -1;
}

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

int run(int argc, char **argv)
{
	inspect_options o;
	int status = parse_options(argc, argv, &o);
	if (status >= 0)
		return status;
	int operands = argc - optind;
	const char *command = operands > 0 ? argv[optind] : "";
	if (operands > 1)
		o.file = argv[optind + 1];
	if (strcmp(command, "bej") == 0) {
		if (operands > 2)
			return usage_error("too many operands");
		if (!o.schema)
			return usage_error("bej needs a schema dictionary (-s)");
		return inspect_bej(o);
	}
	if (strcmp(command, "dict") == 0) {
		if (operands != 2)
			return usage_error(operands < 2 ? "dict needs a dictionary FILE"
							: "too many operands");
		if (o.schema || o.annotation || o.locator)
			return usage_error("dict takes no -s, -a or -l");
		return inspect_dict(o);
	}
	return usage_error(operands ? "unknown command '" + std::string(command) + "'"
				    : "missing command: bej or dict");
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

int main(int argc, char **argv)
{
	rde_bej_init();
	int status;
	try {
		status = run(argc, argv);
	} catch (const std::bad_alloc &) {
		complain("out of memory");
		return 1;
	}
	// A full disk shows only when the output is flushed.
	if (fflush(stdout) != 0 || ferror(stdout)) {
		complain(std::string("standard output: ") + strerror(errno));
		return 1;
	}
	return status;
}
