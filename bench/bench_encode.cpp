// Encode throughput against json-c's own parse of the same text.
//
//   bench_encode                          every size, both paths, one table
//   bench_encode --only=floor --size=8M   one path once, with its peak RSS
//   bench_encode --only=encode --size=8M
//
// "floor" is json-c parsing the document and releasing it; "encode" is what
// one encode run of the converter does with it: parse, the builder walk with
// URL abbreviation, the two-pass encoding, release.  The URL map is loaded
// once beforehand.
#include "bench_common.h"
#include "json_to_bej.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>

namespace {

json_object *parse(const std::string &text)
{
	json_tokener *tok = json_tokener_new();
	if (!tok)
		return nullptr;
	json_object *root = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()));
	if (json_tokener_get_error(tok) != json_tokener_success) {
		fprintf(stderr, "bench_encode: %s\n", json_tokener_error_desc(json_tokener_get_error(tok)));
		json_object_put(root);
		root = nullptr;
	}
	json_tokener_free(tok);
	return root;
}

bool run_floor(const bench_input &input)
{
	json_object *root = parse(input.json);
	json_object_put(root);
	return root != nullptr;
}

bool run_encode(const bench_input &input, const bench_context &ctx, size_t *encoded)
{
	json_object *root = parse(input.json);
	if (!root)
		return false;
	rde_bej_builder *builder = rde_bej_builder_new(ctx.context, 0, ctx.name.c_str(), nullptr);
	uint8_t *bytes = nullptr;
	size_t length = 0;
	bool ok = builder && convert_json_document(builder, *ctx.urls, root) == 0 &&
		  rde_bej_encode(builder, &bytes, &length) == 0;
	if (!ok)
		fprintf(stderr, "bench_encode: encoding the %s input failed\n", input.label.c_str());
	rde_bej_builder_free(builder);
	json_object_put(root);
	free(bytes);
	*encoded = length;
	return ok;
}

}  // namespace

int main(int argc, char **argv)
{
	bench_options options;
	if (!parse_options(argc, argv, "floor|encode", &options))
		return 2;

	if (!options.only.empty()) {
		if (options.only != "floor" && options.only != "encode") {
			fprintf(stderr, "bench_encode: --only takes floor or encode\n");
			return 2;
		}
		bench_input input;
		bench_context ctx;
		std::string error;
		if (!make_input(options.sizes[0], &input, &error) || !open_context(input, &ctx, &error)) {
			fprintf(stderr, "bench_encode: %s\n", error.c_str());
			return 1;
		}
		long before = peak_rss_kib();
		size_t encoded = 0;
		double t;
		bool ok = best_time(
			[&] { return options.only == "floor" ? run_floor(input) : run_encode(input, ctx, &encoded); },
			1, 0.0, &t);
		if (!ok)
			return 1;
		printf("%s %s: %.2f MiB in %.3f s, %.1f MiB/s, peak RSS %ld KiB (%ld KiB before the run)\n",
		       options.only.c_str(), input.label.c_str(), mib(input.json.size()), t,
		       mib(input.json.size()) / t, peak_rss_kib(), before);
		return 0;
	}

	printf("%-8s %10s %14s %14s %8s %12s\n", "input", "MiB", "floor MiB/s", "encode MiB/s",
	       "ratio", "BEJ MiB");
	int status = 0;
	for (const std::string &size : options.sizes) {
		bench_input input;
		bench_context ctx;
		std::string error;
		if (!make_input(size, &input, &error) || !open_context(input, &ctx, &error)) {
			printf("%-8s skipped: %s\n", size.c_str(), error.c_str());
			continue;
		}
		double floor_time, encode_time;
		size_t encoded = 0;
		int runs = size == "8M" ? 3 : 5;
		if (!best_time([&] { return run_floor(input); }, runs, 0.5, &floor_time) ||
		    !best_time([&] { return run_encode(input, ctx, &encoded); }, runs, 0.5, &encode_time)) {
			status = 1;
			continue;
		}
		double size_mib = mib(input.json.size());
		printf("%-8s %10.3f %14.1f %14.1f %8.2f %12.3f\n", size.c_str(), size_mib,
		       size_mib / floor_time, size_mib / encode_time, encode_time / floor_time,
		       mib(encoded));
	}
	return status;
}
