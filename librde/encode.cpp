// The byte layout of BEJ elements and the two-pass encoding of a builder's
// value tree: a size pass that stores every value's length, one allocation
// of exactly the total, and a write pass through the bounded cursor.
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// ---- encoding primitives ----

// Bytes of a BEJ integer: eight for a negative value, one for zero, else
// the value's bytes plus a zero byte when the top bit of the top byte is set.
size_t integer_size(int64_t value, bool negative)
{
	if (negative)
		return 8;
	if (value == 0)
		return 1;
	unsigned bits = 64 - static_cast<unsigned>(__builtin_clzll(static_cast<uint64_t>(value)));
	return (bits + 7) / 8 + (bits % 8 == 0 ? 1 : 0);
}

void encode_integer(int64_t value, bool negative, cursor &c)
{
	size_t num_bytes = integer_size(value, negative);
	size_t *buffer_length = &c.buffer_length;
	RDE_ASSERT(num_bytes <= *buffer_length);
	size_t value_bytes = num_bytes > 8 ? 8 : num_bytes;
	c.write_le(static_cast<uint64_t>(value), value_bytes);
	c.write_le(0, num_bytes - value_bytes);
}

size_t tuple_header_size(const rde_bej_property *property, uint64_t value_size)
{
	return nnint_size(static_cast<uint64_t>(property->sequence_number) * 2) + 1 +
	       nnint_size(value_size);
}

// Writes S, F and L of the tuple of property P; parent_annotation tells
// whether the value's parent belongs to the annotation dictionary (false for
// the root, which has none).
void encode_format(const rde_bej_property *property, bool parent_annotation, unsigned type,
		   uint64_t value_size, uint8_t deferred_binding, cursor &c)
{
	bool top_level = property->top_level;
	bool selector = parent_annotation || (property->annotation && top_level);
	bool top_level_annotation = parent_annotation && top_level;

	uint8_t format = static_cast<uint8_t>(type << 4) | (property->format & 0x0C) |
			 (top_level_annotation ? RDE_BEJ_FORMAT_TOP_LEVEL_ANNOTATION : 0) |
			 (deferred_binding ? RDE_BEJ_FORMAT_DEFERRED_BINDING : 0);
	encode_tuple_header(static_cast<uint64_t>(property->sequence_number) * 2 +
				    (selector ? 1 : 0),
			    format, value_size, c);
}

// A string node without text (a root string that was never set) is
// written as the empty string.
const char *string_text(const rde_bej_value *value)
{
	return value->payload.string ? value->payload.string : "";
}

// The text's length with its NUL.
uint64_t string_size(const rde_bej_value *value)
{
	return static_cast<uint64_t>(std::strlen(string_text(value))) + 1;
}

// size: the text's length with its NUL, as the size pass found it.
void encode_string(const rde_bej_value *value, uint64_t size, cursor &c)
{
	size_t *buffer_length = &c.buffer_length;
	RDE_ASSERT(size <= *buffer_length);
	c.write(string_text(value), static_cast<size_t>(size));
}

void encode_bool(const rde_bej_value *value, cursor &c)
{
	size_t *buffer_length = &c.buffer_length;
	RDE_ASSERT(*buffer_length >= 1);
	c.write_u8(value->payload.boolean);
}

void encode_bytestring(const rde_bej_value *value, cursor &c)
{
	const rde_bej_bytestring &bs = bytestring_of(value);
	size_t *buffer_length = &c.buffer_length;
	RDE_ASSERT(bs.length <= *buffer_length);
	c.write(bs.data, bs.length);
}

size_t real_size(const rde_bej_real &real)
{
	size_t whole = integer_size(real.whole, real.whole < 0);
	size_t size = nnint_size(whole) + whole + nnint_size(real.leading_zero_count) +
		      nnint_size(real.fraction);
	if (real.exponent == 0)
		return size + nnint_size(0);
	size_t exponent = integer_size(real.exponent, real.exponent < 0);
	return size + nnint_size(exponent) + exponent;
}

void encode_real(const rde_bej_value *value, cursor &c)
{
	const rde_bej_real &real = real_of(value);
	encode_nnint(integer_size(real.whole, real.whole < 0), c);
	encode_integer(real.whole, real.whole < 0, c);
	encode_nnint(real.leading_zero_count, c);
	encode_nnint(real.fraction, c);
	if (real.exponent == 0) {
		encode_nnint(0, c);
		return;
	}
	encode_nnint(integer_size(real.exponent, real.exponent < 0), c);
	encode_integer(real.exponent, real.exponent < 0, c);
}

// ---- the value tree ----

// How a value is written: a value with an annotated property is a property
// annotation whose outer tuple belongs to the annotated property; its own
// type, property and deferred binding go into the inner tuple.
struct outer_tuple {
	unsigned type;
	const rde_bej_property *property;
	uint8_t deferred_binding;
};

outer_tuple outer_of(const rde_bej_value *value)
{
	if (value->annotated_property)
		return {RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION, value->annotated_property, 0};
	return {value->type, value->property, value->deferred_binding};
}

int bej_value_size(rde_bej_value *value, unsigned type, uint64_t *size);

int bej_tuple_size(rde_bej_value *value, uint64_t *total)
{
	outer_tuple outer = outer_of(value);
	uint64_t size = 0;
	int status = bej_value_size(value, outer.type, &size);
	if (status)
		return status;
	if (size > UINT32_MAX) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Encoded size of property '%s' exceeds 4 GiB",
			    shown_name(outer.property->name));
		return -EINVAL;
	}
	value->value_size = static_cast<uint32_t>(size);
	*total += size + tuple_header_size(outer.property, size);
	return 0;
}

int unsupported(unsigned type)
{
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported data type: %s", rde_bej_data_type_name(type));
	return -EOPNOTSUPP;
}

int bej_value_size(rde_bej_value *value, unsigned type, uint64_t *size)
{
	switch (type) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY: {
		uint64_t total = 0;
		uint32_t count = 0;
		for (rde_bej_value *child = value->children_first; child; child = child->next) {
			int status = bej_tuple_size(child, &total);
			if (status)
				return status;
			count++;
		}
		// The count written is the length of the list; appending and
		// unlinking keep child_count equal to it.
		RDE_ASSERT(count == value->child_count);
		*size = total + nnint_size(count);
		return 0;
	}
	case RDE_BEJ_DATA_TYPE_NULL:
		*size = 0;
		return 0;
	case RDE_BEJ_DATA_TYPE_INTEGER:
		*size = integer_size(value->payload.integer.value, value->negative);
		return 0;
	case RDE_BEJ_DATA_TYPE_ENUM:
		*size = nnint_size(value->payload.enum_option);
		return 0;
	case RDE_BEJ_DATA_TYPE_STRING:
		*size = string_size(value);
		return 0;
	case RDE_BEJ_DATA_TYPE_REAL:
		*size = real_size(real_of(value));
		return 0;
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		*size = 1;
		return 0;
	case RDE_BEJ_DATA_TYPE_BYTESTRING:
		*size = bytestring_of(value).length;
		return 0;
	case RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION: {
		// Only a value with an annotated property is written this way;
		// its inner type must be an ordinary one.
		if (!value->annotated_property ||
		    value->type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION)
			return unsupported(type);
		uint64_t inner = 0;
		int status = bej_value_size(value, value->type, &inner);
		if (status)
			return status;
		*size = inner + tuple_header_size(value->property, inner);
		return 0;
	}
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		*size = nnint_size(value->payload.resource_link);
		return 0;
	default:
		return unsupported(type);
	}
}

// parent_annotation: as encode_format takes it.
int encode_bej_tuple(rde_bej_value *value, bool parent_annotation, cursor &c);
int encode_value(rde_bej_value *value, unsigned type, uint64_t size, bool parent_annotation,
		 cursor &c);

int encode_property_annotation(rde_bej_value *value, bool parent_annotation, cursor &c)
{
	uint64_t value_size = 0;
	if (bej_value_size(value, value->type, &value_size) != 0)
		RDE_ASSERT(0 && "Should never happen");
	RDE_ASSERT(value->value_size > value_size);
	encode_format(value->property, parent_annotation, value->type, value_size,
		      value->deferred_binding, c);
	int status = encode_value(value, value->type, value_size, parent_annotation, c);
	if (status)
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to encode property annotation '%s@%s'",
			    shown_name(value->property->name),
			    shown_name(value->annotated_property->name));
	return status;
}

// size: the value's own size, from the size pass.
int encode_value(rde_bej_value *value, unsigned type, uint64_t size, bool parent_annotation,
		 cursor &c)
{
	switch (type) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY:
		encode_nnint(value->child_count, c);
		for (rde_bej_value *child = value->children_first; child; child = child->next) {
			int status = encode_bej_tuple(child, value->property->annotation, c);
			if (status) {
				rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to encode %s",
					    shown_name(child->property->name));
				return status;
			}
		}
		return 0;
	case RDE_BEJ_DATA_TYPE_NULL:
		return 0;
	case RDE_BEJ_DATA_TYPE_INTEGER:
		encode_integer(value->payload.integer.value, value->negative, c);
		return 0;
	case RDE_BEJ_DATA_TYPE_ENUM:
		encode_nnint(value->payload.enum_option, c);
		return 0;
	case RDE_BEJ_DATA_TYPE_STRING:
		encode_string(value, size, c);
		return 0;
	case RDE_BEJ_DATA_TYPE_REAL:
		encode_real(value, c);
		return 0;
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		encode_bool(value, c);
		return 0;
	case RDE_BEJ_DATA_TYPE_BYTESTRING:
		encode_bytestring(value, c);
		return 0;
	case RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION:
		if (!value->annotated_property ||
		    value->type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION)
			return unsupported(value->type);
		return encode_property_annotation(value, parent_annotation, c);
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		encode_nnint(value->payload.resource_link, c);
		return 0;
	default:
		return unsupported(value->type);
	}
}

int encode_bej_tuple(rde_bej_value *value, bool parent_annotation, cursor &c)
{
	outer_tuple outer = outer_of(value);
	if (tracing())
		trace_bej_value(value, outer.type, false);
	encode_format(outer.property, parent_annotation, outer.type, value->value_size,
		      outer.deferred_binding, c);
	return encode_value(value, outer.type, value->value_size, parent_annotation, c);
}

}  // namespace

extern "C" int rde_bej_encode(rde_bej_builder *builder, uint8_t **bytes, size_t *length)
{
	if (!builder || !bytes || !length)
		return -EINVAL;
	if (builder->status)
		return builder->status;

	uint64_t total = 0;
	int status = bej_tuple_size(builder->root, &total);
	if (status) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Failed to calculate the size of the encoding buffer");
		return status;
	}
	// Not cleared: the header and the write pass fill every byte, as the
	// checks at the end confirm.
	uint8_t *header = nullptr;
	if (total <= SIZE_MAX - ENCODING_HEADER_SIZE)
		header = static_cast<uint8_t *>(std::malloc(total + ENCODING_HEADER_SIZE));
	if (!header) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate encoding buffer (size %zu)",
			    static_cast<size_t>(total));
		return -ENOMEM;
	}
	size_t encoding_size = static_cast<size_t>(total) + ENCODING_HEADER_SIZE;

	cursor c{header, encoding_size};
	for (unsigned i = 0; i < 4; i++)
		c.write_u8(static_cast<uint8_t>(ENCODING_VERSION_1_0 >> (8 * i)));
	c.write_u8(0);
	c.write_u8(0);
	c.write_u8(static_cast<uint8_t>(builder->root->property->dictionary->schema_type));

	status = encode_bej_tuple(builder->root, false, c);
	if (status) {
		std::free(header);
		return status;
	}
	uint8_t *buffer = c.position;
	size_t buffer_size = c.buffer_length;
	RDE_ASSERT((uintptr_t)buffer == (uintptr_t)header + encoding_size);
	RDE_ASSERT(buffer_size == 0);

	*bytes = header;
	*length = encoding_size;
	return 0;
}
