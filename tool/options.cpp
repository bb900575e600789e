// The command line, read with getopt_long: options and operands may be
// mixed, an option given twice takes its last value, long options may be
// abbreviated to any unique prefix.
#include "options.h"

#include "program.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace {

// "percent" is advertised in the usage text but has no long form: only -p
// sets the percent file.
constexpr struct option LONG_OPTIONS[] = {
	{"schema", required_argument, nullptr, 's'},
	{"annotation", required_argument, nullptr, 'a'},
	{"schema-type", required_argument, nullptr, 't'},
	{"output", required_argument, nullptr, 'o'},
	{"locator", required_argument, nullptr, 'l'},
	{"pdr-map", required_argument, nullptr, 'm'},
	{"prefix-url", required_argument, nullptr, 'u'},
	{"help", no_argument, nullptr, 'h'},
	{nullptr, 0, nullptr, 0},
};

// Reads a schema type the way "%d" does: blanks, an optional sign and the
// leading decimal digits ("7abc" is 7, "major" is refused).  A number that
// does not fit in an int is refused as well rather than wrapped, so that
// every platform reads the same value; any number that fits is passed on.
bool parse_schema_type(const char *text, int *type)
{
	char *end = nullptr;
	errno = 0;
	long long value = strtoll(text, &end, 10);
	if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
		return false;
	*type = static_cast<int>(value);
	return true;
}

// Applies one option that takes a value.  Returns 0, or -EINVAL for a schema
// type that cannot be read, after its message.
int apply_option(int option, const char *value, settings &set)
{
	switch (option) {
	case 's':
		set.schema_path = value;
		break;
	case 'a':
		set.annotation_path = value;
		break;
	case 'o':
		set.output_path = value;
		break;
	case 'l':
		set.locator = value;
		break;
	case 'm':
		set.pdr_map = value;
		break;
	case 'p':
		set.percent_path = value;
		break;
	case 'u':
		set.prefix_url = value;
		break;
	case 't':
		if (!parse_schema_type(value, &set.schema_type)) {
			fprintf(stderr, "%s: invalid schema type '%s'\n", program_name, value);
			return -EINVAL;
		}
		break;
	}
	return 0;
}

}  // namespace

parse_result parse_command_line(int argc, char **argv, settings &set)
{
	optind = 0;  // a full rescan, also when called more than once
	for (int c;
	     (c = getopt_long(argc, argv, "s:a:t:o:l:m:p:u:h", LONG_OPTIONS, nullptr)) != -1;) {
		if (c == 'h') {
			print_usage();
			return parse_result::exit_success;
		}
		if (c == '?' || c == ':') {  // getopt_long has printed its diagnostic
			print_usage();
			return parse_result::exit_failure;
		}
		if (apply_option(c, optarg, set) != 0)
			return parse_result::exit_failure;
	}
	if (optind >= argc) {
		print_usage();
		return parse_result::exit_failure;
	}
	set.action = argv[optind++];
	if (optind < argc)
		set.input_path = argv[optind];  // later operands are ignored
	return parse_result::run;
}

void print_usage()
{
	printf("Usage: %s [OPTIONS] ACTION FILE\n", program_name);
	printf("Converts JSON-encoded FILE to a binary encoded JSON (BEJ) format or \n");
	printf("the other way around.\n");
	printf("\n");
	printf("Options:\n");
	printf("    -s, --schema=FILE        Use FILE as primary schema dictionary for encoding\n");
	printf("    -a, --annotation=FILE    Use FILE as annotation schema\n");
	printf("    -t, --schema-type=TYPE   Primary schema type (major, event, error, etc.)\n");
	printf("    -o, --output=FILE        Write encoded/decoded data to FILE\n");
	printf("    -l, --locator=STRING     Locator string in the form of PROPERTY/CHILD_PROPERTY\n");
	printf("    -m, --pdr-map=FILE       Use FILE as pdr_url_map\n");
	printf("    -p, --percent=FILE       Use FILE as %% replacement\n");
	printf("    -u, --prefix-url=STRING  prefix_url string\n");
	printf("    -h, --help               Show this help\n");
	printf("Actions:\n");
	printf("    encode                   encodes JSON to BEJ\n");
	printf("    decode                   decodes BEJ to JSON\n");
	printf("    encode-locator           encodes locator into BEJ locator format\n");
}
