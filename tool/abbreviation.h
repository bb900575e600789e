// Abbreviation of string values on encode: the URLs of the URL table and
// the two fixed texts become '%' macros, a double quote gets a backslash.
#ifndef BEJCONV_ABBREVIATION_H
#define BEJCONV_ABBREVIATION_H

#include "url_table.h"

#include <cstddef>
#include <string_view>

// Everything abbreviation replaces, as a radix trie: the URLs of the present
// entries, the two fixed texts and the double quote.  Every node but the
// root is reached by an edge labelled with a run of characters, found by
// its parent and the label's first byte in an open-addressing hash.  A
// node's rank tells what ends there (0 for nothing); where several texts
// begin at one position the higher rank wins.  An edge into a node that
// ends a text and has a single child runs on to that child and marks where
// the text ended.  The labels are copied into one pool with padding in
// front, so that they can be compared a word at a time.  stops marks the
// texts' first bytes.  Walked only by this unit; stands on its own once
// built (nodes point into the table only while it is built).
struct abbreviation_index {
	// The URLs, the two fixed texts and the quote.
	static constexpr size_t MAX_TEXTS = URL_TABLE_SIZE - 1 + 3;
	// The root, and per text at most a new leaf and a split edge.
	static constexpr size_t MAX_NODES = 1 + 2 * MAX_TEXTS;
	// At least twice the number of edges, so that a miss ends soon.
	static constexpr size_t EDGE_SLOTS = 2048;
	static_assert(2 * MAX_NODES <= EDGE_SLOTS);
	// A label is copied at most twice (once more in an edge that runs on
	// through its parent), after a word of padding.
	static constexpr size_t POOL_PADDING = 8;
	static constexpr size_t POOL_SIZE = 2 * MAX_TEXTS * MAX_URL_LENGTH + POOL_PADDING;

	struct node {
		const char *label;  // into the text the node was made for
		uint8_t length;
		uint16_t rank;
		uint16_t children;
	};
	// An edge carries its child's label and rank, so that a walk reads one
	// record per step.
	struct edge {
		uint32_t key;  // parent << 8 | first byte; 0 marks a free slot
		uint16_t child;
		uint16_t rank;
		uint16_t label;  // offset in the pool
		uint8_t length;
		bool leaf;     // nothing follows: the walk ends here
		uint8_t mark;  // where a text ends within the label, or 0
		uint16_t mark_rank;
	};

	bool stops[256];  // the texts' first bytes
	node nodes[MAX_NODES];
	edge edges[EDGE_SLOTS];
	// The slot of the root's edge for each first byte (a free slot where
	// there is none).
	uint16_t root_slots[256];
	size_t node_count;
	char pool[POOL_SIZE];
};

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

// Indexes the URLs of the present entries of table (those with a URL) into
// index, replacing what it held.  An index that was never built (all
// zeros) abbreviates nothing.
void build_abbreviation_index(abbreviation_index &index, const url_table &table);

// The abbreviated copy of text (nullptr reads as ""), which ends at its
// first NUL byte; text[n] must be one, and n bytes of text readable.  The
// result is NUL-terminated, in buffer or text itself, and valid until
// buffer's next use; its data is nullptr only when a result too long for
// the fixed buffer finds no memory.  At each position the first rule that
// applies wins: a double quote; the URL of the highest present id that
// begins there; "/redfish/v1/Chassis/1"; "Tarnwhelk"; else the character.
std::string_view abbreviate_urls(const abbreviation_index &index, const char *text, size_t n,
				 abbreviation_buffer &buffer);

#endif
