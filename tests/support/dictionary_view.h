// A small read-only view of dictionary bytes for tests that must decide, on
// their own, what a dictionary accepts: names, data types, the nullable flag,
// children and enumeration options.  It reads the bytes directly and shares
// nothing with librde; out-of-range fields read as "no such thing".
#ifndef TESTS_SUPPORT_DICTIONARY_VIEW_H
#define TESTS_SUPPORT_DICTIONARY_VIEW_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class dictionary_view {
public:
	struct entry {
		unsigned index = 0;       // position in the entry table
		unsigned type = 0;        // data type code, the format's high nibble
		bool nullable = false;    // format bit 2
		bool named = false;
		std::string name;
		uint16_t child_offset = 0;
		uint16_t child_count = 0;
	};

	explicit dictionary_view(std::vector<uint8_t> bytes);

	// The root entry, or nothing when the header or root entry is cut off.
	std::optional<entry> root() const;
	// The entries of the child range that lie inside the table.
	std::vector<entry> children(const entry &parent) const;
	// The first child named exactly name.
	std::optional<entry> child(const entry &parent, std::string_view name) const;
	// The unnamed item property of an array.
	std::optional<entry> item(const entry &array) const;

private:
	std::optional<entry> read_entry(unsigned index) const;
	std::vector<uint8_t> bytes_;
	unsigned count_ = 0;
};

#endif
