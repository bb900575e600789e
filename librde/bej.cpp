// Contexts and dictionaries: registration of dictionary bytes, the schema
// property tree built from them, and the lookups of properties by name.
//
// Dictionary bytes are untrusted.  They are only read through the bounded
// cursor, every entry access is bounded by the entry count and the size
// given at registration, and the property tree is built without recursion so
// that a deeply nested dictionary costs no stack.
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr const char *parse_failed = "Failed to parse the dictionary";

// Reads entry `index`; the caller has checked it against the entry count,
// and registration has checked that the entry table fits in the data.
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

// The node of the entry that `property` belongs to.
rde_bej_dictionary_entry entry_of(const rde_bej_property *property)
{
	const rde_bej_dictionary *dictionary = property->dictionary;
	return read_entry(dictionary, static_cast<size_t>(property - dictionary->properties));
}

rde_bej_property *get_property_from_entry(rde_bej_dictionary *dictionary,
					  const rde_bej_dictionary_entry &entry)
{
	RDE_ASSERT(entry.index < dictionary->entry_count);
	return &dictionary->properties[entry.index];
}

// An unnamed property is an array's one item or one of a choice's options;
// an array holds nothing else.
int check_name(const rde_bej_property *property, const rde_bej_property *parent)
{
	if (!property->name) {
		if (!parent) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Found an unnamed property without a parent");
			return -EINVAL;
		}
		unsigned parent_type = parent->data_type();
		if (parent_type != RDE_BEJ_DATA_TYPE_ARRAY &&
		    parent_type != RDE_BEJ_DATA_TYPE_CHOICE) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Found an unnamed property for '%s' which is '%s'",
				    shown_name(parent->name), rde_bej_data_type_name(parent_type));
			return -EINVAL;
		}
		if (parent_type == RDE_BEJ_DATA_TYPE_ARRAY && parent->children_first) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Found an array '%s' with multiple child properties",
				    shown_name(parent->name));
			return -EINVAL;
		}
	} else if (parent && parent->data_type() == RDE_BEJ_DATA_TYPE_ARRAY) {
		// A named child could never be looked up as the array's item, so
		// such a dictionary is refused here rather than failing later at
		// every use.
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Found a named property '%s' in array '%s'",
			    property->name, shown_name(parent->name));
		return -EINVAL;
	}
	return 0;
}

// Builds one node from its entry, at `position` in its parent's list: the
// checks that concern the node itself (steps before its children are looked
// at).  On success *result is the node, initialized, with an empty child list.
int init_node(rde_bej_dictionary *dictionary, const rde_bej_dictionary_entry &entry,
	      rde_bej_property *parent, uint16_t position, rde_bej_property **result)
{
	rde_bej_property *property = get_property_from_entry(dictionary, entry);
	if (property->initialized) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Failed to find a property or it's already been initialized");
		return -EINVAL;
	}
	if (!valid_data_type(data_type(entry))) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported data type: 0x%x", data_type(entry));
		return -EINVAL;
	}
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

	int status = check_name(property, parent);
	if (status)
		return status;

	property->children_source = nullptr;
	property->children_first = nullptr;
	property->children_last = nullptr;
	property->stailq = nullptr;
	if (entry.child_count != 0 && !may_have_children(data_type(entry))) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Data format '%s' is not expected to have child properties",
			    rde_bej_data_type_name(data_type(entry)));
		return -EINVAL;
	}
	*result = property;
	return 0;
}

// The entry of the k-th child in the child range of `entry`.  Offsets are
// 16-bit quantities and wrap.
int child_entry_at(const rde_bej_dictionary *dictionary, const rde_bej_dictionary_entry &entry,
		   uint32_t k, rde_bej_dictionary_entry *child)
{
	uint16_t offset = static_cast<uint16_t>(entry.child_pointer_offset + 10u * k);
	if (offset < DICTIONARY_HEADER_SIZE ||
	    (offset - DICTIONARY_HEADER_SIZE) % DICTIONARY_ENTRY_SIZE != 0 ||
	    offset - DICTIONARY_HEADER_SIZE >
		    DICTIONARY_ENTRY_SIZE * (dictionary->entry_count - 1u)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unexpected entry offset: %u",
			    static_cast<unsigned>(offset));
		return -EINVAL;
	}
	*child = read_entry(dictionary, (offset - DICTIONARY_HEADER_SIZE) / DICTIONARY_ENTRY_SIZE);
	return 0;
}

// Children are numbered 0, 1, 2 ... in entry order.  A dictionary
// registered with gaps accepted only needs rising numbers, and its list
// ends (*ends_list) before the first number that does not rise: there the
// child count has run past the list into the next one.
int check_child_sequence(const rde_bej_dictionary *dictionary, const rde_bej_property *parent,
			 const rde_bej_dictionary_entry &child, uint32_t k, bool *ends_list)
{
	*ends_list = false;
	if (dictionary->accept_sequence_gaps) {
		*ends_list = k > 0 &&
			     child.sequence_number <= parent->children_last->sequence_number;
		return 0;
	}
	if (child.sequence_number == k)
		return 0;
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Unexpected child sequence number (expected %d, found %d)",
		    static_cast<int>(k), static_cast<int>(child.sequence_number));
	return -EINVAL;
}

int check_enum_option(const rde_bej_property *parent, const rde_bej_dictionary_entry &child)
{
	if (parent->data_type() != RDE_BEJ_DATA_TYPE_ENUM ||
	    data_type(child) == RDE_BEJ_DATA_TYPE_STRING)
		return 0;
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Found enumeration property with %s data type (expected %s)",
		    rde_bej_data_type_name(data_type(child)),
		    rde_bej_data_type_name(RDE_BEJ_DATA_TYPE_STRING));
	return -EINVAL;
}

// A child range that another node already built (a recursive or reused
// type): `node` shares the list of that child's parent.
int share_children(rde_bej_property *node, const rde_bej_property *child)
{
	rde_bej_log(RDE_BEJ_LOG_DEBUG, "Found circular property's dependency");
	rde_bej_property *source = child->parent;
	if (!source) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Circular dependent property points at root");
		return -EINVAL;
	}
	// The shared list was checked for its builder's data type; it only
	// fits a node of that same type (enumeration options, one unnamed
	// array item, named set members).
	if (source->data_type() != node->data_type()) {
		rde_bej_log(
			RDE_BEJ_LOG_ERROR,
			"Property '%s' which is '%s' shares the child properties of '%s' which is '%s'",
			shown_name(node->name), rde_bej_data_type_name(node->data_type()),
			shown_name(source->name), rde_bej_data_type_name(source->data_type()));
		return -EINVAL;
	}
	node->children_source = source;
	return 0;
}

// Takes the next entry of the child range of *current: a leaf child is
// built and appended, a child with children of its own is built and becomes
// *current (appended once complete).  *complete when the list is done:
// the range is used up, ends early or is shared.
int build_next_child(rde_bej_dictionary *dictionary, rde_bej_property *&current, bool *complete)
{
	rde_bej_dictionary_entry entry = entry_of(current);
	uint32_t k = current->children_last ? current->children_last->position + 1u : 0;
	*complete = true;
	if (k >= entry.child_count)
		return 0;
	rde_bej_dictionary_entry child_entry;
	bool ends_list = false;
	int status = child_entry_at(dictionary, entry, k, &child_entry);
	if (status == 0)
		status = check_child_sequence(dictionary, current, child_entry, k, &ends_list);
	if (status || ends_list)
		return status;
	status = check_enum_option(current, child_entry);
	if (status)
		return status;
	rde_bej_property *child = get_property_from_entry(dictionary, child_entry);
	if (child->initialized)
		return share_children(current, child);

	*complete = false;
	rde_bej_property *built = nullptr;
	status = init_node(dictionary, child_entry, current, static_cast<uint16_t>(k), &built);
	if (status)
		return status;
	if (child_entry.child_count != 0)
		current = built;
	else
		append_child(current, built);
	return 0;
}

// Builds the node of `entry` and every node below it.  The walk is
// depth-first in entry order, like a recursion over child ranges, but keeps
// its place in the nodes themselves (the parent link, and the last child
// built, whose position gives the next child's) instead of on the stack.  A
// child is appended to its parent once its own subtree is complete.
int init_property(rde_bej_dictionary *dictionary, const rde_bej_dictionary_entry &entry,
		  rde_bej_property *parent, rde_bej_property **result)
{
	rde_bej_property *top = nullptr;
	int status = init_node(dictionary, entry, parent, 0, &top);
	rde_bej_property *current = top;
	while (status == 0) {
		bool complete = false;
		status = build_next_child(dictionary, current, &complete);
		if (status || !complete)
			continue;
		if (current == top)
			break;
		append_child(current->parent, current);
		current = current->parent;
	}
	if (status == 0)
		*result = top;
	return status;
}

void free_dictionary(rde_bej_dictionary *dictionary)
{
	std::free(dictionary->properties);
	std::free(dictionary->data);
	std::free(dictionary->uri);
	std::free(dictionary);
}

// Logs the reason and "Failed to parse the dictionary", frees the partly
// registered record and passes the status on.
int refuse(rde_bej_dictionary *dictionary, int status, const char *reason)
{
	if (reason)
		rde_bej_log(RDE_BEJ_LOG_ERROR, "%s", reason);
	rde_bej_log(RDE_BEJ_LOG_ERROR, "%s", parse_failed);
	free_dictionary(dictionary);
	return status;
}

// A new record with its own copies of the URI and of the bytes.
int new_record(const rde_bej_context *context, int32_t schema_type, const char *uri,
	       const void *data, size_t size, rde_bej_dictionary **result)
{
	auto *dictionary = static_cast<rde_bej_dictionary *>(
		std::calloc(1, sizeof(rde_bej_dictionary)));
	if (!dictionary) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate dictionary's buffer");
		return -ENOMEM;
	}
	if (uri) {
		size_t length = std::strlen(uri) + 1;
		dictionary->uri = static_cast<char *>(std::malloc(length));
		if (!dictionary->uri) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Failed to allocate dictionary's URI buffer");
			free_dictionary(dictionary);
			return -ENOMEM;
		}
		std::memcpy(dictionary->uri, uri, length);
	}
	dictionary->schema_type = schema_type;
	dictionary->accept_sequence_gaps = (context->options & RDE_BEJ_ACCEPT_SEQUENCE_GAPS) != 0;
	dictionary->size = size;
	// One byte at least, so that an empty dictionary is refused as too short
	// rather than as out of memory.
	dictionary->data = static_cast<uint8_t *>(std::calloc(size ? size : 1, 1));
	if (!dictionary->data) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate dictionary's data buffer");
		free_dictionary(dictionary);
		return -ENOMEM;
	}
	if (size)
		std::memcpy(dictionary->data, data, size);
	*result = dictionary;
	return 0;
}

// The header and the entry table must lie inside the bytes, with a root
// entry at least.  Returns why not, or nullptr.
const char *check_table(rde_bej_dictionary *dictionary)
{
	rde_bej_dictionary_header header;
	if (rde_bej_read_dictionary_header(dictionary->data, dictionary->size, &header, nullptr))
		return "Invalid length of the dictionary";
	if (dictionary->size <
	    DICTIONARY_HEADER_SIZE + DICTIONARY_ENTRY_SIZE * size_t{header.entry_count})
		return "Invalid length of the dictionary";
	dictionary->entry_count = header.entry_count;
	// Without entries there is no root entry to read (and a size check
	// against the entry count does not catch a short buffer).
	return header.entry_count == 0 ? "The dictionary has no entries" : nullptr;
}

// Every entry must belong to the tree.  The first one no child range
// reaches has no node, hence no node name: it is shown by its name from the
// name table, or by its position when it has no valid name.
bool all_entries_reached(const rde_bej_dictionary *dictionary)
{
	for (size_t i = 0; i < dictionary->entry_count; i++) {
		if (dictionary->properties[i].initialized)
			continue;
		const char *name = read_entry(dictionary, i).name;
		char placeholder[32];
		if (!name) {
			std::snprintf(placeholder, sizeof placeholder, "<unnamed entry %u>",
				      static_cast<unsigned>(i));
			name = placeholder;
		}
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Property '%s' wasn't initialized", name);
		return false;
	}
	return true;
}

// Reads a new record's bytes into its property tree.  A failure logs why,
// frees the record and returns the status.
int parse_dictionary(rde_bej_dictionary *dictionary)
{
	const char *reason = check_table(dictionary);
	if (reason)
		return refuse(dictionary, -EINVAL, reason);
	rde_bej_dictionary_entry root_entry = read_entry(dictionary, 0);
	dictionary->name = root_entry.name;
	if (!dictionary->name)
		return refuse(dictionary, -EINVAL, "Couldn't find the name of the root object");
	dictionary->properties = static_cast<rde_bej_property *>(
		std::calloc(dictionary->entry_count, sizeof(rde_bej_property)));
	if (!dictionary->properties)
		return refuse(dictionary, -ENOMEM, "Failed to allocate property buffer");
	int status = init_property(dictionary, root_entry, nullptr, &dictionary->root);
	if (status)
		return refuse(dictionary, status, nullptr);
	if (!all_entries_reached(dictionary))
		return refuse(dictionary, -EINVAL, nullptr);
	return 0;
}

bool is_registered(const rde_bej_context *context, const rde_bej_dictionary *dictionary)
{
	for (const rde_bej_dictionary *d = context->dictionaries; d; d = d->next) {
		if (d->schema_type == dictionary->schema_type &&
		    std::strcmp(d->name, dictionary->name) == 0)
			return true;
	}
	return false;
}

// The newest dictionary goes first.
void insert(rde_bej_context *context, rde_bej_dictionary *dictionary)
{
	rde_bej_log(RDE_BEJ_LOG_DEBUG, "Adding dictionary '%s'", dictionary->name);
	dictionary->next = context->dictionaries;
	if (context->dictionaries)
		context->dictionaries->prev = dictionary;
	context->dictionaries = dictionary;
	if (dictionary->schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION)
		context->annotation_dictionary = dictionary;
}

}  // namespace

extern "C" rde_bej_context *rde_bej_context_new(void)
{
	auto *context = static_cast<rde_bej_context *>(std::calloc(1, sizeof(rde_bej_context)));
	if (!context)
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate internal BEJ structures");
	return context;
}

extern "C" void rde_bej_context_free(rde_bej_context *context)
{
	if (!context)
		return;
	while (rde_bej_dictionary *dictionary = context->dictionaries) {
		context->dictionaries = dictionary->next;
		if (context->dictionaries)
			context->dictionaries->prev = nullptr;
		free_dictionary(dictionary);
	}
	context->annotation_dictionary = nullptr;
	std::free(context);
}

extern "C" int rde_bej_context_set_options(rde_bej_context *context, unsigned options)
{
	if (!context || (options & ~unsigned{RDE_BEJ_ACCEPT_SEQUENCE_GAPS}) != 0) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unknown context options: 0x%x", options);
		return -EINVAL;
	}
	context->options = options;
	return 0;
}

// The duplicate test comes after the whole parse, so a malformed duplicate
// is refused for what is wrong with it.
extern "C" int rde_bej_add_dictionary(rde_bej_context *context, int32_t schema_type,
				      const char *uri, const void *data, size_t size)
{
	if (!context || (!data && size != 0)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid arguments to add a dictionary");
		return -EINVAL;
	}
	if (schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION && context->annotation_dictionary) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Annotation dictionary has already been added");
		return -EINVAL;
	}
	rde_bej_dictionary *dictionary = nullptr;
	int status = new_record(context, schema_type, uri, data, size, &dictionary);
	if (status == 0)
		status = parse_dictionary(dictionary);
	if (status)
		return status;
	if (is_registered(context, dictionary)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Dictionary named '%s' already exists",
			    dictionary->name);
		free_dictionary(dictionary);
		return -EEXIST;
	}
	insert(context, dictionary);
	return 0;
}

extern "C" rde_bej_dictionary *rde_bej_dictionary_first(const rde_bej_context *context)
{
	return context ? context->dictionaries : nullptr;
}

extern "C" rde_bej_dictionary *rde_bej_dictionary_next(const rde_bej_dictionary *dictionary)
{
	return dictionary ? dictionary->next : nullptr;
}

extern "C" const char *rde_bej_dictionary_get_name(const rde_bej_dictionary *dictionary)
{
	return dictionary ? dictionary->name : nullptr;
}

extern "C" int32_t rde_bej_dictionary_get_schema_type(const rde_bej_dictionary *dictionary)
{
	return dictionary ? dictionary->schema_type : -1;
}

const char *shown_name(const char *name) { return name ? name : "(unnamed)"; }

bool split_annotation_name(std::string_view name, std::string_view *property,
			   std::string_view *annotation)
{
	size_t at = name.find('@');
	if (at == std::string_view::npos)
		return false;
	*property = name.substr(0, at);
	*annotation = name.substr(at);
	return true;
}

int find_dictionary(const rde_bej_context *context, const char *name, int32_t schema_type,
		    rde_bej_dictionary **result)
{
	for (rde_bej_dictionary *d = context ? context->dictionaries : nullptr; d; d = d->next) {
		if (d->schema_type == schema_type && name && std::strcmp(d->name, name) == 0) {
			*result = d;
			return 0;
		}
	}
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Couldn't find dictionary named %s", name ? name : "(none)");
	return -ENOENT;
}

namespace {

// The first node of the list starting at `first` named exactly `name`.
// Candidates are told apart by their length before any byte is compared.
const rde_bej_property *find_child(const rde_bej_property *first, std::string_view name)
{
	for (const rde_bej_property *p = first; p; p = p->stailq) {
		if (p->name && p->name_length == name.size() &&
		    std::memcmp(p->name, name.data(), name.size()) == 0)
			return p;
	}
	return nullptr;
}

}  // namespace

const rde_bej_property *find_property_by_name(const rde_bej_context *context, const char *name,
					      const rde_bej_value *scope,
					      const rde_bej_property **annotated_property)
{
	if (annotated_property)
		*annotated_property = nullptr;
	if (!scope || !scope->property)
		return nullptr;
	const rde_bej_property *set = scope->property;

	if (set->data_type() == RDE_BEJ_DATA_TYPE_ARRAY) {
		if (name) {
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Array items must be unnamed");
			return nullptr;
		}
		const rde_bej_property *item = set->first_child();
		if (!item) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Array property '%s' doesn't have any children",
				    shown_name(set->name));
			return nullptr;
		}
		return item;
	}

	if (!name) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Only array items are allowed to be unnamed");
		return nullptr;
	}
	// One scan finds the "@" of an annotation name, or the end of a plain
	// name and with it the length that candidates are compared by.  Names
	// are short: a plain loop costs less than a call.
	const char *at = name;
	while (*at != '\0' && *at != '@')
		at++;
	std::string_view property_part(name, static_cast<size_t>(at - name));
	if (*at == '\0')
		return find_child(set->first_child(), property_part);
	std::string_view annotation_part(at);

	if (!context || !context->annotation_dictionary) {
		rde_bej_log(
			RDE_BEJ_LOG_ERROR,
			"Tried to access an annotation property, while no annotation dictionary has been registered");
		return nullptr;
	}
	if (!property_part.empty() && annotated_property) {
		const rde_bej_property *annotated = find_child(set->first_child(), property_part);
		if (!annotated) {
			rde_bej_log(
				RDE_BEJ_LOG_ERROR,
				"Couldn't find annotated property of property annotation named '%s'",
				name);
			return nullptr;
		}
		*annotated_property = annotated;
	}
	return find_child(context->annotation_dictionary->root->first_child(), annotation_part);
}
