// Expansion of the macros in the decoded JSON text.
#ifndef BEJCONV_EXPANSION_H
#define BEJCONV_EXPANSION_H

#include "files.h"
#include "url_table.h"

#include <cstddef>

// Expansion stops producing once this many bytes are written: the decoded
// text is cut at the size of the input buffer.
inline constexpr size_t EXPANSION_LIMIT = INPUT_BUFFER_SIZE;
// Size of the buffer handed to expand_url_macros: the limit, the longest
// single expansion that may start just below it, and the closing NUL.
inline constexpr size_t EXPANSION_BUFFER_SIZE = EXPANSION_LIMIT + MAX_URL_LENGTH + 1;

// Expands the macros of text (length bytes) into buffer, which holds
// EXPANSION_BUFFER_SIZE bytes; returns the expanded length.  The byte after
// the last one written is NUL.
size_t expand_url_macros(const url_table &table, const char *text, size_t length, char *buffer);

#endif
