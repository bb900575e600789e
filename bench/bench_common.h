// Shared set-up of the encode and decode benchmarks: the inputs, their
// dictionaries and URL map, timing and peak memory.
#ifndef BEJCONV_BENCH_COMMON_H
#define BEJCONV_BENCH_COMMON_H

#include "url_table.h"

#include <librde/rde_bej.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One benchmark input: a JSON document, the dictionaries it is encoded
// against and the map whose URLs its strings hold.
struct bench_input {
	std::string label;             // "typical", "1M", "8M"
	std::string json;              // the document text
	std::vector<uint8_t> schema;   // schema dictionary bytes
	std::vector<uint8_t> annotation;
	std::string map_path;          // PDR-to-URL map file
};

// Builds the input named by size ("typical", "1M" or "8M"), without the
// generated document when with_document is false.  Returns false with a
// message when it cannot (the typical resource needs examples/).
bool make_input(const std::string &size, bench_input *input, std::string *error,
		bool with_document = true);

// A context with both dictionaries registered, the resource name, and the
// URL table loaded from the input's map.
struct bench_context {
	rde_bej_context *context = nullptr;
	std::string name;
	const url_table *urls = nullptr;
	~bench_context();
};
bool open_context(const bench_input &input, bench_context *ctx, std::string *error);

// The options both programs take.
struct bench_options {
	std::string only;                  // "" = the full comparison
	std::vector<std::string> sizes = {"typical", "1M", "8M"};
};
bool parse_options(int argc, char **argv, const char *paths, bench_options *options);

// Best processor time in seconds of repeated runs of fn (at least min_runs,
// and repeated until about min_seconds have been spent).  fn returns false on
// failure.
bool best_time(const std::function<bool()> &fn, int min_runs, double min_seconds, double *best);

// Peak resident set size of this process so far, in KiB.
long peak_rss_kib();

double mib(size_t bytes);

#endif
