// Deferred-binding URL macros: the PDR-to-URL map, the URL table composed
// from it, abbreviation of string values on encode and expansion of the JSON
// text on decode.
#ifndef BEJCONV_URL_MACROS_H
#define BEJCONV_URL_MACROS_H

#include <cstddef>
#include <string_view>

// Number of entries of the URL table: ids 0 to 255.
inline constexpr unsigned URL_TABLE_SIZE = 256;

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

// The URL of entry id (below URL_TABLE_SIZE) of the table; empty for id 0.
std::string_view pdr_url(unsigned id);

#endif
