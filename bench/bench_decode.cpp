// Decode throughput against json-c parsing and pretty printing the same
// document.
//
//   bench_decode                          every size, both paths, one table
//   bench_decode --only=floor --size=8M   one path once, with its peak RSS
//   bench_decode --only=decode --size=8M
//
// "floor" is json-c parsing the JSON document and printing it pretty;
// "decode" is what one decode run of the converter does with the BEJ of that
// document: decode, the walk to json-c values, the pretty print, the URL
// macro expansion into the zero-filled output buffer, release.  The BEJ is
// encoded once beforehand, the URL map loaded once.
#include "bench_common.h"
#include "bej_to_json.h"
#include "json_text.h"
#include "json_to_bej.h"
#include "expansion.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

json_object *parse(const std::string &text)
{
	json_tokener *tok = json_tokener_new();
	if (!tok)
		return nullptr;
	json_object *root = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()));
	if (json_tokener_get_error(tok) != json_tokener_success) {
		json_object_put(root);
		root = nullptr;
	}
	json_tokener_free(tok);
	return root;
}

bool encode_once(const bench_input &input, const bench_context &ctx, std::vector<uint8_t> *bej)
{
	json_object *root = parse(input.json);
	rde_bej_builder *builder =
		root ? rde_bej_builder_new(ctx.context, 0, ctx.name.c_str(), nullptr) : nullptr;
	uint8_t *bytes = nullptr;
	size_t length = 0;
	bool ok = builder && convert_json_document(builder, *ctx.urls, root) == 0 &&
		  rde_bej_encode(builder, &bytes, &length) == 0;
	if (ok)
		bej->assign(bytes, bytes + length);
	rde_bej_builder_free(builder);
	json_object_put(root);
	free(bytes);
	return ok;
}

// Generates the input and encodes it in a child process; the BEJ comes back
// through a pipe.
bool encode_in_child(const std::string &size, std::vector<uint8_t> *bej, std::string *error)
{
	int fds[2];
	if (pipe(fds) != 0) {
		*error = "pipe failed";
		return false;
	}
	pid_t child = fork();
	if (child < 0) {
		*error = "fork failed";
		return false;
	}
	if (child == 0) {
		close(fds[0]);
		bench_input input;
		bench_context ctx;
		std::string why;
		std::vector<uint8_t> bytes;
		if (!make_input(size, &input, &why) || !open_context(input, &ctx, &why) ||
		    !encode_once(input, ctx, &bytes)) {
			fprintf(stderr, "bench_decode: %s\n", why.empty() ? "encoding failed" : why.c_str());
			_exit(1);
		}
		for (size_t done = 0; done < bytes.size();) {
			ssize_t n = write(fds[1], bytes.data() + done, bytes.size() - done);
			if (n <= 0)
				_exit(1);
			done += static_cast<size_t>(n);
		}
		_exit(0);
	}
	close(fds[1]);
	uint8_t chunk[65536];
	for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
		bej->insert(bej->end(), chunk, chunk + n);
	close(fds[0]);
	int wstatus = 0;
	waitpid(child, &wstatus, 0);
	if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
		*error = "preparing the " + size + " input failed";
		return false;
	}
	return true;
}

bool run_floor(const bench_input &input, size_t *printed)
{
	json_object *root = parse(input.json);
	if (!root)
		return false;
	size_t length = 0;
	const char *text = json_object_to_json_string_length(root, JSON_C_TO_STRING_PRETTY, &length);
	*printed = length;
	json_object_put(root);
	return text != nullptr;
}

bool run_decode(const std::vector<uint8_t> &bej, const bench_context &ctx, size_t *expanded)
{
	rde_bej_value *value = nullptr;
	member_replacements replacements;
	char *buffer = nullptr;
	bool ok = false;
	if (rde_bej_decode(ctx.context, ctx.name.c_str(), 0, bej.data(), bej.size(), nullptr, &value) == 0 &&
	    prepare_bej_tree(value, &replacements) == 0) {
		buffer = static_cast<char *>(calloc(1, EXPANSION_BUFFER_SIZE));
		if (buffer) {
			url_expander out(*ctx.urls, buffer);
			write_json_text(value, replacements, out);
			*expanded = out.finish();
			ok = true;
		}
	}
	free(buffer);
	rde_bej_value_free(value);
	if (!ok)
		fprintf(stderr, "bench_decode: decoding failed\n");
	return ok;
}

}  // namespace

int main(int argc, char **argv)
{
	bench_options options;
	if (!parse_options(argc, argv, "floor|decode", &options))
		return 2;
	if (!options.only.empty() && options.only != "floor" && options.only != "decode") {
		fprintf(stderr, "bench_decode: --only takes floor or decode\n");
		return 2;
	}

	if (options.only.empty())
		printf("%-8s %10s %14s %14s %8s %12s\n", "input", "BEJ MiB", "floor MiB/s",
		       "decode MiB/s", "ratio", "JSON MiB");
	int status = 0;
	for (const std::string &size : options.sizes) {
		bench_input input;
		bench_context ctx;
		std::string error;
		std::vector<uint8_t> bej;
		if (options.only == "decode") {
			// The BEJ is made in a child process, so that the document and
			// the encoding do not count in this process's peak.
			if (!encode_in_child(size, &bej, &error) ||
			    !make_input(size, &input, &error, false) || !open_context(input, &ctx, &error)) {
				fprintf(stderr, "bench_decode: %s\n", error.c_str());
				return 1;
			}
		} else if (!make_input(size, &input, &error) || !open_context(input, &ctx, &error)) {
			fprintf(options.only.empty() ? stdout : stderr, "%-8s skipped: %s\n", size.c_str(),
				error.c_str());
			status = options.only.empty() ? status : 1;
			continue;
		} else if (options.only.empty() && !encode_once(input, ctx, &bej)) {
			fprintf(stderr, "bench_decode: encoding the %s input failed\n", size.c_str());
			status = 1;
			continue;
		}
		size_t printed = 0, expanded = 0;
		if (!options.only.empty()) {
			long before = peak_rss_kib();
			double t;
			bool ok = best_time(
				[&] {
					return options.only == "floor" ? run_floor(input, &printed)
								       : run_decode(bej, ctx, &expanded);
				},
				1, 0.0, &t);
			if (!ok)
				return 1;
			printf("%s %s: %.3f s, peak RSS %ld KiB (%ld KiB before the run)\n",
			       options.only.c_str(), input.label.c_str(), t, peak_rss_kib(), before);
			return 0;
		}

		double floor_time, decode_time;
		int runs = size == "8M" ? 3 : 5;
		if (!best_time([&] { return run_floor(input, &printed); }, runs, 0.5, &floor_time) ||
		    !best_time([&] { return run_decode(bej, ctx, &expanded); }, runs, 0.5, &decode_time)) {
			status = 1;
			continue;
		}
		// Throughput counts the JSON text each path produces.
		printf("%-8s %10.3f %14.1f %14.1f %8.2f %12.3f\n", size.c_str(), mib(bej.size()),
		       mib(printed) / floor_time, mib(expanded) / decode_time, decode_time / floor_time,
		       mib(expanded));
	}
	return status;
}
