// Loads the input as a PDR-to-URL map, with its first line as the prefix
// URL, then abbreviates the input's text with the table and expands the
// result: nothing may reach outside a line, the table or a buffer, and
// decode shows the text as it was.
#include "url_round_trip.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static url_table table;
	static abbreviation_index index;
	static abbreviation_buffer buffer;
	static int fd = memfd_create("map", 0);  // the map file, in memory
	static std::string map = "/proc/self/fd/" + std::to_string(fd);
	static FILE *quiet = fopen("/dev/null", "w");
	std::string text(reinterpret_cast<const char *>(data), size);
	if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
		abort();
	// The warnings about malformed lines go nowhere; the sanitizers and the
	// fuzzer keep writing to the descriptor itself.
	FILE *saved = stderr;
	stderr = quiet;
	int status = load_pdr_url_map(table, map.c_str(), text.substr(0, text.find('\n')).c_str(),
				      nullptr);
	stderr = saved;
	if (status == 0) {
		build_abbreviation_index(index, table);
		if (url_round_trip(table, index, text, buffer) == false)
			abort();
	}
	return 0;
}
