// Expansion of the URL macros.  The rules read the text left to right; at
// each position the first that applies wins:
//  - "%L" followed by at least one more character: the longest run of
//    decimal digits after it is the id (an empty run is 0), and the whole
//    macro becomes that entry's URL (id 0: nothing).  An id above 255 names
//    no entry: "%L" is kept as text and the digits follow as text.
//  - "%C" becomes the chassis URL (also as the last two characters).
//  - "%I1" becomes the instance text.
//  - "W\/" becomes "W/": the printer writes every '/' of a string with a
//    backslash before it, and after a W the backslash is dropped.
//  - anything else is copied.
// A macro that the end of the text cuts short ("%L" or "%I" as the last two
// characters, a lone '%' or W) stays as it is.  Since the text arrives in
// pieces, whatever at the end of a piece may still begin a macro waits as
// the pending state until the next character decides it.
#include "expansion.h"

#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void url_expander::put(const char *text, size_t length)
{
	size_t i = 0;
	while (i < length && !full()) {
		if (pending_ == pending::none)
			i += copy_run(text + i, length - i);
		else if (resume(text[i]))
			i++;
	}
}

size_t url_expander::finish()
{
	switch (pending_) {
	case pending::none:
		break;
	case pending::percent:
		copy("%", 1);
		break;
	case pending::percent_i:
		copy("%I", 2);
		break;
	case pending::percent_l:
		copy("%L", 2);
		break;
	case pending::digits:
		end_digits();
		break;
	case pending::w:
		copy("W", 1);
		break;
	case pending::w_backslash:
		copy("W\\", 2);
		break;
	}
	pending_ = pending::none;
	buffer_[out_] = '\0';
	return out_;
}

// Copies text up to the first '%' or W, which then becomes the pending
// state; returns how much of the text it used.
size_t url_expander::copy_run(const char *text, size_t length)
{
	size_t n = 0;
	while (n < length && text[n] != '%' && text[n] != 'W')
		n++;
	copy(text, n);
	if (n == length)
		return n;
	pending_ = text[n] == '%' ? pending::percent : pending::w;
	return n + 1;
}

// Decides the pending state with the next character c.  Returns whether c
// was used; if not, the state is none and c is read again as plain text.
bool url_expander::resume(char c)
{
	pending state = pending_;
	pending_ = pending::none;
	switch (state) {
	case pending::percent:
		if (c == 'L' || c == 'I') {
			pending_ = c == 'L' ? pending::percent_l : pending::percent_i;
			return true;
		}
		if (c == 'C') {
			write(CHASSIS_URL, CHASSIS_URL_LENGTH);
			return true;
		}
		copy("%", 1);
		return false;
	case pending::percent_i:
		if (c == '1') {
			write(INSTANCE_TEXT, INSTANCE_TEXT_LENGTH);
			return true;
		}
		copy("%I", 2);
		return false;
	case pending::percent_l:
		// A character follows "%L", so the macro stands: its digits, if any.
		id_ = 0;
		zeros_ = 0;
		digit_count_ = 0;
		pending_ = pending::digits;
		return resume(c);
	case pending::digits:
		if (!is_digit(c)) {
			end_digits();
			return false;
		}
		pending_ = pending::digits;
		digit(c);
		return pending_ == pending::digits;
	case pending::w:
		if (c == '\\') {
			pending_ = pending::w_backslash;
			return true;
		}
		copy("W", 1);
		return false;
	case pending::w_backslash:
		if (c == '/') {
			write("W/", 2);
			return true;
		}
		copy("W\\", 2);
		return false;
	case pending::none:
		break;
	}
	return false;
}

// One more digit of the id.  At 256 or more the macro names no entry: "%L"
// and the digits so far are given up as text, and this digit and the rest
// of the run follow as plain text.
void url_expander::digit(char c)
{
	unsigned id = id_ * 10 + unsigned(c - '0');
	if (id < URL_TABLE_SIZE) {
		if (id == 0)
			zeros_++;
		else
			digits_[digit_count_++] = c;
		id_ = id;
		return;
	}
	write("%L", 2);
	for (size_t k = 0; k < zeros_ && !full(); k++)
		copy("0", 1);
	copy(digits_, digit_count_);
	pending_ = pending::none;
}

void url_expander::end_digits()
{
	const pdr_url_entry &entry = table_.entries[id_];
	write(entry.url, entry.url_length);
}

// Plain text: written byte by byte up to the limit.
void url_expander::copy(const char *text, size_t length)
{
	if (full())
		return;
	if (length > EXPANSION_LIMIT - out_)
		length = EXPANSION_LIMIT - out_;
	memcpy(buffer_ + out_, text, length);
	out_ += length;
}

// One expansion: written whole when it begins below the limit.
void url_expander::write(const char *text, size_t length)
{
	if (full())
		return;
	memcpy(buffer_ + out_, text, length);
	out_ += length;
}

size_t expand_url_macros(const url_table &table, const char *text, size_t length, char *buffer)
{
	url_expander out(table, buffer);
	out.put(text, length);
	return out.finish();
}
