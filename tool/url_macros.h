// The URL macros: the record of one id of the URL table, the text of each
// id's "%L" macro and the two macros with fixed texts.
#ifndef BEJCONV_URL_MACROS_H
#define BEJCONV_URL_MACROS_H

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t URL_TABLE_SIZE = 256;
// Longest URL an entry (or the prefix) may have; also the longest text one
// macro expands to.
inline constexpr size_t MAX_URL_LENGTH = 101;

// The two macros with fixed texts, "%C" and "%I1".
inline constexpr char CHASSIS_URL[] = "/redfish/v1/Chassis/1";
inline constexpr size_t CHASSIS_URL_LENGTH = sizeof CHASSIS_URL - 1;
inline constexpr char INSTANCE_TEXT[] = "Tarnwhelk";
inline constexpr size_t INSTANCE_TEXT_LENGTH = sizeof INSTANCE_TEXT - 1;

// "%L" and the id in decimal, the macro of every id.
struct url_macro {
	char text[6];
	uint8_t length;
};

constexpr url_macro make_url_macro(unsigned id)
{
	url_macro macro{{'%', 'L'}, 2};
	char digits[3];
	unsigned count = 0;
	do {
		digits[count++] = static_cast<char>('0' + id % 10);
		id /= 10;
	} while (id != 0);
	while (count > 0)
		macro.text[macro.length++] = digits[--count];
	return macro;
}

inline constexpr auto URL_MACROS = [] {
	std::array<url_macro, URL_TABLE_SIZE> macros{};
	for (unsigned id = 0; id < URL_TABLE_SIZE; id++)
		macros[id] = make_url_macro(id);
	return macros;
}();

// One id of the URL table.
struct pdr_url_entry {
	uint8_t present;  // the map has a line for this id
	int32_t parent;
	char name[30];  // up to 29 characters; ids 2 to 255 only
	char url[MAX_URL_LENGTH + 1];
	uint32_t url_length;
};

#endif
