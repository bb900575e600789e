// DSP0218 non-negative integers on the bounded cursor.
#include "cursor.h"

#include <cerrno>

void encode_nnint(uint64_t x, cursor &c)
{
	size_t length = nnint_value_bytes(x);
	size_t *buffer_length = &c.buffer_length;
	RDE_ASSERT(length + 1 <= *buffer_length);
	c.write_u8(static_cast<uint8_t>(length));
	for (size_t i = 0; i < length; i++)
		c.write_u8(static_cast<uint8_t>(x >> (8 * i)));
}

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
