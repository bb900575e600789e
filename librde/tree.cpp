// The schema property tree: the one walk from dictionary bytes to the tree,
// for registration and for views, and read access to the tree.
#include "bej_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct rde_bej_dictionary_view {
	rde_bej_dictionary *dictionary;  // in no context
	rde_bej_dictionary_problem *problems;
	size_t problem_count;
	size_t capacity;
};

const char *shown_name(const char *name) { return name ? name : "(unnamed)"; }

void free_dictionary(rde_bej_dictionary *dictionary)
{
	std::free(dictionary->properties);
	std::free(dictionary->data);
	std::free(dictionary->uri);
	std::free(dictionary);
}

bool copy_dictionary_bytes(rde_bej_dictionary *dictionary, const void *data, size_t size)
{
	dictionary->size = data ? size : 0;
	// One byte at least, so that an empty dictionary is refused as too short
	// rather than as out of memory.
	dictionary->data = static_cast<uint8_t *>(
		std::calloc(dictionary->size ? dictionary->size : 1, 1));
	if (dictionary->data && dictionary->size)
		std::memcpy(dictionary->data, data, dictionary->size);
	return dictionary->data != nullptr;
}

namespace {

// One walk from dictionary bytes to a property tree.  Registration (no
// view) stops at the first rule the bytes break, after its message; a view
// records the rule and the walk goes on.
struct tree_walk {
	rde_bej_dictionary *dictionary;
	rde_bej_dictionary_view *view;
};

// Appends a problem with its message to the view; -ENOMEM when out of memory.
int record_problem(rde_bej_dictionary_view *view, const rde_bej_dictionary_problem &problem,
		   const char *format, va_list args)
{
	if (view->problem_count == view->capacity) {
		size_t capacity = view->capacity ? 2 * view->capacity : 8;
		void *grown = std::realloc(view->problems, capacity * sizeof *view->problems);
		if (!grown)
			return -ENOMEM;
		view->problems = static_cast<rde_bej_dictionary_problem *>(grown);
		view->capacity = capacity;
	}
	char text[1024];
	std::vsnprintf(text, sizeof text, format, args);
	size_t size = std::strlen(text) + 1;
	auto *message = static_cast<char *>(std::malloc(size));
	if (!message)
		return -ENOMEM;
	view->problems[view->problem_count] = problem;
	view->problems[view->problem_count++].message = static_cast<char *>(
		std::memcpy(message, text, size));
	return 0;
}

// A rule the bytes break (see rde_bej_dictionary_problem): -EINVAL after its
// message for registration, 0 once a view has recorded it.
[[gnu::format(printf, 3, 4)]] int
broken(const tree_walk &w, const rde_bej_dictionary_problem &problem, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	int status = -EINVAL;
	if (w.view)
		status = record_problem(w.view, problem, format, args);
	else
		rde_bej_vlog(RDE_BEJ_LOG_ERROR, format, args);
	va_end(args);
	return status;
}

// Reads entry `index`, which lies inside the entry table.
rde_bej_dictionary_entry read_entry(const rde_bej_dictionary *dictionary, size_t index)
{
	RDE_ASSERT(index < dictionary->entry_count);
	rde_bej_dictionary_entry entry;
	int status = rde_bej_read_dictionary_entry(dictionary->data, dictionary->size,
						   static_cast<unsigned>(index), &entry, nullptr);
	RDE_ASSERT(status == 0);
	return entry;
}

unsigned data_type(const rde_bej_dictionary_entry &entry) { return entry.format >> 4; }

bool valid_data_type(unsigned type)
{
	return type <= RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION ||
	       type == RDE_BEJ_DATA_TYPE_RESOURCE_LINK ||
	       type == RDE_BEJ_DATA_TYPE_RESOURCE_LINK_EXPANSION;
}

bool may_have_children(unsigned type)
{
	return type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY ||
	       type == RDE_BEJ_DATA_TYPE_ENUM || type == RDE_BEJ_DATA_TYPE_CHOICE;
}

void append_child(rde_bej_property *parent, rde_bej_property *child)
{
	child->stailq = nullptr;
	if (parent->children_last)
		parent->children_last->stailq = child;
	else
		parent->children_first = child;
	parent->children_last = child;
}

unsigned entry_index(const rde_bej_property *property)
{
	return static_cast<unsigned>(property - property->dictionary->properties);
}

// An unnamed property is an array's one item or one of a choice's options;
// an array holds nothing else.
int check_name(const tree_walk &w, const rde_bej_property *property, const rde_bej_property *parent)
{
	rde_bej_dictionary_problem at{RDE_BEJ_RULE_NAME, entry_index(property)};
	unsigned parent_type = parent ? parent->data_type() : unsigned{RDE_BEJ_DATA_TYPE_SET};
	if (property->name) {
		if (parent_type != RDE_BEJ_DATA_TYPE_ARRAY)
			return 0;
		return broken(w, at, "Found a named property '%s' in array '%s'", property->name,
			      shown_name(parent->name));
	}
	if (!parent)
		return broken(w, at, "Found an unnamed property without a parent");
	if (parent_type != RDE_BEJ_DATA_TYPE_ARRAY && parent_type != RDE_BEJ_DATA_TYPE_CHOICE)
		return broken(w, at, "Found an unnamed property for '%s' which is '%s'",
			      shown_name(parent->name), rde_bej_data_type_name(parent_type));
	if (parent_type == RDE_BEJ_DATA_TYPE_ARRAY && parent->children_first)
		return broken(w, at, "Found an array '%s' with multiple child properties",
			      shown_name(parent->name));
	return 0;
}

// Builds the node of an entry at `position` in its parent's list, with an
// empty child list, and checks what concerns the node itself.
int init_node(const tree_walk &w, const rde_bej_dictionary_entry &entry, rde_bej_property *parent,
	      uint16_t position, rde_bej_property **result)
{
	rde_bej_dictionary *dictionary = w.dictionary;
	rde_bej_property *property = &dictionary->properties[entry.index];
	RDE_ASSERT(!property->initialized);
	*property = {};
	property->dictionary = dictionary;
	property->parent = parent;
	property->sequence_number = entry.sequence_number;
	property->position = position;
	property->format = entry.format;
	property->initialized = true;
	property->name = entry.name;
	property->name_length = entry.name ? static_cast<uint16_t>(std::strlen(entry.name)) : 0;
	property->annotation = dictionary->schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION;
	// Only the root has no parent.
	property->top_level = parent && !parent->parent;
	*result = property;

	unsigned type = data_type(entry);
	int status = 0;
	if (!valid_data_type(type))
		status = broken(w, {RDE_BEJ_RULE_DATA_TYPE, entry.index},
				"Unsupported data type: 0x%x", type);
	if (status == 0)
		status = check_name(w, property, parent);
	if (status == 0 && entry.child_count != 0 && !may_have_children(type))
		status = broken(w, {RDE_BEJ_RULE_CHILDREN, entry.index},
				"Data format '%s' is not expected to have child properties",
				rde_bej_data_type_name(type));
	return status;
}

// The entry at a child offset, when it is one of the table's.
bool entry_at(const rde_bej_dictionary *dictionary, uint16_t offset,
	      rde_bej_dictionary_entry *entry)
{
	int32_t index = entry_at_offset(offset, dictionary->entry_count);
	if (index < 0)
		return false;
	*entry = read_entry(dictionary, static_cast<size_t>(index));
	return true;
}

// Children are numbered 0, 1, 2 ... in entry order.  With gaps accepted
// (and in a view) numbers need only rise, and a list ends (*ends_list)
// before the first that does not: there the child count has run past the
// list into the next one.
int check_child_sequence(const tree_walk &w, const rde_bej_property *parent,
			 const rde_bej_dictionary_entry &child, uint32_t k, bool *ends_list)
{
	bool gaps = w.view || w.dictionary->accept_sequence_gaps;
	*ends_list = gaps && k > 0 &&
		     child.sequence_number <= parent->children_last->sequence_number;
	if ((child.sequence_number == k && !*ends_list) || (gaps && !w.view))
		return 0;
	unsigned rule = *ends_list ? RDE_BEJ_RULE_SEQUENCE_END : RDE_BEJ_RULE_SEQUENCE_GAP;
	return broken(w, {rule, entry_index(parent), k, child.sequence_number},
		      "Unexpected child sequence number (expected %d, found %d)",
		      static_cast<int>(k), static_cast<int>(child.sequence_number));
}

int check_enum_option(const tree_walk &w, const rde_bej_property *parent,
		      const rde_bej_dictionary_entry &child)
{
	if (parent->data_type() != RDE_BEJ_DATA_TYPE_ENUM ||
	    data_type(child) == RDE_BEJ_DATA_TYPE_STRING)
		return 0;
	return broken(w, {RDE_BEJ_RULE_ENUM_OPTION, entry_index(parent)},
		      "Found enumeration property with %s data type (expected %s)",
		      rde_bej_data_type_name(data_type(child)),
		      rde_bej_data_type_name(RDE_BEJ_DATA_TYPE_STRING));
}

// A child range that another node already built (a recursive or reused
// type): `node` shares the list of that child's parent, which must be of
// node's own type, the one the list was checked for.
int share_children(const tree_walk &w, rde_bej_property *node, const rde_bej_property *child)
{
	if (!w.view)
		rde_bej_log(RDE_BEJ_LOG_DEBUG, "Found circular property's dependency");
	rde_bej_property *source = child->parent;
	rde_bej_dictionary_problem at{RDE_BEJ_RULE_SHARED_LIST, entry_index(node)};
	if (!source)
		return broken(w, at, "Circular dependent property points at root");
	int status = 0;
	if (source->data_type() != node->data_type())
		status = broken(
			w, at,
			"Property '%s' which is '%s' shares the child properties of '%s' which is '%s'",
			shown_name(node->name), rde_bej_data_type_name(node->data_type()),
			shown_name(source->name), rde_bej_data_type_name(source->data_type()));
	node->children_source = source;
	return status;
}

// Takes the next entry of the child range of *current: a leaf child is
// built and appended, a child with children of its own is built and becomes
// *current (appended once complete).  *complete when the list is done:
// the range is used up, ends early or is shared.
int build_next_child(const tree_walk &w, rde_bej_property *&current, bool *complete)
{
	rde_bej_dictionary_entry entry = read_entry(w.dictionary, entry_index(current));
	uint32_t k = current->children_last ? current->children_last->position + 1u : 0;
	*complete = true;
	if (k >= entry.child_count)
		return 0;
	auto offset = static_cast<uint16_t>(entry.child_pointer_offset + DICTIONARY_ENTRY_SIZE * k);
	rde_bej_dictionary_entry child_entry;
	if (!entry_at(w.dictionary, offset, &child_entry))
		return broken(w, {RDE_BEJ_RULE_ENTRY_OFFSET, entry.index},
			      "Unexpected entry offset: %u", static_cast<unsigned>(offset));
	bool ends_list = false;
	int status = check_child_sequence(w, current, child_entry, k, &ends_list);
	if (status == 0 && !ends_list)
		status = check_enum_option(w, current, child_entry);
	if (status || ends_list)
		return status;
	if (w.dictionary->properties[child_entry.index].initialized)
		return share_children(w, current, &w.dictionary->properties[child_entry.index]);

	*complete = false;
	rde_bej_property *built = nullptr;
	status = init_node(w, child_entry, current, static_cast<uint16_t>(k), &built);
	if (status == 0 && child_entry.child_count != 0)
		current = built;
	else if (status == 0)
		append_child(current, built);
	return status;
}

// Builds the root's node and every node below it, depth first in entry
// order without recursion: a child is appended to its parent once its own
// subtree is complete, and the last child built gives the next one's place.
int build_nodes(const tree_walk &w, const rde_bej_dictionary_entry &root_entry)
{
	rde_bej_property *top = nullptr;
	int status = init_node(w, root_entry, nullptr, 0, &top);
	rde_bej_property *current = top;
	while (status == 0) {
		bool complete = false;
		status = build_next_child(w, current, &complete);
		if (status || !complete)
			continue;
		if (current == top)
			break;
		append_child(current->parent, current);
		current = current->parent;
	}
	w.dictionary->root = top;
	return status;
}

// The header and the entry table must lie inside the bytes, with a root
// entry at least.  Returns why not, or nullptr; entry_count becomes the
// number of entries inside the bytes.
const char *check_table(rde_bej_dictionary *dictionary)
{
	rde_bej_dictionary_header header;
	if (rde_bej_read_dictionary_header(dictionary->data, dictionary->size, &header, nullptr))
		return "Invalid length of the dictionary";
	uint16_t inside = header.entry_count;
	while (DICTIONARY_HEADER_SIZE + DICTIONARY_ENTRY_SIZE * inside > dictionary->size)
		inside--;
	dictionary->entry_count = inside;
	if (inside < header.entry_count)
		return "Invalid length of the dictionary";
	return header.entry_count == 0 ? "The dictionary has no entries" : nullptr;
}

// Every entry must belong to the tree; the first one no child range reaches
// is named from the name table, or by its position.
int check_all_reached(const tree_walk &w)
{
	const rde_bej_dictionary *dictionary = w.dictionary;
	for (unsigned i = 0; i < dictionary->entry_count; i++) {
		if (dictionary->properties[i].initialized)
			continue;
		const char *name = read_entry(dictionary, i).name;
		char placeholder[32];
		if (!name) {
			std::snprintf(placeholder, sizeof placeholder, "<unnamed entry %u>", i);
			name = placeholder;
		}
		return broken(w, {RDE_BEJ_RULE_UNREACHED, i}, "Property '%s' wasn't initialized",
			      name);
	}
	return 0;
}

}  // namespace

int build_property_tree(rde_bej_dictionary *dictionary, rde_bej_dictionary_view *view)
{
	tree_walk w{dictionary, view};
	const char *reason = check_table(dictionary);
	int status = reason ? broken(w, {RDE_BEJ_RULE_TABLE, 0}, "%s", reason) : 0;
	if (status || dictionary->entry_count == 0)
		return status;
	rde_bej_dictionary_entry root_entry = read_entry(dictionary, 0);
	dictionary->name = root_entry.name;
	if (!dictionary->name)
		status = broken(w, {RDE_BEJ_RULE_ROOT_NAME, 0},
				"Couldn't find the name of the root object");
	if (status)
		return status;
	dictionary->properties = static_cast<rde_bej_property *>(
		std::calloc(dictionary->entry_count, sizeof(rde_bej_property)));
	if (!dictionary->properties) {
		if (!view)
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate property buffer");
		return -ENOMEM;
	}
	status = build_nodes(w, root_entry);
	return status ? status : check_all_reached(w);
}

extern "C" rde_bej_dictionary_view *rde_bej_dictionary_view_new(const void *data, size_t size)
{
	auto *view = static_cast<rde_bej_dictionary_view *>(
		std::calloc(1, sizeof(rde_bej_dictionary_view)));
	if (view)
		view->dictionary = static_cast<rde_bej_dictionary *>(
			std::calloc(1, sizeof(rde_bej_dictionary)));
	if (!view || !view->dictionary || !copy_dictionary_bytes(view->dictionary, data, size) ||
	    build_property_tree(view->dictionary, view) != 0) {
		rde_bej_dictionary_view_free(view);
		return nullptr;
	}
	return view;
}

extern "C" void rde_bej_dictionary_view_free(rde_bej_dictionary_view *view)
{
	if (!view)
		return;
	for (size_t i = 0; i < view->problem_count; i++)
		std::free(const_cast<char *>(view->problems[i].message));
	std::free(view->problems);
	if (view->dictionary)
		free_dictionary(view->dictionary);
	std::free(view);
}

extern "C" const rde_bej_property *
rde_bej_dictionary_view_get_root(const rde_bej_dictionary_view *view)
{
	return view ? view->dictionary->root : nullptr;
}

extern "C" const rde_bej_dictionary_problem *
rde_bej_dictionary_view_get_problem(const rde_bej_dictionary_view *view, size_t index)
{
	return view && index < view->problem_count ? &view->problems[index] : nullptr;
}

using property = rde_bej_property;

extern "C" const property *rde_bej_dictionary_get_root(const rde_bej_dictionary *d)
{
	return d ? d->root : nullptr;
}

extern "C" const char *rde_bej_property_get_name(const property *p) { return p->name; }
extern "C" unsigned rde_bej_property_get_type(const property *p) { return p->data_type(); }
extern "C" unsigned rde_bej_property_get_flags(const property *p) { return p->format & 0x0Fu; }
extern "C" unsigned rde_bej_property_get_entry(const property *p) { return entry_index(p); }

extern "C" uint16_t rde_bej_property_get_sequence_number(const property *p)
{
	return p->sequence_number;
}

extern "C" const property *rde_bej_property_get_first_child(const property *p)
{
	return p->children_first;
}

extern "C" const property *rde_bej_property_get_next_sibling(const property *p)
{
	return p->stailq;
}

extern "C" const property *rde_bej_property_get_children_source(const property *p)
{
	return p->children_source;
}

extern "C" const property *rde_bej_property_find_child(const property *scope, uint64_t number)
{
	uint64_t key = scope->data_type() == RDE_BEJ_DATA_TYPE_ARRAY ? 0 : number;
	for (const property *p = scope->first_child(); p; p = p->stailq) {
		if (p->sequence_number == key)
			return p;
	}
	return nullptr;
}
