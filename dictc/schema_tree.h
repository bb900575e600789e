// The property tree that dictionary bytes describe, read the way librde
// builds it when it registers a dictionary with sequence gaps accepted:
// depth first from the root entry, each child range walked in order, a range
// whose first entry is already reached shared with the node that reached it,
// and a list ended before the first number that does not rise.  It judges
// nothing: malformed bytes give a partial tree, never a failed read.
#ifndef DICTC_SCHEMA_TREE_H
#define DICTC_SCHEMA_TREE_H

#include <librde/rde_bej.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dictc {

struct tree_node {
	rde_bej_dictionary_entry entry{};
	bool readable = false;  // the entry lies inside the bytes
	bool reached = false;   // a child range (or the root's place) leads to it
	int parent = -1;        // the node whose child range first reached it
	int source = -1;        // the node whose child list this one shares
	unsigned depth = 0;
	std::vector<uint16_t> children;  // own children, in order

	unsigned type() const { return entry.format >> 4; }
};

class schema_tree {
public:
	// Reads the bytes (which must outlive the tree: names point into them).
	// False with a reason when not even the header is there; otherwise
	// true, whatever else is wrong (without a root entry the tree is empty).
	bool read(const void *bytes, size_t size, std::string *error);

	const rde_bej_dictionary_header &header() const { return header_; }
	const std::vector<tree_node> &nodes() const { return nodes_; }
	const tree_node &node(unsigned index) const { return nodes_[index]; }
	// Reached entries in walk order, the root first.
	const std::vector<uint16_t> &walk_order() const { return order_; }
	// The node's effective child list: those of its source when it shares.
	const std::vector<uint16_t> &children(unsigned index) const;
	// The child whose sequence number, or name, is the one given; -1 if none.
	int child(unsigned index, uint64_t sequence_number) const;
	int child(unsigned index, std::string_view name) const;

	// Where the numbering first leaves the list positions, and where a
	// child count first runs past its list; empty when it never does.
	const std::string &gap() const { return gap_; }
	const std::string &runs_past() const { return runs_past_; }
	// The name of a node for messages: its name, "#N" when it has none.
	std::string label(unsigned index) const;

private:
	void visit(unsigned index, int parent, unsigned depth);
	bool take_child(unsigned index, unsigned position);

	rde_bej_dictionary_header header_{};
	std::vector<tree_node> nodes_;
	std::vector<uint16_t> order_;
	std::string gap_, runs_past_;
};

// Whether librde registers the bytes, with sequence gaps accepted; when it
// does not, it has logged why.
bool librde_accepts(const void *bytes, size_t size);

}  // namespace dictc

#endif
