// rde-dictc [-o OUT] DESCRIPTION.json: writes the dictionary compiled from
// a JSON description (dictc/FORMAT.md) to OUT or standard output; with
// --decompile it reads a dictionary and writes its description.
#include "common.h"
#include "dictc.h"

#include <getopt.h>
#include <librde/rde_bej.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char USAGE[] = "Usage: rde-dictc [-o OUT] DESCRIPTION.json\n"
		     "       rde-dictc --decompile [-o OUT] DICTIONARY\n"
		     "Compiles a JSON schema description into a binary dictionary, or writes\n"
		     "the description of a dictionary.\n"
		     "  -o, --output OUT  write the result to OUT (default: standard output)\n"
		     "  -d, --decompile   read a dictionary and write its description\n"
		     "  -h, --help        show this help\n"
		     "The input may be - for standard input.\n";

struct options {
	const char *output = nullptr;
	bool decompile = false;
	const char *input = nullptr;
};

int complain(const std::string &what)
{
	fprintf(stderr, "rde-dictc: %s\n", what.c_str());
	return 1;
}

int usage_error(const std::string &what)
{
	complain(what);
	fputs(USAGE, stderr);
	return 1;
}

// Reads the command line into *o.  Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, options *o)
{
	static const option longopts[] = {
		{"output", required_argument, nullptr, 'o'},
		{"decompile", no_argument, nullptr, 'd'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	opterr = 0;
	int c;
	while ((c = getopt_long(argc, argv, ":o:dh", longopts, nullptr)) != -1) {
		switch (c) {
		case 'o':
			o->output = optarg;
			break;
		case 'd':
			o->decompile = true;
			break;
		case 'h':
			fputs(USAGE, stdout);
			return 0;
		default:
			return usage_error(getopt_refusal(c, argv));
		}
	}
	if (argc - optind != 1)
		return usage_error(argc - optind == 0 ? (o->decompile ? "missing DICTIONARY"
								      : "missing DESCRIPTION.json")
						      : "too many operands");
	o->input = argv[optind];
	return -1;
}

// The whole input, from the file or standard input ("-"); false after a
// message when it cannot be read.
bool read_input(const char *path, std::string *text)
{
	bool standard_input = strcmp(path, "-") == 0;
	FILE *f = standard_input ? stdin : fopen(path, "rb");
	int err = f ? read_to_end(f, text) : errno;
	if (f && !standard_input)
		fclose(f);
	if (err)
		complain(std::string(standard_input ? "standard input" : path) + ": " +
			 strerror(err));
	return err == 0;
}

int write_output(const char *output, const void *data, size_t size)
{
	FILE *out = output ? fopen(output, "wb") : stdout;
	if (!out)
		return complain(std::string(output) + ": " + strerror(errno));
	bool ok = fwrite(data, 1, size, out) == size;
	ok = (output ? fclose(out) : fflush(out)) == 0 && ok;
	if (!ok)
		return complain(std::string(output ? output : "standard output") + ": " +
				strerror(errno));
	return 0;
}

}  // namespace

int main(int argc, char **argv)
{
	rde_bej_init();
	options o;
	int status = parse_options(argc, argv, &o);
	if (status >= 0)
		return status;
	std::string input, error;
	if (!read_input(o.input, &input))
		return 1;
	if (o.decompile) {
		std::string text;
		if (!dictc::decompile(input.data(), input.size(), &text, &error))
			return complain(std::string(o.input) + ": " + error);
		return write_output(o.output, text.data(), text.size());
	}
	std::vector<uint8_t> bytes;
	if (!dictc::compile(input, &bytes, &error))
		return complain(std::string(o.input) + ": " + error);
	return write_output(o.output, bytes.data(), bytes.size());
}
