// Reading the property tree of dictionary bytes (see schema_tree.h).  The
// walk keeps its own stack: a hostile dictionary may chain all its 65535
// entries into one deep line.
#include "schema_tree.h"

namespace dictc {

bool schema_tree::read(const void *bytes, size_t size, std::string *error)
{
	rde_bej_read_error problem{};
	if (rde_bej_read_dictionary_header(bytes, size, &header_, &problem) != 0) {
		*error = "offset " + std::to_string(problem.offset) + ": " + problem.reason;
		return false;
	}
	nodes_.assign(header_.entry_count, tree_node{});
	for (unsigned i = 0; i < nodes_.size(); i++)
		nodes_[i].readable = rde_bej_read_dictionary_entry(bytes, size, i, &nodes_[i].entry,
								   nullptr) == 0;
	if (nodes_.empty() || !nodes_[0].readable)
		return true;
	visit(0, -1, 0);
	struct frame {
		uint16_t index;
		unsigned next;  // position of the next child in its range
	};
	std::vector<frame> stack{{0, 0}};
	while (!stack.empty()) {
		frame &top = stack.back();
		if (!take_child(top.index, top.next)) {
			stack.pop_back();
			continue;
		}
		top.next++;
		stack.push_back({nodes_[top.index].children.back(), 0});
	}
	return true;
}

void schema_tree::visit(unsigned index, int parent, unsigned depth)
{
	tree_node &n = nodes_[index];
	n.reached = true;
	n.parent = parent;
	n.depth = depth;
	order_.push_back((uint16_t)index);
}

// Reaches the child at position of the node's range and returns true, or
// returns false when the list ends there.
bool schema_tree::take_child(unsigned index, unsigned position)
{
	tree_node &n = nodes_[index];
	if (n.entry.first_child < 0 || position >= n.entry.child_count)
		return false;
	unsigned c = (unsigned)n.entry.first_child + position;
	const tree_node &child = nodes_[c];
	if (!child.readable)
		return false;
	uint16_t number = child.entry.sequence_number;
	if (position > 0 && number <= nodes_[n.children.back()].entry.sequence_number) {
		if (runs_past_.empty())
			runs_past_ = "'" + label(index) + "' counts " +
				     std::to_string(n.entry.child_count) +
				     " children, but its list ends after " +
				     std::to_string(position);
		return false;
	}
	if (number != position && gap_.empty())
		gap_ = "child " + std::to_string(position) + " of '" + label(index) +
		       "' is numbered " + std::to_string(number);
	if (child.reached) {
		// A range built under another node: this one shares that list.
		// One that leads back to the root is left unshared.
		n.source = child.parent;
		return false;
	}
	n.children.push_back((uint16_t)c);
	visit(c, (int)index, n.depth + 1);
	return true;
}

const std::vector<uint16_t> &schema_tree::children(unsigned index) const
{
	const tree_node &n = nodes_[index];
	return n.source >= 0 ? nodes_[n.source].children : n.children;
}

int schema_tree::child(unsigned index, uint64_t sequence_number) const
{
	for (uint16_t c : children(index))
		if (nodes_[c].entry.sequence_number == sequence_number)
			return c;
	return -1;
}

int schema_tree::child(unsigned index, std::string_view name) const
{
	for (uint16_t c : children(index))
		if (nodes_[c].entry.name && name == nodes_[c].entry.name)
			return c;
	return -1;
}

std::string schema_tree::label(unsigned index) const
{
	const char *name = nodes_[index].entry.name;
	return name ? name : "#" + std::to_string(index);
}

bool librde_accepts(const void *bytes, size_t size)
{
	rde_bej_context *context = rde_bej_context_new();
	bool accepted = context &&
			rde_bej_context_set_options(context, RDE_BEJ_ACCEPT_SEQUENCE_GAPS) == 0 &&
			rde_bej_add_dictionary(context, 0, nullptr, bytes, size) == 0;
	rde_bej_context_free(context);
	return accepted;
}

}  // namespace dictc
