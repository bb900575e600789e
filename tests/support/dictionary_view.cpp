#include "dictionary_view.h"

namespace {

constexpr size_t HEADER = 12;
constexpr size_t ENTRY = 10;

}  // namespace

dictionary_view::dictionary_view(std::vector<uint8_t> bytes) : bytes_(std::move(bytes))
{
	if (bytes_.size() >= HEADER) {
		unsigned declared = bytes_[2] | bytes_[3] << 8;
		size_t fits = (bytes_.size() - HEADER) / ENTRY;
		count_ = declared < fits ? declared : static_cast<unsigned>(fits);
	}
}

std::optional<dictionary_view::entry> dictionary_view::read_entry(unsigned index) const
{
	if (index >= count_)
		return std::nullopt;
	const uint8_t *e = bytes_.data() + HEADER + ENTRY * index;
	entry out;
	out.index = index;
	out.type = e[0] >> 4;
	out.nullable = (e[0] & 0x04) != 0;
	out.child_offset = static_cast<uint16_t>(e[3] | e[4] << 8);
	out.child_count = static_cast<uint16_t>(e[5] | e[6] << 8);
	size_t name_length = e[7];
	size_t name_offset = e[8] | e[9] << 8;
	if (name_length != 0 && name_offset + name_length <= bytes_.size() &&
	    bytes_[name_offset + name_length - 1] == 0) {
		out.named = true;
		out.name.assign(reinterpret_cast<const char *>(bytes_.data()) + name_offset,
				name_length - 1);
	}
	return out;
}

std::optional<dictionary_view::entry> dictionary_view::root() const { return read_entry(0); }

std::vector<dictionary_view::entry> dictionary_view::children(const entry &parent) const
{
	std::vector<entry> out;
	for (size_t k = 0; k < parent.child_count; k++) {
		size_t offset = parent.child_offset + ENTRY * k;
		if (offset < HEADER || (offset - HEADER) % ENTRY != 0)
			break;
		auto child = read_entry(static_cast<unsigned>((offset - HEADER) / ENTRY));
		if (!child)
			break;
		out.push_back(*child);
	}
	return out;
}

std::optional<dictionary_view::entry> dictionary_view::child(const entry &parent,
							       std::string_view name) const
{
	for (const entry &c : children(parent))
		if (c.named && c.name == name)
			return c;
	return std::nullopt;
}

std::optional<dictionary_view::entry> dictionary_view::item(const entry &array) const
{
	for (const entry &c : children(array))
		if (!c.named)
			return c;
	return std::nullopt;
}
