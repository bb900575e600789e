// Reading dictionary bytes: the header, the entries and their names.  These
// readers serve registration and tools alike; they take untrusted bytes and
// bound every read by the size given.
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>

namespace {

uint16_t read_le16(const_cursor &c)
{
	uint8_t b[2];
	c.read(b, sizeof b);
	return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t read_le32(const_cursor &c)
{
	uint32_t low = read_le16(c);
	return low | static_cast<uint32_t>(read_le16(c)) << 16;
}

// The entry's name when it is valid: not empty, inside the data, and ending
// in NUL at its last byte.  nullptr otherwise.
const char *entry_name(const_cursor bytes, const rde_bej_dictionary_entry &entry)
{
	size_t end = size_t{entry.name_offset} + entry.name_length;
	if (entry.name_length == 0 || end > bytes.remaining())
		return nullptr;
	bytes.advance(entry.name_offset);
	if (bytes.peek_at(entry.name_length - 1u) != '\0')
		return nullptr;
	return reinterpret_cast<const char *>(bytes.position);
}

// The entry index of the first child when the whole child range lies on
// entries of the table, else -1.
int32_t first_child(const rde_bej_dictionary_entry &entry, uint16_t entry_count)
{
	int32_t first = entry.child_count ? entry_at_offset(entry.child_pointer_offset, entry_count)
					  : -1;
	return first < 0 || first + entry.child_count > entry_count ? -1 : first;
}

}  // namespace

int32_t entry_at_offset(uint16_t offset, uint32_t count)
{
	static_assert(DICTIONARY_ENTRY_SIZE == 10);
	if (offset < DICTIONARY_HEADER_SIZE)
		return -1;
	uint32_t past_header = offset - DICTIONARY_HEADER_SIZE;
	uint32_t index = past_header * 52429u >> 19;  // past_header / 10 below 2^16
	if (index * DICTIONARY_ENTRY_SIZE != past_header || index >= count)
		return -1;
	return static_cast<int32_t>(index);
}

int read_failure(rde_bej_read_error *error, size_t offset, const char *reason)
{
	if (error)
		*error = {offset, reason};
	return -EINVAL;
}

extern "C" int rde_bej_read_dictionary_header(const void *data, size_t size,
					      rde_bej_dictionary_header *header,
					      rde_bej_read_error *error)
{
	if (!data || size < DICTIONARY_HEADER_SIZE)
		return read_failure(error, size, "dictionary shorter than its 12-byte header");
	const_cursor c{static_cast<const uint8_t *>(data), size};
	rde_bej_dictionary_header h;
	h.version_tag = c.read_u8();
	h.dictionary_flags = c.read_u8();
	h.entry_count = read_le16(c);
	h.schema_version = read_le32(c);
	h.dictionary_size = read_le32(c);
	if (header)
		*header = h;
	return 0;
}

extern "C" int rde_bej_read_dictionary_entry(const void *data, size_t size, unsigned index,
					     rde_bej_dictionary_entry *entry,
					     rde_bej_read_error *error)
{
	rde_bej_dictionary_header header;
	int status = rde_bej_read_dictionary_header(data, size, &header, error);
	if (status)
		return status;
	size_t offset = DICTIONARY_HEADER_SIZE + DICTIONARY_ENTRY_SIZE * size_t{index};
	if (index >= header.entry_count)
		return read_failure(error, offset, "entry index beyond the entry count");
	if (size - DICTIONARY_ENTRY_SIZE < offset)
		return read_failure(error, offset, "entry runs past the end of the dictionary");

	const_cursor bytes{static_cast<const uint8_t *>(data), size};
	const_cursor c = bytes;
	c.advance(offset);
	rde_bej_dictionary_entry e;
	e.index = static_cast<uint16_t>(index);
	e.format = c.read_u8();
	e.sequence_number = read_le16(c);
	e.child_pointer_offset = read_le16(c);
	e.child_count = read_le16(c);
	e.name_length = c.read_u8();
	e.name_offset = read_le16(c);
	e.name = entry_name(bytes, e);
	e.first_child = first_child(e, header.entry_count);
	if (entry)
		*entry = e;
	return 0;
}

extern "C" const uint8_t *rde_bej_dictionary_get_data(const rde_bej_dictionary *dictionary,
						      size_t *size)
{
	if (!dictionary)
		return nullptr;
	if (size)
		*size = dictionary->size;
	return dictionary->data;
}
