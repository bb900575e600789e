// The bounded cursor through which every BEJ byte is read or written, and
// the non-negative integers (nnint) that most BEJ numbers are.
#ifndef LIBRDE_CURSOR_H
#define LIBRDE_CURSOR_H

#include "bej_internal.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// A position and the count of bytes still available from there, moved
// together.  Byte is uint8_t for writers and const uint8_t for readers.
template <typename Byte>
struct basic_cursor {
	Byte *position;
	size_t buffer_length;

	size_t remaining() const { return buffer_length; }
	// Distance from start, a position of the same buffer at or before this.
	size_t offset_from(const Byte *start) const
	{
		return static_cast<size_t>(position - start);
	}

	// Copies n bytes out and advances; the caller has checked the count.
	void read(void *out, size_t n)
	{
		RDE_ASSERT(n <= buffer_length);
		if (n)
			std::memcpy(out, position, n);
		advance(n);
	}
	uint8_t read_u8()
	{
		uint8_t b;
		read(&b, 1);
		return b;
	}
	uint8_t peek_at(size_t i) const
	{
		RDE_ASSERT(i < buffer_length);
		return position[i];
	}

	void write(const void *in, size_t n) requires(!std::is_const_v<Byte>)
	{
		RDE_ASSERT(n <= buffer_length);
		if (n)
			std::memcpy(position, in, n);
		advance(n);
	}
	void write_u8(uint8_t b) requires(!std::is_const_v<Byte>)
	{
		RDE_ASSERT(buffer_length >= 1);
		*position = b;
		advance(1);
	}
	// Writes the n (at most 8) low-order bytes of x, least significant
	// first, as BEJ numbers are laid out.
	void write_le(uint64_t x, size_t n) requires(!std::is_const_v<Byte>)
	{
		RDE_ASSERT(n <= 8 && n <= buffer_length);
		if (std::endian::native == std::endian::little && buffer_length >= 8) {
			// All eight bytes where the buffer has them: a writer fills
			// its buffer to the end, so what follows overwrites the rest.
			std::memcpy(position, &x, 8);
		} else {
			for (size_t i = 0; i < n; i++)
				position[i] = static_cast<uint8_t>(x >> (8 * i));
		}
		advance(n);
	}

	void advance(size_t num_bytes);
};

using cursor = basic_cursor<uint8_t>;
using const_cursor = basic_cursor<const uint8_t>;

// Moves the cursor forward by num_bytes; asserts there is room.
template <typename Byte>
inline void advance_cbuffer(Byte *&position, size_t *length, size_t num_bytes)
{
	RDE_ASSERT(*length >= num_bytes);
	position += num_bytes;
	*length -= num_bytes;
}

template <typename Byte>
inline void basic_cursor<Byte>::advance(size_t num_bytes)
{
	advance_cbuffer(position, &buffer_length, num_bytes);
}

// Number of value bytes of an nnint for x (1 to 8), from its bit count.
inline size_t nnint_value_bytes(uint64_t x)
{
	if (x == 0)
		return 1;
	unsigned bits = 64 - static_cast<unsigned>(__builtin_clzll(x));
	return (bits - 1 + 8) / 8;
}

// Encoded size of the nnint of x: its length byte plus its value bytes.
inline size_t nnint_size(uint64_t x) { return 1 + nnint_value_bytes(x); }

// Writes the nnint of x: length byte, then the low-order bytes, least
// significant first.
inline void encode_nnint(uint64_t x, cursor &c)
{
	size_t length = nnint_value_bytes(x);
	RDE_ASSERT(length + 1 <= c.buffer_length);
	c.write_u8(static_cast<uint8_t>(length));
	c.write_le(x, length);
}

// Writes a tuple's header: the nnint of the sequence field s, the format
// byte and the nnint of the value's length.
inline void encode_tuple_header(uint64_t s, uint8_t format, uint64_t length, cursor &c)
{
	cursor h = c;
	encode_nnint(s, h);
	h.write_u8(format);
	encode_nnint(length, h);
	c = h;
}

// Reads an nnint.  Returns 0, or -EINVAL without moving the cursor when the
// cursor is empty, the length byte is 0 or above 8, or too few bytes follow.
int decode_nnint(const_cursor &c, uint64_t *value);

// Why a bejInteger or a bejReal could not be read; the decoder logs each
// with its own message, the tuple reader names it as a reason.
enum class integer_problem { none, empty, too_long };
enum class real_problem {
	none,
	whole_length,      // its nnint is malformed
	whole_past_value,  // the length runs past the value
	whole,             // the integer itself (see integer_problem)
	leading_zero_count,
	fraction,
	exponent_length,
	exponent_past_value,
	exponent,
};

// Reads a bejInteger (two's complement, least significant byte first) of
// exactly count bytes, count <= c.remaining().  *negative is the sign bit;
// nine bytes carry an unsigned number whose top bit needs the extra zero.
integer_problem read_bej_integer(const_cursor &c, size_t count, int64_t *value, bool *negative);

// For each real_problem but none: the decoder's message and the tuple
// reader's reason.
inline const char *real_problem_message(real_problem problem)
{
	return nth_text("Failed to decode whole length\0"
			"Invalid length of whole\0"
			"Failed to decode whole\0"
			"Failed to decode leading zero count\0"
			"Failed to decode fraction\0"
			"Failed to decode length of exponent\0"
			"Invalid length of exponent\0"
			"Failed to decode exponent",
			static_cast<unsigned>(problem) - 1);
}
inline const char *real_problem_reason(real_problem problem)
{
	return nth_text("malformed length of the real's whole part\0"
			"real's whole part runs past the value\0"
			"malformed whole part of a real\0"
			"malformed leading zero count of a real\0"
			"malformed fraction of a real\0"
			"malformed length of the real's exponent\0"
			"real's exponent runs past the value\0"
			"malformed exponent of a real",
			static_cast<unsigned>(problem) - 1);
}

// Reads a bejReal from c: length of whole, whole, leading zero count,
// fraction, length of exponent, exponent (0 when that length is 0).  When
// the whole or the exponent fails, *integer says why.
real_problem read_bej_real(const_cursor &c, rde_bej_real *real, integer_problem *integer);

// A tuple's head: its sequence-number field, format byte and length.
struct tuple_head {
	uint64_t sequence_field;
	uint8_t format;
	uint64_t length;
	const_cursor format_at;  // from the format byte on
};

// Why a tuple's head could not be read.  The decoder logs each with its
// message for an outer tuple or for the inner tuple of a property
// annotation, the tuple reader names it as a reason.
enum class head_problem { none, sequence, format, length, inner_selector, inner_length };

// For each head_problem but none: the decoder's message for an outer tuple
// (none for the two inner checks), for the inner tuple, and the tuple
// reader's reason.
inline const char *head_problem_message(head_problem problem, bool inner)
{
	return nth_text(inner ? "Failed to decode inner sequence number of a property annotation\0"
				"Invalid size of the property annotation\0"
				"Failed to decode inner length of a property annotation\0"
				"Found property annotation not using the annotation dictionary\0"
				"Inner property's length doesn't match outer's length"
			      : "Failed to decode sequence number\0"
				"Invalid encoding length\0"
				"Failed to decode value's length",
			static_cast<unsigned>(problem) - 1);
}
inline const char *head_problem_reason(head_problem problem)
{
	return nth_text("malformed sequence number\0"
			"missing format byte\0"
			"malformed length\0"
			"annotation's inner tuple not in the annotation dictionary\0"
			"annotation's inner length differs from its outer length",
			static_cast<unsigned>(problem) - 1);
}

// Reads a tuple's head from c.  The inner tuple of a property annotation
// (inner) must select the annotation dictionary and its length must be all
// that c holds after it.  On a problem of a field c stays where the field
// begins; after the two inner checks it is past the head.
head_problem read_tuple_head(const_cursor &c, bool inner, tuple_head *head);

// Reads the seven-byte header of a BEJ encoding (c holds at least that).
// Returns false when the version is neither 1.0 nor 1.1.
bool read_encoding_header(const_cursor &c, rde_bej_encoding_header *header);

#endif  // LIBRDE_CURSOR_H
