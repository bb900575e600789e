// The tuple reader: walks BEJ bytes without any dictionary and hands out
// each tuple with where it lies and what its value holds, stopping at the
// first malformed byte with its offset and the reason.
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>

namespace {

static_assert(MAX_NESTING_DEPTH == 131, "the nesting reason names the limit");

struct walk {
	const uint8_t *start;  // offsets count from here
	rde_bej_tuple_handler handler;
	void *user_data;
	rde_bej_read_error *error;
};

int read_failure(const walk &w, const const_cursor &at, const char *reason)
{
	return read_failure(w.error, at.offset_from(w.start), reason);
}

const char *integer_reason(integer_problem problem)
{
	return problem == integer_problem::empty ? "empty integer" : "integer longer than 8 bytes";
}

// Reads the nnint a value holds; the caller checks that nothing follows.
int read_value_nnint(const walk &w, const_cursor &value, uint64_t *x, const char *reason)
{
	if (decode_nnint(value, x) != 0)
		return read_failure(w, value, reason);
	return 0;
}

int read_string(const walk &w, const_cursor &value, bool bytestring)
{
	size_t length = value.remaining();
	if (length == 0)
		return read_failure(w, value, bytestring ? "empty bytestring" : "empty string");
	if (!bytestring && value.peek_at(length - 1) != 0) {
		value.advance(length - 1);
		return read_failure(w, value, "string without its terminating NUL");
	}
	value.advance(length);
	return 0;
}

// Reads the value bytes of the scalar types and the member count of sets
// and arrays into t->data.  format_at is the tuple's format byte.
int read_value(const walk &w, const_cursor &value, const const_cursor &format_at, rde_bej_tuple *t)
{
	auto &data = t->data;
	switch (t->format >> 4) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY:
		return read_value_nnint(w, value, &data.child_count, "malformed member count");
	case RDE_BEJ_DATA_TYPE_NULL:
	case RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION:
		return 0;
	case RDE_BEJ_DATA_TYPE_INTEGER: {
		integer_problem problem = read_bej_integer(
			value, value.remaining(), &data.integer.value, &data.integer.negative);
		return problem == integer_problem::none
			       ? 0
			       : read_failure(w, value, integer_reason(problem));
	}
	case RDE_BEJ_DATA_TYPE_ENUM:
		return read_value_nnint(w, value, &data.enum_option,
					"malformed enumeration option");
	case RDE_BEJ_DATA_TYPE_STRING:
	case RDE_BEJ_DATA_TYPE_BYTESTRING:
		return read_string(w, value, (t->format >> 4) == RDE_BEJ_DATA_TYPE_BYTESTRING);
	case RDE_BEJ_DATA_TYPE_REAL: {
		integer_problem integer;
		real_problem problem = read_bej_real(value, &data.real, &integer);
		return problem == real_problem::none
			       ? 0
			       : read_failure(w, value, real_problem_reason(problem));
	}
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		if (value.remaining() != 1)
			return read_failure(w, value, "boolean not one byte long");
		data.boolean = value.read_u8() != 0;
		return 0;
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK: {
		uint64_t link;
		const_cursor at = value;
		if (read_value_nnint(w, value, &link, "malformed resource link"))
			return -EINVAL;
		if (link > UINT32_MAX)
			return read_failure(w, at, "resource link beyond 32 bits");
		data.resource_link = static_cast<uint32_t>(link);
		return 0;
	}
	case RDE_BEJ_DATA_TYPE_CHOICE:
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK_EXPANSION:
		return read_failure(w, format_at, "data type the library does not read");
	default:
		return read_failure(w, format_at, "reserved data type");
	}
}

// Reads a tuple's head into t; the value then covers the value bytes and c
// is past them.
int read_head(const walk &w, const_cursor &c, bool inner, rde_bej_tuple *t, const_cursor *format_at,
	      const_cursor *value)
{
	tuple_head head;
	head_problem problem = read_tuple_head(c, inner, &head);
	if (problem == head_problem::sequence && c.remaining() == 0)
		return read_failure(w, c, "missing tuple");
	if (problem == head_problem::inner_selector)
		return read_failure(w, head.format_at, head_problem_reason(problem));
	if (problem != head_problem::none && problem != head_problem::inner_length)
		return read_failure(w, c, head_problem_reason(problem));
	const_cursor length_at = head.format_at;
	length_at.advance(1);
	if (problem == head_problem::inner_length)
		return read_failure(w, length_at, head_problem_reason(problem));
	if (head.length > c.remaining())
		return read_failure(w, length_at,
				    "length runs past the end of the enclosing value");
	t->sequence_number = head.sequence_field >> 1;
	t->selector = static_cast<unsigned>(head.sequence_field & 1);
	t->format = head.format;
	t->length = head.length;
	*format_at = head.format_at;
	t->value_offset = c.offset_from(w.start);
	t->value = c.position;
	*value = const_cursor{c.position, static_cast<size_t>(t->length)};
	c.advance(static_cast<size_t>(t->length));
	return 0;
}

int read_tuple(const walk &w, const_cursor &c, unsigned depth, uint64_t index, bool inner);

// The tuples inside a value: a set's or array's members, or the inner tuple
// of a property annotation.
int read_nested(const walk &w, const_cursor &value, const rde_bej_tuple &t)
{
	unsigned type = t.format >> 4;
	if (type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION)
		return read_tuple(w, value, t.depth + 1, 0, true);
	if (type != RDE_BEJ_DATA_TYPE_SET && type != RDE_BEJ_DATA_TYPE_ARRAY)
		return 0;
	for (uint64_t i = 0; i < t.data.child_count; i++) {
		if (value.remaining() == 0)
			return read_failure(w, value, "value ends before its last member");
		int status = read_tuple(w, value, t.depth + 1, i, false);
		if (status)
			return status;
	}
	return 0;
}

int read_tuple(const walk &w, const_cursor &c, unsigned depth, uint64_t index, bool inner)
{
	if (depth >= MAX_NESTING_DEPTH)
		return read_failure(w, c, "nesting deeper than 131 levels");
	rde_bej_tuple t{};
	t.offset = c.offset_from(w.start);
	t.depth = depth;
	t.index = index;
	const_cursor format_at = c;
	const_cursor value = c;
	int status = read_head(w, c, inner, &t, &format_at, &value);
	if (status == 0)
		status = read_value(w, value, format_at, &t);
	if (status == 0 && w.handler)
		status = w.handler(&t, w.user_data);
	if (status == 0)
		status = read_nested(w, value, t);
	if (status == 0 && value.remaining() != 0)
		return read_failure(w, value, "bytes left over at the end of the value");
	return status;
}

}  // namespace

extern "C" int rde_bej_read_tuples(const uint8_t *bytes, size_t length,
				   rde_bej_tuple_handler handler, void *user_data,
				   rde_bej_read_error *error)
{
	walk w{bytes, handler, user_data, error};
	const_cursor c{bytes, bytes ? length : 0};
	for (uint64_t index = 0; c.remaining() != 0; index++) {
		int status = read_tuple(w, c, 0, index, false);
		if (status)
			return status;
	}
	return 0;
}

extern "C" int rde_bej_read_encoding(const uint8_t *bytes, size_t length,
				     rde_bej_encoding_header *header, rde_bej_tuple_handler handler,
				     void *user_data, rde_bej_read_error *error)
{
	walk w{bytes, handler, user_data, error};
	const_cursor c{bytes, bytes ? length : 0};
	if (c.remaining() < ENCODING_HEADER_SIZE) {
		c.advance(c.remaining());
		return read_failure(w, c, "encoding shorter than its 7-byte header");
	}
	rde_bej_encoding_header h;
	if (!read_encoding_header(c, &h))
		return read_failure(w, const_cursor{bytes, length}, "unsupported encoding version");
	if (header)
		*header = h;
	int status = read_tuple(w, c, 0, 0, false);
	if (status)
		return status;
	if (c.remaining() != 0)
		return read_failure(w, c, "bytes after the root tuple");
	return 0;
}

extern "C" int rde_bej_read_nnint(const uint8_t *bytes, size_t length, uint64_t *value)
{
	const_cursor c{bytes, bytes ? length : 0};
	uint64_t x;
	if (decode_nnint(c, &x) != 0)
		return -EINVAL;
	if (value)
		*value = x;
	return static_cast<int>(c.offset_from(bytes));
}
