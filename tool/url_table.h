// The URL table: the PDR-to-URL map read into one record per id, each
// entry's full URL composed from its parent's, and the index abbreviation
// walks.  A run fills one table once (load_pdr_url_map) and only reads it
// afterwards; the units that use it take it as a parameter.
#ifndef BEJCONV_URL_TABLE_H
#define BEJCONV_URL_TABLE_H

#include <array>
#include <cstddef>
#include <cstdint>

// The URL of id 1 when -u does not give one.
inline constexpr const char *DEFAULT_PREFIX_URL = "/redfish/v1";

inline constexpr size_t URL_TABLE_SIZE = 256;
// Longest URL an entry (or the prefix) may have; also the longest text one
// macro expands to.
inline constexpr size_t MAX_URL_LENGTH = 101;

// The two macros with fixed texts, "%C" and "%I1".
inline constexpr char CHASSIS_URL[] = "/redfish/v1/Chassis/1";
inline constexpr size_t CHASSIS_URL_LENGTH = sizeof CHASSIS_URL - 1;
inline constexpr char INSTANCE_TEXT[] = "Tarnwhelk";
inline constexpr size_t INSTANCE_TEXT_LENGTH = sizeof INSTANCE_TEXT - 1;

// "%L" and the id in decimal, the macro of every id.
struct url_macro {
	char text[6];
	uint8_t length;
};

constexpr url_macro make_url_macro(unsigned id)
{
	url_macro macro{{'%', 'L'}, 2};
	char digits[3];
	unsigned count = 0;
	do {
		digits[count++] = static_cast<char>('0' + id % 10);
		id /= 10;
	} while (id != 0);
	while (count > 0)
		macro.text[macro.length++] = digits[--count];
	return macro;
}

inline constexpr auto URL_MACROS = [] {
	std::array<url_macro, URL_TABLE_SIZE> macros{};
	for (unsigned id = 0; id < URL_TABLE_SIZE; id++)
		macros[id] = make_url_macro(id);
	return macros;
}();

struct pdr_url_entry {
	uint8_t present;  // the map has a line for this id
	int32_t parent;
	char name[30];  // up to 29 characters; ids 2 to 255 only
	char url[MAX_URL_LENGTH + 1];
	uint32_t url_length;
};

// A radix trie of everything abbreviation replaces, so that at each position
// it compares only the characters that can still match, however many
// entries the map has: the URLs of the present entries, the two fixed texts
// and the double quote.  Every node but the root is reached by an edge
// labelled with a run of characters, found by its parent node and the
// label's first byte in an open-addressing hash.  A node's rank tells what
// ends there (0 for nothing); the higher rank wins where several texts
// begin at one position, as the rules order them: the quote, then URLs by
// descending id, then the fixed texts.  Where a text ends at a node with a
// single child (a URL followed by its one sub-resource, "/Systems" before
// "/"), the edge to it runs on to that child and marks where the text ended,
// which saves the walk a step.  The labels are copied into one pool with
// padding in front, so that a walk compares them a word at a time.
// stops marks the first bytes of the texts, so that the text between them
// is skipped: a byte at a time, or sixteen at a time where the processor
// compares that many at once and there are at most MAX_VECTOR_STARTS of
// them (as with any map whose names hang under the prefix).  Built and
// walked by the abbreviation unit.
struct url_trie {
	// The URLs, the two fixed texts and the quote.
	static constexpr size_t MAX_TEXTS = URL_TABLE_SIZE - 1 + 3;
	// The root, and per text at most a new leaf and a split edge.
	static constexpr size_t MAX_NODES = 1 + 2 * MAX_TEXTS;
	// At least twice the number of edges, so that a miss ends soon.
	static constexpr size_t EDGE_SLOTS = 2048;
	static_assert(2 * MAX_NODES <= EDGE_SLOTS);
	// Every label is a part of one text and is copied at most twice (once
	// more in an edge that runs on through its parent), with a word of
	// padding in front.
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

	static constexpr size_t MAX_VECTOR_STARTS = 4;

	bool stops[256];  // the texts' first bytes, and NUL
	// Each of those first bytes sixteen times, the rest NUL, when there
	// are few enough for vector_scan.
	bool vector_scan;
	alignas(16) unsigned char start_lanes[MAX_VECTOR_STARTS][16];
	node nodes[MAX_NODES];
	edge edges[EDGE_SLOTS];
	// The slot of the root's edge for each first byte (a free slot where
	// there is none): every walk starts with one, without the hash.
	uint16_t root_slots[256];
	size_t node_count;
	char pool[POOL_SIZE];
};

// Not copied: the trie's nodes point into the table's own entries.
struct url_table {
	pdr_url_entry entries[URL_TABLE_SIZE];
	url_trie trie;

	url_table() = default;
	url_table(const url_table &) = delete;
	url_table &operator=(const url_table &) = delete;
};

// What a run does with the table: encode abbreviates strings with it, which
// needs the index; decode only expands macros, by id.
enum class url_table_use { expansion, abbreviation };

// Reads the map into table (all of it replaced), composes every URL with
// prefix_url as the URL of id 1, indexes the URLs when the table is for
// abbreviation (a table loaded for expansion must not be abbreviated with)
// and writes the percent file when percent_path is not null.  Returns 0 or
// -EIO after a message.
int load_pdr_url_map(url_table &table, const char *map_path, const char *prefix_url,
		     const char *percent_path, url_table_use use);

#endif
