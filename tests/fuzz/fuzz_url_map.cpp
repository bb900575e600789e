// Loads the input as a PDR-to-URL map, with its first line as the prefix
// URL, then abbreviates the input's text with the table and expands the
// result: nothing may reach outside a line, the table or a buffer.
#include "abbreviation.h"
#include "expansion.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static url_table table;
	static abbreviation_buffer buffer;
	static std::string expanded(EXPANSION_BUFFER_SIZE, '\0');
	static std::string map = "/tmp/fuzz_url_map." + std::to_string(getpid());
	static FILE *quiet = freopen("/dev/null", "w", stderr);  // malformed line warnings
	std::string text(reinterpret_cast<const char *>(data), size);
	FILE *file = fopen(map.c_str(), "wb");
	fwrite(data, 1, size, file);
	fclose(file);
	if (quiet && load_pdr_url_map(table, map.c_str(), text.substr(0, text.find('\n')).c_str(),
				      nullptr) == 0) {
		if (const char *abbreviated = abbreviate_urls(table, text.c_str(), buffer))
			expand_url_macros(table, abbreviated, strlen(abbreviated), expanded.data());
	}
	return 0;
}
