// Expansion of the macros in the decoded JSON text: "%L" and a decimal id
// becomes the URL of that table entry, "%C" and "%I1" their fixed texts,
// and the backslash json-c writes before a '/' is dropped after a 'W'.
// On decode, "%L" with an id above 255 is copied unchanged: no entry can
// have produced it, so it is left as the text it is.

#include "expansion.h"

#include <algorithm>
#include <cstring>

size_t expand_url_macros(const url_table &table, const char *text, size_t length, char *buffer)
{
	size_t i = 0, o = 0;
	auto put = [&](const char *data, size_t count) {
		memcpy(buffer + o, data, count);
		o += count;
	};
	// Each step writes at most MAX_URL_LENGTH bytes and starts below the
	// limit, so the buffer of EXPANSION_BUFFER_SIZE bytes always suffices.
	while (o < EXPANSION_LIMIT && i < length) {
		char c = text[i];
		if (c != '%' && c != 'W') {
			// Only '%' and 'W' begin a rule: copy the run up to the next
			// one, one byte per step, as far as the limit allows.
			size_t end = i + std::min(length - i, EXPANSION_LIMIT - o);
			size_t j = i + 1;
			while (j < end && text[j] != '%' && text[j] != 'W')
				j++;
			put(text + i, j - i);
			i = j;
			continue;
		}
		if (i + 2 < length) {
			if (c == '%' && text[i + 1] == 'L') {
				size_t j = i + 2;
				unsigned id = 0;
				while (j < length && text[j] >= '0' && text[j] <= '9') {
					// Saturates: any id above 255 is just "too big".
					if (id < URL_TABLE_SIZE)
						id = id * 10 + unsigned(text[j] - '0');
					j++;
				}
				if (id >= URL_TABLE_SIZE) {
					// No entry has such an id: keep "%L", the
					// digits follow as text.
					put(text + i, 2);
					i += 2;
					continue;
				}
				if (id != 0)
					put(table.entries[id].url, table.entries[id].url_length);
				i = j;
				continue;
			}
			if (c == '%' && text[i + 1] == 'C') {
				put(CHASSIS_URL, CHASSIS_URL_LENGTH);
				i += 2;
				continue;
			}
			if (c == '%' && text[i + 1] == 'I' && text[i + 2] == '1') {
				put(INSTANCE_TEXT, INSTANCE_TEXT_LENGTH);
				i += 3;
				continue;
			}
			if (c == 'W' && text[i + 1] == '\\' && text[i + 2] == '/') {
				put("W/", 2);
				i += 3;
				continue;
			}
		} else if (i + 2 == length && c == '%' && text[i + 1] == 'C') {
			put(CHASSIS_URL, CHASSIS_URL_LENGTH);
			i += 2;
			continue;
		}
		buffer[o++] = c;
		i++;
	}
	buffer[o] = '\0';
	return o;
}
