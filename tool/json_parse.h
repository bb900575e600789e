// The encode input's text parsed by json-c.
#ifndef BEJCONV_JSON_PARSE_H
#define BEJCONV_JSON_PARSE_H

#include <json-c/json.h>

#include <cstddef>

// Parses the length bytes of text (its closing NUL included, which
// completes a number or literal at the very end) with tokener, in pieces:
// `first` bytes, then `piece` bytes at a time.  Before each piece after the
// first, the heap pages the tree will take are put in place, as many as the
// previous piece took for its size.  Returns what json-c returns for the
// whole text at once; the tokener holds its error.
json_object *parse_json_text(json_tokener *tokener, const char *text, size_t length, size_t first,
			     size_t piece);

#endif
