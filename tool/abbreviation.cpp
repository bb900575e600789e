// Abbreviation of string values.
//
// The URLs are looked up in a radix trie (url_trie), so that the cost per
// character of a string does not grow with the map: from a position, the
// walk follows the text down the trie as far as it matches, at most one
// URL's length, and keeps the highest id whose URL ends on the way.  That is
// the entry a scan from id 255 down to 1 would find first.  An entry whose
// URL is empty is not indexed: a match of length 0 would not advance.
//
// An abbreviated string longer than 999 characters is never cut: it is
// written into a larger buffer sized exactly for it (a quote doubles, a
// one-character URL can become a five-character macro).

#include "abbreviation.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using trie_node = url_trie::node;

// No key is 0, the mark of a free slot: a URL holds no NUL byte.
uint32_t edge_key(size_t parent, unsigned char first)
{
	return static_cast<uint32_t>(parent) << 8 | first;
}

static_assert(url_trie::EDGE_SLOTS == 1024, "find_edge hashes to 10 bits");

// The slot of the edge from parent whose label begins with first, or the
// free slot where it would go.
size_t find_edge(const url_trie &trie, size_t parent, unsigned char first)
{
	uint32_t key = edge_key(parent, first);
	size_t s = (key * 2654435761u) >> 22;
	while (trie.edges[s].key != key && trie.edges[s].key != 0)
		s = (s + 1) % url_trie::EDGE_SLOTS;
	return s;
}

const char *label(const url_table &table, const trie_node &node)
{
	return table.entries[node.entry].url + node.start;
}

// Adds the node and the edge to it from parent; returns the node.
size_t add_node(url_table &table, size_t parent, const trie_node &node)
{
	url_trie &trie = table.trie;
	size_t child = trie.node_count++;
	trie.nodes[child] = node;
	unsigned char first = static_cast<unsigned char>(*label(table, node));
	trie.edges[find_edge(trie, parent, first)] = {edge_key(parent, first),
						      static_cast<uint16_t>(child)};
	return child;
}

// Splits the edge in slot s after the first `length` characters of its
// label: a new node takes its child's place, and the rest of the label
// leads on from there to the child.  Returns the new node.
size_t split_edge(url_table &table, size_t s, size_t length)
{
	url_trie &trie = table.trie;
	size_t child = trie.edges[s].child;
	trie_node &tail = trie.nodes[child];
	trie_node head{tail.entry, tail.start, static_cast<uint8_t>(length), 0};
	tail.start = static_cast<uint8_t>(tail.start + length);
	tail.length = static_cast<uint8_t>(tail.length - length);

	size_t middle = trie.node_count++;
	trie.nodes[middle] = head;
	trie.edges[s].child = static_cast<uint16_t>(middle);
	unsigned char first = static_cast<unsigned char>(*label(table, tail));
	trie.edges[find_edge(trie, middle, first)] = {edge_key(middle, first),
						      static_cast<uint16_t>(child)};
	return middle;
}

void add_rule_start(url_trie &trie, char c)
{
	if (!strchr(trie.rule_starts, c))
		trie.rule_starts[strlen(trie.rule_starts)] = c;
}

void trie_insert(url_table &table, unsigned id)
{
	url_trie &trie = table.trie;
	const pdr_url_entry &entry = table.entries[id];
	size_t node = 0, d = 0;
	while (d < entry.url_length) {
		size_t s = find_edge(trie, node, static_cast<unsigned char>(entry.url[d]));
		size_t rest = entry.url_length - d;
		if (trie.edges[s].key == 0) {
			trie_node leaf{static_cast<uint8_t>(id), static_cast<uint8_t>(d),
				       static_cast<uint8_t>(rest), 0};
			node = add_node(table, node, leaf);
			break;
		}
		const trie_node &next = trie.nodes[trie.edges[s].child];
		const char *text = label(table, next);
		size_t shared = 1;
		while (shared < next.length && shared < rest &&
		       text[shared] == entry.url[d + shared])
			shared++;
		node = shared < next.length ? split_edge(table, s, shared) : trie.edges[s].child;
		d += shared;
	}
	trie.nodes[node].best_id = std::max(trie.nodes[node].best_id, static_cast<uint8_t>(id));
	add_rule_start(trie, entry.url[0]);
}

// What a rule writes instead of `advance` characters of the text.
struct piece {
	const char *data;
	size_t length;
	size_t advance;
};

// The highest id whose URL begins the NUL-terminated text, as a piece;
// advance 0 when none does.  No URL holds a NUL byte, so the text's end
// ends a match like any other differing byte.
piece find_url(const url_table &table, const char *text)
{
	const url_trie &trie = table.trie;
	unsigned best = 0;
	size_t best_length = 0;
	size_t node = 0;
	for (size_t d = 0;;) {
		const url_trie::edge &edge =
			trie.edges[find_edge(trie, node, static_cast<unsigned char>(text[d]))];
		if (edge.key == 0)
			break;
		// The edge's key matched the label's first byte.
		size_t k = 1;
		while (k < edge.length && text[d + k] == edge.label[k])
			k++;
		if (k < edge.length)
			break;
		d += edge.length;
		node = edge.child;
		// Whether a URL ends here follows no pattern: chosen without a
		// branch.
		bool better = edge.best_id > best;
		best = better ? edge.best_id : best;
		best_length = better ? d : best_length;
	}
	return {URL_MACROS[best].text, URL_MACROS[best].length, best_length};
}

// The rule that applies at position i; advance 0 when none does.
piece rule_at(const url_table &table, const char *text, size_t n, size_t i)
{
	char c = text[i];
	if (c == '"')
		return {"\\\"", 2, 1};
	if (piece url = find_url(table, text + i); url.advance != 0)
		return url;
	if (c == '/' && n - i >= CHASSIS_URL_LENGTH &&
	    memcmp(text + i, CHASSIS_URL, CHASSIS_URL_LENGTH) == 0)
		return {"%C", 2, CHASSIS_URL_LENGTH};
	if (c == 'T' && n - i >= INSTANCE_TEXT_LENGTH &&
	    memcmp(text + i, INSTANCE_TEXT, INSTANCE_TEXT_LENGTH) == 0)
		return {"%I1", 3, INSTANCE_TEXT_LENGTH};
	return {nullptr, 0, 0};
}

// The first position from i on at which a rule may apply, or n: text[n]
// is the NUL that ends the text.
size_t skip_plain(const url_trie &trie, const char *text, size_t i)
{
	return i + strcspn(text + i, trie.rule_starts);
}

// Writes the abbreviation of text (n characters before its NUL) into out
// as far as capacity allows and returns its whole length.  *changed tells
// whether any rule applied; when none did, the abbreviation is the text
// itself and nothing is written.
size_t abbreviate_into(const url_table &table, const char *text, size_t n, char *out,
		       size_t capacity, bool *changed)
{
	size_t o = 0;
	auto put = [&](const char *data, size_t length) {
		if (o + length <= capacity)
			memcpy(out + o, data, length);
		o += length;
	};
	*changed = false;
	size_t i = 0, plain = 0;  // text[plain, i) is still to be copied
	while ((i = skip_plain(table.trie, text, i)) < n) {
		piece p = rule_at(table, text, n, i);
		if (p.advance == 0) {
			i++;
			continue;
		}
		put(text + plain, i - plain);
		put(p.data, p.length);
		i += p.advance;
		plain = i;
		*changed = true;
	}
	// Unchanged text is used as it is: nothing to copy.
	if (!*changed)
		return n;
	put(text + plain, n - plain);
	return o;
}

}  // namespace

abbreviation_buffer::~abbreviation_buffer() { free(long_data); }

void clear_abbreviation_index(url_trie &trie)
{
	memset(trie.nodes, 0, sizeof trie.nodes);
	memset(trie.edges, 0, sizeof trie.edges);
	memset(trie.rule_starts, 0, sizeof trie.rule_starts);
	for (char c : {'"', CHASSIS_URL[0], INSTANCE_TEXT[0]})
		add_rule_start(trie, c);
	trie.node_count = 1;
}

void build_abbreviation_index(url_table &table)
{
	for (unsigned id = 1; id < URL_TABLE_SIZE; id++)
		if (table.entries[id].present && table.entries[id].url_length > 0)
			trie_insert(table, id);
	for (url_trie::edge &edge : table.trie.edges) {
		if (edge.key == 0)
			continue;
		const trie_node &child = table.trie.nodes[edge.child];
		edge.length = child.length;
		edge.best_id = child.best_id;
		edge.label = label(table, child);
	}
}

const char *abbreviate_urls(const url_table &table, const char *text, abbreviation_buffer &buffer)
{
	if (!text)
		text = "";
	size_t n = strlen(text);
	bool changed;
	size_t length = abbreviate_into(table, text, n, buffer.fixed,
					abbreviation_buffer::FIXED_SIZE - 1, &changed);
	if (!changed)
		return text;
	if (length < abbreviation_buffer::FIXED_SIZE) {
		buffer.fixed[length] = '\0';
		return buffer.fixed;
	}
	// Too long for the fixed buffer: again, into the long one.
	if (length + 1 > buffer.long_capacity) {
		char *grown = static_cast<char *>(realloc(buffer.long_data, length + 1));
		if (!grown)
			return nullptr;
		buffer.long_data = grown;
		buffer.long_capacity = length + 1;
	}
	abbreviate_into(table, text, n, buffer.long_data, length, &changed);
	buffer.long_data[length] = '\0';
	return buffer.long_data;
}
