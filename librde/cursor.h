// The bounded cursor through which every BEJ byte is read or written, and
// the non-negative integers (nnint) that most BEJ numbers are.
#ifndef LIBRDE_CURSOR_H
#define LIBRDE_CURSOR_H

#include "bej_internal.h"

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

	void write(const void *in, size_t n)
		requires(!std::is_const_v<Byte>)
	{
		RDE_ASSERT(n <= buffer_length);
		if (n)
			std::memcpy(position, in, n);
		advance(n);
	}
	void write_u8(uint8_t b)
		requires(!std::is_const_v<Byte>)
	{
		write(&b, 1);
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
void encode_nnint(uint64_t x, cursor &c);

// Reads an nnint.  Returns 0, or -EINVAL without moving the cursor when the
// cursor is empty, the length byte is 0 or above 8, or too few bytes follow.
int decode_nnint(const_cursor &c, uint64_t *value);

#endif  // LIBRDE_CURSOR_H
