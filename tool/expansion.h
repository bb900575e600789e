// Expansion of the macros in the decoded JSON text.
#ifndef BEJCONV_EXPANSION_H
#define BEJCONV_EXPANSION_H

#include "files.h"
#include "url_table.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Expansion stops producing once this many bytes are written: the decoded
// text is cut at the size of the input buffer.
inline constexpr size_t EXPANSION_LIMIT = INPUT_BUFFER_SIZE;
// Size of the buffer handed to expand_url_macros: the limit, the longest
// single expansion that may start just below it, and the closing NUL.
inline constexpr size_t EXPANSION_BUFFER_SIZE = EXPANSION_LIMIT + MAX_URL_LENGTH + 1;

// Expands the macros of one JSON text that arrives in pieces of any size,
// as if the whole text were expanded at once: "%L" and a decimal id becomes
// that entry's URL (id 0: nothing), "%C" the chassis URL, "%I1" the instance
// text, and "W\/" becomes "W/".  The result goes into a buffer of
// EXPANSION_BUFFER_SIZE bytes; once EXPANSION_LIMIT bytes are written the
// rest of the text is dropped (a macro begun below the limit is written
// whole).  Only the bytes written are touched.
class url_expander {
public:
	url_expander(const url_table &table, char *buffer) : table_(table), buffer_(buffer) {}

	// The next piece of the text.
	void put(const char *text, size_t length);

	// The next piece of the text, known to hold neither '%' nor W: nothing
	// in it begins a macro, so it is copied without a look at its bytes.
	void put_plain(const char *text, size_t length)
	{
		if (pending_ == pending::none && out_ < EXPANSION_LIMIT &&
		    length <= EXPANSION_LIMIT - out_) {
			memcpy(buffer_ + out_, text, length);
			out_ += length;
			return;
		}
		put(text, length);
	}
	void put_plain(std::string_view text) { put_plain(text.data(), text.size()); }

	// Whether the limit is reached: nothing more will be written.
	bool full() const { return out_ >= EXPANSION_LIMIT; }

	// Ends the text (a macro cut short by its end is kept as text), writes
	// the NUL after the last byte and returns the expanded length.
	size_t finish();

private:
	// What the text ended with so far that may still begin a macro.
	enum class pending : uint8_t {
		none,
		percent,
		percent_i,
		percent_l,
		digits,
		w,
		w_backslash
	};

	size_t copy_run(const char *text, size_t length);
	bool resume(char c);
	void digit(char c);
	void end_digits();
	void copy(const char *text, size_t length);
	void write(const char *text, size_t length);

	const url_table &table_;
	char *buffer_;
	size_t out_ = 0;
	pending pending_ = pending::none;
	// A run of digits after "%L": its value so far (256 or more is never
	// reached: such a run is given up as text at once), its leading zeros
	// and its other digits.
	unsigned id_ = 0;
	size_t zeros_ = 0;
	char digits_[3] = {};
	uint8_t digit_count_ = 0;
};

// Expands a whole text of length bytes into buffer (EXPANSION_BUFFER_SIZE
// bytes); returns the expanded length.  The byte after the last one written
// is NUL.
size_t expand_url_macros(const url_table &table, const char *text, size_t length, char *buffer);

#endif
