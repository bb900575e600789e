// rde-inspect bej|dict [OPTIONS] [FILE]: the command line.
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
