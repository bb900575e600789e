// Abbreviation of string values.
//
// The URLs are looked up in a trie (url_trie), so that the cost per
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

using edge = url_trie::edge;

size_t edge_slot(const url_trie &trie, uint32_t key)
{
	return (key * 2654435761u) >> (32 - trie.edge_bits);
}

size_t edge_mask(const url_trie &trie) { return (size_t(1) << trie.edge_bits) - 1; }

uint32_t edge_key(uint16_t node, unsigned char c) { return (uint32_t(node) + 1) << 8 | c; }

uint16_t trie_child(const url_trie &trie, uint16_t node, unsigned char c)
{
	if (node == 0)
		return trie.root_child[c];
	uint32_t key = edge_key(node, c);
	for (size_t s = edge_slot(trie, key);; s = (s + 1) & edge_mask(trie)) {
		if (trie.edges[s].key == key)
			return trie.edges[s].child;
		if (trie.edges[s].key == 0)
			return 0;
	}
}

uint16_t add_child(url_trie &trie, uint16_t node, unsigned char c)
{
	uint16_t child = static_cast<uint16_t>(trie.node_count++);
	if (node == 0) {
		trie.root_child[c] = child;
		return child;
	}
	uint32_t key = edge_key(node, c);
	size_t s = edge_slot(trie, key);
	while (trie.edges[s].key != 0)
		s = (s + 1) & edge_mask(trie);
	trie.edges[s] = {key, child};
	return child;
}

void trie_insert(url_trie &trie, const pdr_url_entry &entry, unsigned id)
{
	uint16_t node = 0;
	for (size_t d = 0; d < entry.url_length; d++) {
		unsigned char c = static_cast<unsigned char>(entry.url[d]);
		uint16_t next = trie_child(trie, node, c);
		node = next ? next : add_child(trie, node, c);
	}
	trie.best_id[node] = std::max(trie.best_id[node], static_cast<uint8_t>(id));
	trie.starts_rule[static_cast<unsigned char>(entry.url[0])] = true;
}

// The number of trie nodes the URLs of ids make: in sorted order, each URL
// adds what it does not share with the one before.  Sorts ids.
size_t count_nodes(const url_table &table, uint8_t *ids, size_t count)
{
	auto url = [&](uint8_t id) { return table.entries[id].url; };
	std::sort(ids, ids + count,
		  [&](uint8_t a, uint8_t b) { return strcmp(url(a), url(b)) < 0; });
	size_t nodes = 1;
	for (size_t k = 0; k < count; k++) {
		size_t shared = 0;
		if (k > 0)
			while (url(ids[k])[shared] &&
			       url(ids[k])[shared] == url(ids[k - 1])[shared])
				shared++;
		nodes += table.entries[ids[k]].url_length - shared;
	}
	return nodes;
}

// One step of abbreviation at position i of text (n characters): what to
// write and how far to advance.
struct piece {
	const char *data;
	size_t length;
	size_t advance;
};

// The highest id whose URL begins at position i, as a piece; advance 0 when
// none does.
piece find_url(const url_table &table, const char *text, size_t n, size_t i)
{
	const url_trie &trie = table.trie;
	unsigned best = 0;
	size_t best_length = 0;
	uint16_t node = trie.root_child[static_cast<unsigned char>(text[i])];
	for (size_t d = 1; node != 0; d++) {
		if (trie.best_id[node] > best) {
			best = trie.best_id[node];
			best_length = d;
		}
		if (i + d >= n)
			break;
		node = trie_child(trie, node, static_cast<unsigned char>(text[i + d]));
	}
	return {URL_MACROS[best].text, URL_MACROS[best].length, best_length};
}

piece next_piece(const url_table &table, const char *text, size_t n, size_t i)
{
	char c = text[i];
	if (c == '"')
		return {"\\\"", 2, 1};
	if (piece url = find_url(table, text, n, i); url.advance != 0)
		return url;
	if (c == '/' && n - i >= CHASSIS_URL_LENGTH &&
	    memcmp(text + i, CHASSIS_URL, CHASSIS_URL_LENGTH) == 0)
		return {"%C", 2, CHASSIS_URL_LENGTH};
	if (c == 'T' && n - i >= INSTANCE_TEXT_LENGTH &&
	    memcmp(text + i, INSTANCE_TEXT, INSTANCE_TEXT_LENGTH) == 0)
		return {"%I1", 3, INSTANCE_TEXT_LENGTH};

	// No rule applies here: copy up to the next character where one might.
	size_t j = i + 1;
	while (j < n && !table.trie.starts_rule[static_cast<unsigned char>(text[j])])
		j++;
	return {text + i, j - i, j - i};
}

// The length of the abbreviation of text from position i on.
size_t measure(const url_table &table, const char *text, size_t n, size_t i)
{
	size_t total = 0;
	while (i < n) {
		piece p = next_piece(table, text, n, i);
		total += p.length;
		i += p.advance;
	}
	return total;
}

}  // namespace

abbreviation_buffer::~abbreviation_buffer() { free(long_data); }

void clear_abbreviation_index(url_trie &trie)
{
	if (trie.node_count != 0) {
		memset(trie.best_id, 0, trie.node_count);
		memset(trie.edges, 0, sizeof(edge) << trie.edge_bits);
	}
	memset(trie.root_child, 0, sizeof trie.root_child);
	memset(trie.starts_rule, 0, sizeof trie.starts_rule);
	for (unsigned char c : {'\0', '"', CHASSIS_URL[0], INSTANCE_TEXT[0]})
		trie.starts_rule[c] = true;
	trie.node_count = 1;
	trie.edge_bits = 0;
}

void build_abbreviation_index(url_table &table)
{
	uint8_t ids[URL_TABLE_SIZE];
	size_t count = 0;
	for (unsigned id = 1; id < URL_TABLE_SIZE; id++)
		if (table.entries[id].present && table.entries[id].url_length > 0)
			ids[count++] = static_cast<uint8_t>(id);

	// At most half the hash slots are used, so a miss ends soon.
	url_trie &trie = table.trie;
	size_t nodes = count_nodes(table, ids, count);
	trie.edge_bits = 6;
	while ((size_t(1) << trie.edge_bits) < 2 * nodes)
		trie.edge_bits++;
	for (size_t k = 0; k < count; k++)
		trie_insert(trie, table.entries[ids[k]], ids[k]);
}

const char *abbreviate_urls(const url_table &table, const char *text, abbreviation_buffer &buffer)
{
	if (!text)
		text = "";
	size_t n = strlen(text);
	size_t i = 0, o = 0;
	while (i < n) {
		piece p = next_piece(table, text, n, i);
		if (o + p.length >= abbreviation_buffer::FIXED_SIZE)
			break;
		memcpy(buffer.fixed + o, p.data, p.length);
		o += p.length;
		i += p.advance;
	}
	if (i == n) {
		buffer.fixed[o] = '\0';
		return buffer.fixed;
	}

	// Too long for the fixed buffer: finish the string in the long one.
	size_t total = o + measure(table, text, n, i);
	if (total + 1 > buffer.long_capacity) {
		char *grown = static_cast<char *>(realloc(buffer.long_data, total + 1));
		if (!grown)
			return nullptr;
		buffer.long_data = grown;
		buffer.long_capacity = total + 1;
	}
	memcpy(buffer.long_data, buffer.fixed, o);
	while (i < n) {
		piece p = next_piece(table, text, n, i);
		memcpy(buffer.long_data + o, p.data, p.length);
		o += p.length;
		i += p.advance;
	}
	buffer.long_data[o] = '\0';
	return buffer.long_data;
}
