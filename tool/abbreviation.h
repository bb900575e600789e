// Abbreviation of string values on encode: the URLs of the URL table and
// the two fixed texts become '%' macros, a double quote gets a backslash.
#ifndef BEJCONV_ABBREVIATION_H
#define BEJCONV_ABBREVIATION_H

#include "url_table.h"

#include <cstddef>
#include <string_view>

// Where abbreviated strings are written: a fixed buffer of 1000 bytes for
// the common case, and for longer results a buffer sized exactly for the
// longest one so far, grown when needed and kept for later long strings.
struct abbreviation_buffer {
	static constexpr size_t FIXED_SIZE = 1000;
	char fixed[FIXED_SIZE];
	char *long_data = nullptr;
	size_t long_capacity = 0;

	abbreviation_buffer() = default;
	abbreviation_buffer(const abbreviation_buffer &) = delete;
	abbreviation_buffer &operator=(const abbreviation_buffer &) = delete;
	~abbreviation_buffer();
};

// Forgets the index of an earlier map.
void clear_abbreviation_index(url_trie &trie);

// Indexes the URLs of the present entries of table (those with a URL).
void build_abbreviation_index(url_table &table);

// The abbreviated copy of text (nullptr reads as ""), which ends at its
// first NUL byte; text[n] must be one, and n bytes of text readable.  The
// result is NUL-terminated, in buffer or text itself, and valid until
// buffer's next use; its data is nullptr only when a result too long for
// the fixed buffer finds no memory.  At each position the first rule that
// applies wins: a double quote; the URL of the highest present id that
// begins there; "/redfish/v1/Chassis/1"; "Tarnwhelk"; else the character.
std::string_view abbreviate_urls(const url_table &table, const char *text, size_t n,
				 abbreviation_buffer &buffer);

#endif
