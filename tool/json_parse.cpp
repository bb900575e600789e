// Parsing in pieces.  json-c takes a text in as many pieces as it is given,
// with the same result: the pieces only give the parse places to put the
// next stretch of heap pages in place, in one call rather than a fault per
// page as the tree grows into them.
#include "json_parse.h"

#include "pages.h"

#include <algorithm>

json_object *parse_json_text(json_tokener *tokener, const char *text, size_t length, size_t first,
			     size_t piece)
{
	heap_lookahead heap;
	size_t done = 0, next = first;
	for (;;) {
		size_t n = std::min(std::max<size_t>(next, 1), length - done);
		// A text of one piece is parsed as it is, without a probe.
		if (n < length)
			heap.before_step(n);
		json_object *root = json_tokener_parse_ex(tokener, text + done,
							  static_cast<int>(n));
		done += n;
		if (done == length || json_tokener_get_error(tokener) != json_tokener_continue)
			return root;
		next = piece;
	}
}
