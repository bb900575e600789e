// rde-dictc [-o OUT] DESCRIPTION.json: writes the dictionary compiled from
// a JSON description (dictc/FORMAT.md) to OUT or standard output.
#include "dictc.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char USAGE[] =
	"Usage: rde-dictc [-o OUT] DESCRIPTION.json\n"
	"Compiles a JSON schema description into a binary dictionary.\n"
	"  -o, --output OUT  write the dictionary to OUT (default: standard output)\n"
	"  -h, --help        show this help\n"
	"DESCRIPTION.json may be - for standard input.\n";

// Descriptions are hand-written text; anything larger is refused.
constexpr size_t MAX_DESCRIPTION = 64u << 20;

int complain(const std::string &what)
{
	fprintf(stderr, "rde-dictc: %s\n", what.c_str());
	return 1;
}

bool read_all(FILE *f, std::string *text)
{
	char buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
		if (text->size() + n > MAX_DESCRIPTION) {
			errno = EFBIG;
			return false;
		}
		text->append(buf, n);
	}
	return !ferror(f);
}

}  // namespace

int main(int argc, char **argv)
{
	static const option longopts[] = {
		{"output", required_argument, nullptr, 'o'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	const char *output = nullptr;
	opterr = 0;
	int c;
	while ((c = getopt_long(argc, argv, ":o:h", longopts, nullptr)) != -1) {
		switch (c) {
		case 'o':
			output = optarg;
			break;
		case 'h':
			fputs(USAGE, stdout);
			return 0;
		case ':':
			complain(std::string("option requires an argument -- '") + (char)optopt + "'");
			fputs(USAGE, stderr);
			return 1;
		default:
			if (optopt)
				complain(std::string("unknown option -- '") + (char)optopt + "'");
			else
				complain(std::string("unknown option '") + argv[optind - 1] + "'");
			fputs(USAGE, stderr);
			return 1;
		}
	}
	if (argc - optind != 1) {
		complain(argc - optind == 0 ? "missing DESCRIPTION.json" : "too many operands");
		fputs(USAGE, stderr);
		return 1;
	}

	const char *path = argv[optind];
	std::string text;
	if (strcmp(path, "-") == 0) {
		if (!read_all(stdin, &text))
			return complain(std::string("standard input: ") + strerror(errno));
	} else {
		FILE *f = fopen(path, "rb");
		if (!f)
			return complain(std::string(path) + ": " + strerror(errno));
		bool ok = read_all(f, &text);
		int err = errno;
		fclose(f);
		if (!ok)
			return complain(std::string(path) + ": " + strerror(err));
	}

	std::vector<uint8_t> bytes;
	std::string error;
	if (!dictc::compile(text, &bytes, &error))
		return complain(std::string(path) + ": " + error);

	FILE *out = output ? fopen(output, "wb") : stdout;
	if (!out)
		return complain(std::string(output) + ": " + strerror(errno));
	bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
	ok = (output ? fclose(out) : fflush(out)) == 0 && ok;
	if (!ok)
		return complain(std::string(output ? output : "standard output") + ": " +
				strerror(errno));
	return 0;
}
