// Abbreviation of string values.  From a position the walk follows the
// text down the index as far as it matches and keeps the highest rank that
// ends on the way: for URLs, the entry a scan from id 255 down would find
// first.  An entry whose URL is empty is not indexed: a match of length 0
// would not advance.

#include "abbreviation.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

using trie_node = abbreviation_index::node;
using trie_edge = abbreviation_index::edge;

struct replacement;

// What a rule writes instead of `advance` characters of the text.
struct piece {
	const replacement *text;
	size_t advance;
};

// The ranks of what the trie holds, lowest first: nothing, the two fixed
// texts (which never begin at one position), the URLs by id, the quote.
constexpr unsigned INSTANCE_RANK = 1;
constexpr unsigned CHASSIS_RANK = 2;
constexpr unsigned url_rank(unsigned id) { return 2 + id; }
constexpr unsigned QUOTE_RANK = url_rank(URL_TABLE_SIZE - 1) + 1;

// A rule's text, padded so that it is copied as one word.
struct replacement {
	char data[8];
	uint8_t length;
};

constexpr replacement make_replacement(std::string_view text)
{
	replacement r{};
	for (size_t k = 0; k < text.size(); k++)
		r.data[k] = text[k];
	r.length = static_cast<uint8_t>(text.size());
	return r;
}

// What each rank writes.
constexpr auto REPLACEMENTS = [] {
	std::array<replacement, QUOTE_RANK + 1> r{};
	r[INSTANCE_RANK] = make_replacement("%I1");
	r[CHASSIS_RANK] = make_replacement("%C");
	for (unsigned id = 1; id < URL_TABLE_SIZE; id++)
		r[url_rank(id)] = make_replacement({URL_MACROS[id].text, URL_MACROS[id].length});
	r[QUOTE_RANK] = make_replacement("\\\"");
	return r;
}();

// No key is 0, the mark of a free slot: no text holds a NUL byte.
uint32_t edge_key(size_t parent, unsigned char first)
{
	return static_cast<uint32_t>(parent) << 8 | first;
}

static_assert(abbreviation_index::EDGE_SLOTS == 2048, "find_edge hashes to 11 bits");

// The slot of the edge from parent whose label begins with first, or the
// free slot where it would go.
size_t find_edge(const abbreviation_index &trie, size_t parent, unsigned char first)
{
	uint32_t key = edge_key(parent, first);
	size_t s = (key * 2654435761u) >> 21;
	while (trie.edges[s].key != key && trie.edges[s].key != 0)
		s = (s + 1) % abbreviation_index::EDGE_SLOTS;
	return s;
}

// Adds the node and the edge to it from parent; returns the node.
size_t add_node(abbreviation_index &trie, size_t parent, const trie_node &node)
{
	size_t child = trie.node_count++;
	trie.nodes[child] = node;
	trie.nodes[parent].children++;
	unsigned char first = static_cast<unsigned char>(node.label[0]);
	trie.edges[find_edge(trie, parent, first)] = {
		edge_key(parent, first), static_cast<uint16_t>(child), 0, 0, 0, false, 0, 0};
	return child;
}

// Splits the edge in slot s after the first `length` characters of its
// label: a new node takes its child's place, and the rest of the label
// leads on from there to the child.  Returns the new node.
size_t split_edge(abbreviation_index &trie, size_t s, size_t length)
{
	size_t child = trie.edges[s].child;
	trie_node &tail = trie.nodes[child];
	trie_node head{tail.label, static_cast<uint8_t>(length), 0, 1};
	tail.label += length;
	tail.length = static_cast<uint8_t>(tail.length - length);

	size_t middle = trie.node_count++;
	trie.nodes[middle] = head;
	trie.edges[s].child = static_cast<uint16_t>(middle);
	unsigned char first = static_cast<unsigned char>(tail.label[0]);
	trie.edges[find_edge(trie, middle, first)] = {
		edge_key(middle, first), static_cast<uint16_t>(child), 0, 0, 0, false, 0, 0};
	return middle;
}

// Indexes the length characters of text (which stays where it is while the
// trie is built) under rank.
void trie_insert(abbreviation_index &trie, const char *text, size_t length, unsigned rank)
{
	size_t node = 0, d = 0;
	while (d < length) {
		size_t s = find_edge(trie, node, static_cast<unsigned char>(text[d]));
		size_t rest = length - d;
		if (trie.edges[s].key == 0) {
			node = add_node(trie, node, {text + d, static_cast<uint8_t>(rest), 0, 0});
			break;
		}
		const trie_node &next = trie.nodes[trie.edges[s].child];
		size_t shared = 1;
		while (shared < next.length && shared < rest &&
		       next.label[shared] == text[d + shared])
			shared++;
		node = shared < next.length ? split_edge(trie, s, shared) : trie.edges[s].child;
		d += shared;
	}
	trie.nodes[node].rank = static_cast<uint16_t>(
		std::max<unsigned>(trie.nodes[node].rank, rank));
	trie.stops[static_cast<unsigned char>(text[0])] = true;
}

// Appends length characters to the pool; returns their offset.
uint16_t pool_append(abbreviation_index &trie, size_t *used, const char *text, size_t length)
{
	memcpy(trie.pool + *used, text, length);
	auto offset = static_cast<uint16_t>(*used);
	*used += length;
	return offset;
}

// Completes the edge to node child: its label in the pool, its rank, and
// where that node ends a text and has a single child (in slot only_edge
// [child], leading to node grandchild), the run on to the grandchild.
void finish_edge(abbreviation_index &trie, trie_edge &edge, size_t child, const uint16_t *only_edge,
		 const uint16_t *child_of, size_t *used)
{
	const trie_node &node = trie.nodes[child];
	edge.label = pool_append(trie, used, node.label, node.length);
	edge.length = node.length;
	edge.rank = node.rank;
	edge.leaf = node.children == 0;
	if (node.rank == 0 || node.children != 1)
		return;
	size_t grandchild = child_of[only_edge[child]];
	const trie_node &next = trie.nodes[grandchild];
	pool_append(trie, used, next.label, next.length);
	edge.mark = node.length;
	edge.mark_rank = node.rank;
	edge.length = static_cast<uint8_t>(node.length + next.length);
	edge.rank = next.rank;
	edge.leaf = next.children == 0;
	edge.child = static_cast<uint16_t>(grandchild);
}

// Copies every edge's label into the pool and completes the edge records,
// running edges on through the nodes that allow it.
void finish_edges(abbreviation_index &trie)
{
	uint16_t only_edge[abbreviation_index::MAX_NODES] = {};  // a node's last edge
	uint16_t child_of[abbreviation_index::EDGE_SLOTS] = {};  // as built, before runs
	for (size_t s = 0; s < abbreviation_index::EDGE_SLOTS; s++) {
		if (trie.edges[s].key != 0) {
			only_edge[trie.edges[s].key >> 8] = static_cast<uint16_t>(s);
			child_of[s] = trie.edges[s].child;
		}
	}
	size_t used = abbreviation_index::POOL_PADDING;
	for (size_t s = 0; s < abbreviation_index::EDGE_SLOTS; s++)
		if (trie.edges[s].key != 0)
			finish_edge(trie, trie.edges[s], child_of[s], only_edge, child_of, &used);
}

// Eight bytes from p, the first in the lowest byte.
uint64_t load_word(const char *p)
{
	uint64_t w;
	memcpy(&w, p, sizeof w);
	return std::endian::native == std::endian::little ? w : __builtin_bswap64(w);
}

// Whether the n-character text continues at d with the first length
// characters of the label at offset label in the pool, whose first byte
// already matched.  The words read lie within the text and, for the label,
// within the pool: the padding in front of it holds the part of a word
// read before the first label, whose bytes are shifted out unused.
[[gnu::always_inline]] inline bool label_matches(const abbreviation_index &trie, size_t label,
						 size_t length, const char *text, size_t n,
						 size_t d)
{
	if (length > n - d)
		return false;
	const char *l = trie.pool + label;
	const char *t = text + d;
	if (length <= 8 && d + length >= 8) {
		// The word that ends with the label, its first byte and what
		// comes before shifted out.
		uint64_t diff = load_word(t + length - 8) ^ load_word(l + length - 8);
		return (diff >> (8 * (8 - length)) >> 8) == 0;
	}
	if (length > 8) {
		uint64_t diff = 0;
		for (size_t k = 1; k + 8 < length; k += 8)
			diff |= load_word(t + k) ^ load_word(l + k);
		return (diff | (load_word(t + length - 8) ^ load_word(l + length - 8))) == 0;
	}
	return memcmp(t + 1, l + 1, length - 1) == 0;
}

// The best rule found so far on a walk: the highest rank, where it ends.
struct best_rule {
	unsigned rank = 0;
	size_t end = 0;

	// Whether a text ends at a given place follows no pattern: kept
	// without a branch.
	void offer(unsigned r, size_t e)
	{
		bool better = r > rank;
		rank = better ? r : rank;
		end = better ? e : end;
	}
};

// The rule that applies at position i of the n-character text: the highest
// rank whose text begins there, as a piece; advance 0 when none does.
piece rule_at(const abbreviation_index &trie, const char *text, size_t n, size_t i)
{
	best_rule best{0, i};
	size_t slot = trie.root_slots[static_cast<unsigned char>(text[i])];
	for (size_t d = i;;) {
		const trie_edge &edge = trie.edges[slot];
		if (edge.key == 0)
			break;
		if (!label_matches(trie, edge.label, edge.length, text, n, d)) {
			// The text may still hold the label as far as its mark.
			if (edge.mark != 0 &&
			    label_matches(trie, edge.label, edge.mark, text, n, d))
				best.offer(edge.mark_rank, d + edge.mark);
			break;
		}
		best.offer(edge.mark_rank, d + edge.mark);  // rank 0 without a mark
		d += edge.length;
		best.offer(edge.rank, d);
		if (edge.leaf)
			break;
		slot = find_edge(trie, edge.child, static_cast<unsigned char>(text[d]));
	}
	return {&REPLACEMENTS[best.rank], best.end - i};
}

// The first position from i on of the text that holds a rule's first byte
// or NUL.  NUL is tested on its own: an index never built (all zeros) stops
// nowhere and abbreviates nothing.
size_t skip_plain(const abbreviation_index &trie, const char *text, size_t i)
{
	while (text[i] != '\0' && !trie.stops[static_cast<unsigned char>(text[i])])
		i++;
	return i;
}

// Writes the abbreviation of text into out as far as capacity allows and
// returns its whole length; *end is set to the length of the text, which
// ends at its first NUL byte (text[n] is one).  *changed tells whether any
// rule applied; when none did, the abbreviation is the text itself and
// nothing is written.
size_t abbreviate_into(const abbreviation_index &trie, const char *text, size_t n, char *out,
		       size_t capacity, bool *changed, size_t *end)
{
	size_t o = 0;
	// Copies text[from, to): a run of up to sixteen characters as two
	// words where both the text (its NUL included) and the buffer hold them.
	auto put = [&](size_t from, size_t to) {
		size_t length = to - from;
		if (length <= 16 && from + 16 <= n + 1 && o + 16 <= capacity) {
			uint64_t words[2];
			memcpy(words, text + from, sizeof words);
			memcpy(out + o, words, sizeof words);
		} else if (length != 0 && o + length <= capacity) {
			memcpy(out + o, text + from, length);
		}
		o += length;
	};
	// A whole word where the buffer has room for it, the bytes after the
	// text to be overwritten or left beyond the result.
	auto put_replacement = [&](const replacement &r) {
		if (o + sizeof r.data <= capacity)
			memcpy(out + o, r.data, sizeof r.data);
		else if (o + r.length <= capacity)
			memcpy(out + o, r.data, r.length);
		o += r.length;
	};
	*changed = false;
	size_t i = 0, plain = 0;  // text[plain, i) is still to be copied
	for (;;) {
		// Links begin with a rule, and a rule often follows another:
		// plain text is looked for only where it may follow.
		if (!trie.stops[static_cast<unsigned char>(text[i])])
			i = skip_plain(trie, text, i);
		if (text[i] == '\0')
			break;
		// A quote outranks every other rule and is one character long:
		// it needs no walk.
		piece p = text[i] == '"' ? piece{&REPLACEMENTS[QUOTE_RANK], 1}
					 : rule_at(trie, text, n, i);
		if (p.advance == 0) {
			i++;
			continue;
		}
		put(plain, i);
		put_replacement(*p.text);
		i += p.advance;
		plain = i;
		*changed = true;
	}
	*end = i;
	// Unchanged text is used as it is: nothing to copy.
	if (!*changed)
		return i;
	put(plain, i);
	return o;
}

// Abbreviates text again into the long buffer, for a result of length
// characters, too long for the fixed one.
std::string_view abbreviate_long(const abbreviation_index &index, const char *text, size_t n,
				 size_t length, abbreviation_buffer &buffer)
{
	if (length + 1 > buffer.long_capacity) {
		char *grown = static_cast<char *>(realloc(buffer.long_data, length + 1));
		if (!grown)
			return {};
		buffer.long_data = grown;
		buffer.long_capacity = length + 1;
	}
	bool changed;
	size_t end;
	abbreviate_into(index, text, n, buffer.long_data, length, &changed, &end);
	buffer.long_data[length] = '\0';
	return {buffer.long_data, length};
}

}  // namespace

abbreviation_buffer::~abbreviation_buffer() { free(long_data); }

void build_abbreviation_index(abbreviation_index &index, const url_table &table)
{
	memset(index.nodes, 0, sizeof index.nodes);
	memset(index.edges, 0, sizeof index.edges);
	memset(index.stops, 0, sizeof index.stops);
	index.node_count = 1;
	trie_insert(index, "\"", 1, QUOTE_RANK);
	trie_insert(index, CHASSIS_URL, CHASSIS_URL_LENGTH, CHASSIS_RANK);
	trie_insert(index, INSTANCE_TEXT, INSTANCE_TEXT_LENGTH, INSTANCE_RANK);
	for (unsigned id = 1; id < URL_TABLE_SIZE; id++) {
		const pdr_url_entry &entry = table.entries[id];
		if (entry.present && entry.url_length > 0)
			trie_insert(index, entry.url, entry.url_length, url_rank(id));
	}
	finish_edges(index);
	for (unsigned c = 0; c < 256; c++)
		index.root_slots[c] = static_cast<uint16_t>(
			find_edge(index, 0, static_cast<unsigned char>(c)));
}

std::string_view abbreviate_urls(const abbreviation_index &index, const char *text, size_t n,
				 abbreviation_buffer &buffer)
{
	if (!text)
		text = "", n = 0;
	bool changed;
	size_t end;
	size_t length = abbreviate_into(index, text, n, buffer.fixed,
					abbreviation_buffer::FIXED_SIZE - 1, &changed, &end);
	if (!changed)
		return {text, end};
	if (length < abbreviation_buffer::FIXED_SIZE) {
		buffer.fixed[length] = '\0';
		return {buffer.fixed, length};
	}
	return abbreviate_long(index, text, n, length, buffer);
}
