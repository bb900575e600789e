// Deferred-binding URL macros: the PDR-to-URL map, the URL table composed
// from it, abbreviation of string values on encode and expansion of the JSON
// text on decode.
#ifndef BEJCONV_URL_MACROS_H
#define BEJCONV_URL_MACROS_H

#include <cstddef>

// Expansion stops producing once this many bytes are written.
inline constexpr size_t EXPANSION_LIMIT = 8388608;
// Longest text one macro expands to (a table URL).
inline constexpr size_t MAX_EXPANSION = 101;
// Size of the buffer handed to expand_url_macros: the limit, the longest
// single expansion that may start just below it, and the closing NUL.
inline constexpr size_t EXPANSION_BUFFER_SIZE = EXPANSION_LIMIT + MAX_EXPANSION + 1;

// Reads the map, composes the URL table and writes the percent file when
// percent_path is not null.  Returns 0 or -EIO after a message.
int load_pdr_url_map(const char *map_path, const char *prefix_url, const char *percent_path);

// The abbreviated copy of one string value, NUL-terminated.  The text lives
// in a buffer of this unit, valid until the next call.
const char *abbreviate_urls(const char *text);

// Expands the macros of text (length bytes) into buffer, which holds
// EXPANSION_BUFFER_SIZE bytes; returns the expanded length.  The byte after
// the last one written is NUL.
size_t expand_url_macros(const char *text, size_t length, char *buffer);

#endif
