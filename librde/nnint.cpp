// DSP0218 non-negative integers, and the bejInteger and bejReal readers, on
// the bounded cursor.
#include "cursor.h"

#include <cerrno>

int decode_nnint(const_cursor &c, uint64_t *value)
{
	if (c.remaining() == 0)
		return -EINVAL;
	size_t length = c.peek_at(0);
	if (length == 0 || length > 8 || length > c.remaining() - 1)
		return -EINVAL;
	uint64_t x = 0;
	for (size_t i = 0; i < length; i++)
		x |= static_cast<uint64_t>(c.peek_at(1 + i)) << (8 * i);
	c.advance(length + 1);
	*value = x;
	return 0;
}

integer_problem read_bej_integer(const_cursor &c, size_t count, int64_t *value, bool *negative)
{
	RDE_ASSERT(count <= c.remaining());
	if (count == 0)
		return integer_problem::empty;
	*negative = (c.peek_at(count - 1) & 0x80) != 0;
	if (count > 9 || (count == 9 && c.peek_at(8) != 0))
		return integer_problem::too_long;
	uint64_t bits = *negative ? ~uint64_t{0} : 0;
	size_t copied = count < 8 ? count : 8;
	for (size_t i = 0; i < copied; i++) {
		bits &= ~(uint64_t{0xFF} << (8 * i));
		bits |= static_cast<uint64_t>(c.peek_at(i)) << (8 * i);
	}
	c.advance(count);
	*value = static_cast<int64_t>(bits);
	return integer_problem::none;
}

namespace {

// The three ways a length-prefixed integer inside a real can fail.
struct sized_integer_problems {
	real_problem length, past_value, integer;
};

// A length nnint, then a bejInteger of that many bytes; a length of 0 is
// the number 0 when empty_is_zero, else an empty integer.
real_problem read_sized_integer(const_cursor &c, int64_t *value, integer_problem *integer,
				const sized_integer_problems &problems, bool empty_is_zero)
{
	uint64_t length;
	if (decode_nnint(c, &length) != 0)
		return problems.length;
	*value = 0;
	if (length == 0 && empty_is_zero)
		return real_problem::none;
	if (length > c.remaining())
		return problems.past_value;
	bool negative;
	*integer = read_bej_integer(c, static_cast<size_t>(length), value, &negative);
	return *integer == integer_problem::none ? real_problem::none : problems.integer;
}

}  // namespace

real_problem read_bej_real(const_cursor &c, rde_bej_real *real, integer_problem *integer)
{
	*integer = integer_problem::none;
	real_problem problem = read_sized_integer(
		c, &real->whole, integer,
		{real_problem::whole_length, real_problem::whole_past_value, real_problem::whole},
		false);
	if (problem != real_problem::none)
		return problem;
	if (decode_nnint(c, &real->leading_zero_count) != 0)
		return real_problem::leading_zero_count;
	if (decode_nnint(c, &real->fraction) != 0)
		return real_problem::fraction;
	return read_sized_integer(c, &real->exponent, integer,
				  {real_problem::exponent_length, real_problem::exponent_past_value,
				   real_problem::exponent},
				  true);
}

head_problem read_tuple_head(const_cursor &c, bool inner, tuple_head *head)
{
	if (decode_nnint(c, &head->sequence_field) != 0)
		return head_problem::sequence;
	if (c.remaining() == 0)
		return head_problem::format;
	head->format_at = c;
	head->format = c.read_u8();
	if (decode_nnint(c, &head->length) != 0)
		return head_problem::length;
	if (inner && (head->sequence_field & 1) == 0)
		return head_problem::inner_selector;
	if (inner && head->length != c.remaining())
		return head_problem::inner_length;
	return head_problem::none;
}

bool read_encoding_header(const_cursor &c, rde_bej_encoding_header *header)
{
	uint8_t b[ENCODING_HEADER_SIZE];
	c.read(b, sizeof b);
	header->version = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
			  static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
	header->flags = static_cast<uint16_t>(b[4] | b[5] << 8);
	header->schema_class = b[6];
	return header->version == ENCODING_VERSION_1_0 || header->version == ENCODING_VERSION_1_1;
}
