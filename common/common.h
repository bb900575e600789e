// What rde-dictc and rde-inspect share: the words for an option that
// getopt_long refused (both run it with opterr = 0 and an option string
// beginning with ':', so that the message and the usage text are theirs),
// reading a whole input, the text of a schema version, and the walk over a
// property tree that librde built.
#ifndef COMMON_COMMON_H
#define COMMON_COMMON_H

#include <librde/rde_bej.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// The "MAJOR.MINOR.UPDATE" text of a schema version word as rde-dictc
// writes it ("1.14.0" for 0xF114F000), or "" for any other word.
std::string version_text(uint32_t word);

// Calls visit(property, depth) for root and every property below it along
// the children built under each (not the lists they share), depth first in
// entry order, the root at depth 0.
template <typename Visit>
void walk_properties(const rde_bej_property *root, Visit visit)
{
	std::vector<const rde_bej_property *> ancestors;
	for (const rde_bej_property *p = root; p;) {
		visit(p, static_cast<unsigned>(ancestors.size()));
		if (const rde_bej_property *child = rde_bej_property_get_first_child(p)) {
			ancestors.push_back(p);
			p = child;
			continue;
		}
		while (!ancestors.empty() && !rde_bej_property_get_next_sibling(p)) {
			p = ancestors.back();
			ancestors.pop_back();
		}
		p = ancestors.empty() ? nullptr : rde_bej_property_get_next_sibling(p);
	}
}

#endif
