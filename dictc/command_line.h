// What rde-dictc and rde-inspect share around their command lines: the
// words for an option that getopt_long refused (both run it with opterr = 0
// and an option string beginning with ':', so that the message and the
// usage text are theirs), and reading a whole input.
#ifndef DICTC_COMMAND_LINE_H
#define DICTC_COMMAND_LINE_H

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

// The reason for getopt_long's result c (':' or '?'), read from optopt and
// the word before optind.
std::string getopt_refusal(int c, char **argv);

// Inputs are descriptions and files made by programs; anything larger than
// this is refused.
inline constexpr size_t MAX_INPUT_SIZE = size_t{64} << 20;

// Reads f to its end, appending to *out (a std::string or a byte vector),
// and refuses more than MAX_INPUT_SIZE bytes.  Returns 0, or the errno value
// of the failure (EFBIG past the limit).
template <typename Bytes>
int read_to_end(FILE *f, Bytes *out)
{
	char buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
		if (out->size() + n > MAX_INPUT_SIZE)
			return EFBIG;
		out->insert(out->end(), buf, buf + n);
	}
	return ferror(f) ? errno : 0;
}

#endif
