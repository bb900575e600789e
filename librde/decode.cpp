// The decoder: one BEJ encoding (header and root tuple) into a tree of value
// nodes resolved against the registered dictionaries.  A tuple's value is
// read through a cursor that covers exactly the tuple's length.
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

unsigned format_data_type(uint8_t format) { return format >> 4; }

// A tuple's type is acceptable for a property of its own type, and a null or
// a property annotation is acceptable for any property.
bool type_fits(unsigned tuple_type, const rde_bej_property *property)
{
	return tuple_type == property->data_type() || tuple_type == RDE_BEJ_DATA_TYPE_NULL ||
	       tuple_type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION;
}

// What every step of a decoding works with: the registered dictionaries,
// and the arena that the tree grows in.
struct decoding {
	const rde_bej_context *context;
	rde_bej_arena *arena;
};

int decode_property(const decoding &d, rde_bej_value *value, const_cursor &c, int depth);
int decode_value(const decoding &d, rde_bej_value *value, const_cursor &c, int depth);

// See rde_bej_tuple_scope().
const rde_bej_property *tuple_scope(const rde_bej_context *context, const rde_bej_property *parent,
				    uint64_t sequence_field, uint8_t format)
{
	if (parent && (sequence_field & 1) == 0)
		return parent;
	const rde_bej_dictionary *annotations = context->annotation_dictionary;
	if (!annotations)
		return nullptr;
	if (parent && parent->dictionary->schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION &&
	    parent != parent->dictionary->root && !(format & RDE_BEJ_FORMAT_TOP_LEVEL_ANNOTATION))
		return parent;
	return annotations->root;
}

// The property a tuple below parent resolves to (parent is nullptr for the
// inner tuple of a property annotation), or nullptr.
const rde_bej_property *find_property_by_sequence_number(const rde_bej_context *context,
							 const rde_bej_property *parent,
							 const tuple_head &head)
{
	const rde_bej_property *scope = tuple_scope(context, parent, head.sequence_field,
						    head.format);
	if (scope)
		return rde_bej_property_find_child(scope, head.sequence_field >> 1);
	rde_bej_log(RDE_BEJ_LOG_ERROR,
		    "Unable to decode annotations as no annotation dictionary has been provided");
	return nullptr;
}

// Reads a bejInteger of exactly count bytes into the node's integer payload.
int decode_integer(rde_bej_value *value, const_cursor &c, size_t count)
{
	bool negative = false;
	integer_problem problem = read_bej_integer(c, count, &value->payload.integer.value,
						   &negative);
	value->negative = negative;
	if (problem == integer_problem::empty) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported integer size: 0");
		return -EINVAL;
	}
	if (problem == integer_problem::too_long) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Only %zu byte integers are supported", size_t{8});
		return -EINVAL;
	}
	return 0;
}

// bejReal: length of whole, whole, leading zero count, fraction, length of
// exponent, exponent.  A failing whole or exponent logs the integer's own
// message first.
int decode_real(rde_bej_arena *arena, rde_bej_value *value, const_cursor &c)
{
	auto *real = static_cast<rde_bej_real *>(
		value_buffer_alloc(arena, sizeof(rde_bej_real), alignof(rde_bej_real)));
	if (!real) {
		value_display_name name;
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate data buffer for property '%s'",
			    describe_value(value, &name));
		return -ENOMEM;
	}
	value->payload.real_buffer = real;
	integer_problem integer;
	real_problem problem = read_bej_real(c, real, &integer);
	if (problem == real_problem::none)
		return 0;
	if (integer == integer_problem::empty)
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported integer size: 0");
	else if (integer == integer_problem::too_long)
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Only %zu byte integers are supported", size_t{8});
	rde_bej_log(RDE_BEJ_LOG_ERROR, "%s", real_problem_message(problem));
	return -EINVAL;
}

// The name of a value for messages, formatted only when one is logged.
class lazy_name {
public:
	// The buffer is left as it is until a message needs it.
	explicit lazy_name(const rde_bej_value *value) : value_(value) {}
	const char *operator()() { return describe_value(value_, &buffer_); }

private:
	const rde_bej_value *value_;
	value_display_name buffer_;
};

// A tuple whose type does not fit its property (type_fits).
int unexpected_type(const rde_bej_property *property, unsigned type, const char *name)
{
	rde_bej_log(RDE_BEJ_LOG_ERROR,
		    "Unexpected data type for property '%s' (expected: %s, found: %s)", name,
		    rde_bej_data_type_name(property->data_type()), rde_bej_data_type_name(type));
	return -EINVAL;
}

// Reads a tuple's head, logging why it cannot (inner: the head of a
// property annotation's inner tuple).
int read_head(const_cursor &c, bool inner, tuple_head *head)
{
	head_problem problem = read_tuple_head(c, inner, head);
	if (problem == head_problem::none)
		return 0;
	rde_bej_log(RDE_BEJ_LOG_ERROR, "%s", head_problem_message(problem, inner));
	return -EINVAL;
}

// The inner tuple of a property annotation: an annotation dictionary
// property and its value, which the node then holds in place of the
// annotated property's.
int decode_property_annotation(const decoding &d, rde_bej_value *value, const_cursor &c, int depth)
{
	tuple_head head;
	int status = read_head(c, true, &head);
	if (status)
		return status;
	const rde_bej_property *annotation = find_property_by_sequence_number(d.context, nullptr,
									      head);
	if (!annotation) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Couldnt't find annotation property with a sequence number of %llu",
			    static_cast<unsigned long long>(head.sequence_field >> 1));
		return -EINVAL;
	}
	// The inner value must fit its annotation property like any other tuple.
	unsigned type = format_data_type(head.format);
	if (!type_fits(type, annotation))
		return unexpected_type(annotation, type, annotation->name ? annotation->name : "");
	value->annotated_property = value->property;
	value->property = annotation;
	value->type = type;
	return decode_value(d, value, c, depth + 1);
}

// A set's members or an array's elements: a count, then one tuple each.
int decode_members(const decoding &d, rde_bej_value *value, const_cursor &c, int depth)
{
	uint64_t count;
	if (decode_nnint(c, &count)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to decode child count");
		return -EINVAL;
	}
	for (uint64_t i = 0; i < count; i++) {
		rde_bej_value *child = new_bej_value(value, d.arena);
		if (!child)
			return -ENOMEM;
		int status = decode_property(d, child, c, depth + 1);
		if (status)
			return status;
	}
	return 0;
}

// An option number the property's options hold; an unreadable number fails
// without a message of its own.
int decode_enum(rde_bej_value *value, const_cursor &c)
{
	uint64_t option;
	if (decode_nnint(c, &option))
		return -EINVAL;
	if (rde_bej_property_find_child(value->property, option)) {
		value->payload.enum_option = option;
		return 0;
	}
	rde_bej_log(RDE_BEJ_LOG_ERROR,
		    "Selected enumeration value %llu for property '%s' couldn't be found",
		    static_cast<unsigned long long>(option), lazy_name(value)());
	return -EINVAL;
}

// A string with its terminating NUL, or a bytestring: copied whole into the
// tree, neither of them empty.
int decode_bytes(rde_bej_arena *arena, rde_bej_value *value, const_cursor &c, bool string)
{
	size_t length = c.remaining();
	if (length == 0) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    string ? "Found property '%s' with zero-length string"
				   : "Found property '%s' with zero-length bytestring",
			    lazy_name(value)());
		return -EINVAL;
	}
	if (string && c.peek_at(length - 1) != 0) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Found property '%s' with an unterminated string",
			    lazy_name(value)());
		return -EINVAL;
	}
	// A bytestring's bytes follow its record in one buffer.
	size_t head = string ? 0 : sizeof(rde_bej_bytestring);
	auto *buffer = static_cast<uint8_t *>(
		value_buffer_alloc(arena, head + length, string ? 1 : alignof(rde_bej_bytestring)));
	if (!buffer) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    string ? "Failed to allocate data buffer for property '%s'"
				   : "Failed to allocate bytestring data buffer for property '%s'",
			    lazy_name(value)());
		return -ENOMEM;
	}
	c.read(buffer + head, length);
	if (string) {
		value->payload.string = reinterpret_cast<char *>(buffer);
	} else {
		auto *bytestring = reinterpret_cast<rde_bej_bytestring *>(buffer);
		*bytestring = {buffer + head, static_cast<uint32_t>(length)};
		value->payload.bytestring_buffer = bytestring;
	}
	return 0;
}

int decode_boolean(rde_bej_value *value, const_cursor &c)
{
	if (c.remaining() != 1) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid length of a boolean property '%s': %llu",
			    lazy_name(value)(), static_cast<unsigned long long>(c.remaining()));
		return -EINVAL;
	}
	value->payload.boolean = c.read_u8() != 0;
	return 0;
}

int decode_resource_link(rde_bej_value *value, const_cursor &c)
{
	uint64_t link;
	int status = decode_nnint(c, &link);
	if (status) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to decode property's '%s' resource link",
			    lazy_name(value)());
		return status;
	}
	if (link > UINT32_MAX) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Unsupported resource link value of '%s' property: %llu",
			    lazy_name(value)(), static_cast<unsigned long long>(link));
		return -EINVAL;
	}
	value->payload.resource_link = static_cast<uint32_t>(link);
	return 0;
}

// Reads the bytes of one value (all that c holds) by the node's data type.
// depth is the value's nesting level, the root's being 1.
int decode_value(const decoding &d, rde_bej_value *value, const_cursor &c, int depth)
{
	if (depth > MAX_NESTING_DEPTH) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Nesting of property '%s' exceeds %d levels",
			    lazy_name(value)(), MAX_NESTING_DEPTH);
		return -EINVAL;
	}
	switch (value->type) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY:
		return decode_members(d, value, c, depth);
	case RDE_BEJ_DATA_TYPE_NULL:
		return 0;
	case RDE_BEJ_DATA_TYPE_INTEGER:
		return decode_integer(value, c, c.remaining());
	case RDE_BEJ_DATA_TYPE_ENUM:
		return decode_enum(value, c);
	case RDE_BEJ_DATA_TYPE_STRING:
	case RDE_BEJ_DATA_TYPE_BYTESTRING:
		return decode_bytes(d.arena, value, c, value->type == RDE_BEJ_DATA_TYPE_STRING);
	case RDE_BEJ_DATA_TYPE_REAL:
		return decode_real(d.arena, value, c);
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		return decode_boolean(value, c);
	case RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION:
		return decode_property_annotation(d, value, c, depth);
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		return decode_resource_link(value, c);
	default:
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported data type: %d (%s)",
			    static_cast<int>(value->type), rde_bej_data_type_name(value->type));
		return -EINVAL;
	}
}

// The root arrives with its property fixed; every other node is resolved
// here from its tuple.
int resolve_property(const rde_bej_context *context, rde_bej_value *value, const tuple_head &head)
{
	if (value->property)
		return 0;
	value->property = find_property_by_sequence_number(context, value->parent->property, head);
	if (value->property)
		return 0;
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to find property with a sequence number %llu",
		    static_cast<unsigned long long>(head.sequence_field));
	return -EINVAL;
}

// Reads one SFLV tuple from c into value, whose parent link is set.
int decode_property(const decoding &d, rde_bej_value *value, const_cursor &c, int depth)
{
	tuple_head head;
	int status = read_head(c, false, &head);
	if (status == 0)
		status = resolve_property(d.context, value, head);
	if (status)
		return status;
	lazy_name name(value);
	if (tracing())
		rde_bej_log(RDE_BEJ_LOG_TRACE, "Decoding property: '%s'", name());
	unsigned type = format_data_type(head.format);
	if (!type_fits(type, value->property))
		return unexpected_type(value->property, type, name());
	if (head.length > static_cast<uint64_t>(c.remaining())) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Length of property '%s' exceeds data size", name());
		return -EINVAL;
	}

	// The length fits the remaining buffer, so it fits a size_t; buffers
	// beyond 4 GiB are not BEJ's business, value_size keeps 32 bits.
	size_t length = static_cast<size_t>(head.length);
	value->type = type;
	value->value_size = static_cast<uint32_t>(length);
	value->deferred_binding = (head.format & RDE_BEJ_FORMAT_DEFERRED_BINDING) != 0;
	const_cursor inner{c.position, length};
	status = decode_value(d, value, inner, depth);
	if (tracing())
		trace_bej_value(value, value->type, true);
	if (status)
		return status;
	c.advance(length);
	if (inner.remaining() != 0) {
		rde_bej_log(
			RDE_BEJ_LOG_ERROR,
			"Failed to decode property '%s': size mismatch (expected: %zu, actual: %zu)",
			name(), length, length - inner.remaining());
		return -EINVAL;
	}
	return 0;
}

// Checks the header: a known version and the schema class asked for; the
// flags carry nothing for decoding.
int check_header(const_cursor &c, int32_t schema_type)
{
	if (c.remaining() < ENCODING_HEADER_SIZE) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid encoding length");
		return -EINVAL;
	}
	rde_bej_encoding_header header;
	if (!read_encoding_header(c, &header)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported encoding version: 0x%x",
			    header.version);
		return -EINVAL;
	}
	if (header.schema_class != schema_type) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid schema type (expected: %d, found: %d)",
			    static_cast<int>(schema_type), static_cast<int>(header.schema_class));
		return -EINVAL;
	}
	return 0;
}

// The root of a decoded tree, whose arena holds the whole tree; a locator
// without components decodes the whole resource.
rde_bej_value *new_root(const rde_bej_dictionary *dictionary, const rde_bej_locator *locator,
			const char *name)
{
	const rde_bej_property *property = dictionary->root;
	if (locator && locator->count > 0)
		property = locator->components[locator->count - 1].property;
	rde_bej_value *root = alloc_bej_value(nullptr, nullptr, property, nullptr);
	if (root && !attach_arena(root, arena_blocks::zeroed)) {
		rde_bej_value_free(root);
		root = nullptr;
	}
	if (!root)
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Failed to allocate BEJ value object for property '%s'", name);
	return root;
}

}  // namespace

extern "C" const rde_bej_property *rde_bej_tuple_scope(const rde_bej_context *context,
						       const rde_bej_property *parent,
						       const rde_bej_tuple *tuple)
{
	if (!context || !tuple)
		return nullptr;
	uint64_t field = tuple->sequence_number << 1 | (tuple->selector & 1);
	return tuple_scope(context, parent, field, tuple->format);
}

extern "C" int rde_bej_decode(rde_bej_context *context, const char *name, int32_t schema_type,
			      const uint8_t *bytes, size_t length, const rde_bej_locator *locator,
			      rde_bej_value **result)
{
	if (!context || !name || !result || (!bytes && length)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid arguments to rde_bej_decode");
		return -EINVAL;
	}
	const_cursor c{bytes, length};
	rde_bej_dictionary *dictionary = nullptr;
	int status = check_header(c, schema_type);
	if (status == 0)
		status = find_dictionary(context, name, schema_type, &dictionary);
	if (status)
		return status;
	rde_bej_value *root = new_root(dictionary, locator, name);
	if (!root)
		return -ENOMEM;
	status = decode_property({context, tree_arena(root)}, root, c, 1);
	if (status == 0 && c.remaining() != 0) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Invalid length of the data buffer: %zu bytes remaining",
			    c.remaining());
		status = -EINVAL;
	}
	if (status) {
		rde_bej_value_free(root);
		return status;
	}
	*result = root;
	return 0;
}
