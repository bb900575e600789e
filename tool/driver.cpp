// The converter's entry: the command line, the input stream, the two
// dictionaries, the optional locator, the output file, one action, release.
#include "driver.h"

#include "abbreviation.h"
#include "bej_to_json.h"
#include "expansion.h"
#include "files.h"
#include "json_text.h"
#include "json_to_bej.h"
#include "options.h"
#include "program.h"

#include <json-c/json.h>
#include <librde/rde_bej.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The process-wide URL table, filled once per run by encode or decode.
url_table pdr_url_table;

// Everything a run may make.  The destructor is the release step: it runs
// in exactly this order, and skips what was never made.  The decoded tree
// and the locator point into the context's dictionaries, so they go first.
struct run_resources {
	json_object *json_root = nullptr;
	rde_bej_value *decoded = nullptr;
	rde_bej_locator *locator = nullptr;
	uint8_t *encoded = nullptr;
	input_buffer decode_input;
	char *expansion = nullptr;
	FILE *input = nullptr;
	rde_bej_context *context = nullptr;

	run_resources() = default;
	run_resources(const run_resources &) = delete;
	run_resources &operator=(const run_resources &) = delete;

	~run_resources()
	{
		json_object_put(json_root);
		rde_bej_value_free(decoded);
		rde_bej_locator_free(locator);
		free(encoded);
		decode_input.release();
		free(expansion);
		if (input)
			fclose(input);
		rde_bej_context_free(context);
	}
};

struct tokener_deleter {
	void operator()(json_tokener *t) const { json_tokener_free(t); }
};
struct builder_deleter {
	void operator()(rde_bej_builder *b) const { rde_bej_builder_free(b); }
};

// The name of the first (newest) registered dictionary of schema_type.
const char *resource_name(const rde_bej_context *context, int schema_type)
{
	for (rde_bej_dictionary *d = rde_bej_dictionary_first(context); d;
	     d = rde_bej_dictionary_next(d))
		if (rde_bej_dictionary_get_schema_type(d) == schema_type)
			return rde_bej_dictionary_get_name(d);
	return nullptr;
}

// Has the library read the locator string ("Status/Health", "Members/0")
// and resolve it in the resource's dictionary.
int build_locator(run_resources &res, const char *name, int schema_type, const char *text)
{
	int status = name ? rde_bej_locator_build_path(res.context, name, schema_type, text,
						       &res.locator)
			  : -ENOENT;
	if (status != 0) {
		fprintf(stderr, "%s: failed to build the locator\n", program_name);
		return status;
	}
	return 0;
}

// Reads the input and parses it with json-c into res.json_root.  Returns 0
// or a negative errno, after a message.
int parse_input(run_resources &res)
{
	std::unique_ptr<json_tokener, tokener_deleter> tokener(json_tokener_new());
	if (!tokener) {
		fprintf(stderr, "%s: failed to initialize JSON tokener\n", program_name);
		return -ENOMEM;
	}
	input_buffer input;
	if (int status = read_input(res.input, input))
		return status;
	if (input.length == INPUT_BUFFER_SIZE) {
		fprintf(stderr, "%s: input is too large\n", program_name);
		return -EFBIG;
	}
	// The buffer is zero-filled and the data shorter than it, so the text
	// ends at the first NUL byte, which json-c is given as well.
	res.json_root = json_tokener_parse_ex(tokener.get(), input.data,
					      static_cast<int>(strlen(input.data) + 1));
	enum json_tokener_error error = json_tokener_get_error(tokener.get());
	if (error != json_tokener_success) {
		json_object_put(res.json_root);
		res.json_root = nullptr;
		report_reason(json_tokener_error_desc(error));
		return -EINVAL;
	}
	return 0;
}

// Feeds the parsed document to a new builder and encodes it into
// res.encoded.  Returns 0 or a negative errno, after a message.
int encode_document(const settings &set, run_resources &res, const abbreviation_index &index,
		    const char *name, size_t *length)
{
	std::unique_ptr<rde_bej_builder, builder_deleter> builder(rde_bej_builder_new(
		res.context, static_cast<uint32_t>(set.schema_type), name, res.locator));
	if (!builder) {
		fprintf(stderr, "%s: failed to allocate BEJ builder object\n", program_name);
		return -ENOMEM;
	}
	int status = consume_json_document(builder.get(), index, res.json_root);
	if (status != 0) {
		fprintf(stderr, "%s: failed to convert object '%s' to BEJ\n", program_name, name);
		return status;
	}
	status = rde_bej_encode(builder.get(), &res.encoded, length);
	if (status != 0)
		fprintf(stderr, "%s: failed to encode object '%s' to BEJ\n", program_name, name);
	return status;
}

int action_encode(const settings &set, run_resources &res, const char *name)
{
	size_t length = 0;
	if (load_pdr_url_map(pdr_url_table, set.pdr_map, set.prefix_url, set.percent_path) != 0)
		return 1;
	abbreviation_index index;
	build_abbreviation_index(index, pdr_url_table);
	if (parse_input(res) != 0 || encode_document(set, res, index, name, &length) != 0)
		return 1;
	return write_output(set.output_path, res.encoded, length) == 0 ? 0 : 1;
}

int action_decode(const settings &set, run_resources &res, const char *name)
{
	// No size check: a longer input is decoded from its first
	// INPUT_BUFFER_SIZE bytes.
	if (read_input(res.input, res.decode_input) != 0)
		return 1;

	if (rde_bej_decode(res.context, name, set.schema_type,
			   reinterpret_cast<const uint8_t *>(res.decode_input.data),
			   res.decode_input.length, res.locator, &res.decoded) != 0) {
		fprintf(stderr, "%s: BEJ decoding failed\n", program_name);
		return 1;
	}
	// Everything that can fail in the conversion fails here, before the
	// map and the percent file are touched.
	member_replacements replacements;
	if (prepare_bej_tree(res.decoded, &replacements) != 0)
		return 1;

	if (load_pdr_url_map(pdr_url_table, set.pdr_map, set.prefix_url, set.percent_path) != 0)
		return 1;

	res.expansion = static_cast<char *>(calloc(EXPANSION_BUFFER_SIZE, 1));
	if (!res.expansion) {
		fprintf(stderr, "%s: failed to allocate input buffer\n", program_name);
		return 1;
	}
	// The tree holds copies of all it needs from the input.
	res.decode_input.release();
	url_expander out(pdr_url_table, res.expansion);
	write_json_text(res.decoded, replacements, out);
	size_t expanded = out.finish();

	if (write_output(set.output_path, res.expansion, expanded) != 0)
		return 1;
	return write_output(set.output_path, "\n", 1) == 0 ? 0 : 1;
}

int action_encode_locator(const settings &set, run_resources &res)
{
	if (!set.locator) {
		fprintf(stderr, "%s: locator must be specified\n", program_name);
		return 1;
	}
	size_t length = 0;
	if (rde_bej_locator_encode(res.locator, &res.encoded, &length) != 0) {
		fprintf(stderr, "%s: failed to decode locator: %s\n", program_name, set.locator);
		return 1;
	}
	return write_output(set.output_path, res.encoded, length) == 0 ? 0 : 1;
}

enum class action { encode, decode, encode_locator, none };

action action_named(const char *word)
{
	if (strcmp(word, "encode") == 0)
		return action::encode;
	if (strcmp(word, "decode") == 0)
		return action::decode;
	if (strcmp(word, "encode-locator") == 0)
		return action::encode_locator;
	return action::none;
}

// json-c's real-number format, the library, the context and the two
// dictionaries.  Returns 0 or a negative errno, after a message.
int start_library(const settings &set, run_resources &res)
{
	if (json_c_set_serialization_double_format(REAL_FORMAT, JSON_C_OPTION_GLOBAL) != 0) {
		fprintf(stderr, "%s: failed to initialize json-c\n", program_name);
		return -EINVAL;
	}
	rde_bej_init();
	res.context = rde_bej_context_new();
	if (!res.context) {
		fprintf(stderr, "%s: unable to initialize BEJ module\n", program_name);
		return -ENOMEM;
	}
	// Published dictionaries numbered with gaps register only on request;
	// any other value of the variable leaves them refused.
	const char *gaps = getenv("BEJCONV_SEQUENCE_GAPS");
	if (gaps && strcmp(gaps, "accept") == 0)
		rde_bej_context_set_options(res.context, RDE_BEJ_ACCEPT_SEQUENCE_GAPS);
	int status = load_dictionary_file(res.context, set.schema_path, set.schema_type);
	if (status != 0)
		return status;
	return load_dictionary_file(res.context, set.annotation_path,
				    RDE_BEJ_SCHEMA_TYPE_ANNOTATION);
}

// Everything after the input stream is open; res is released by the caller.
int run(const settings &set, run_resources &res)
{
	action chosen = action_named(set.action);
	if (!set.schema_path || !set.annotation_path || chosen == action::none) {
		print_usage();
		return 1;
	}
	if (start_library(set, res) != 0)
		return 1;

	// Schema type 2 has already failed above, so this is the schema
	// dictionary's name; it selects the dictionary in every later call.
	const char *name = resource_name(res.context, set.schema_type);

	if (set.locator && build_locator(res, name, set.schema_type, set.locator) != 0)
		return 1;
	if (set.output_path && prepare_output(set.output_path) != 0)
		return 1;

	switch (chosen) {
	case action::encode:
		return action_encode(set, res, name);
	case action::decode:
		return action_decode(set, res, name);
	default:
		return action_encode_locator(set, res);
	}
}

// Opens FILE, or takes stdin without it.  A FILE that cannot be opened
// returns -EIO after its reason and the usage text.
int open_input(const settings &set, run_resources &res)
{
	if (!set.input_path) {
		res.input = stdin;
		return 0;
	}
	res.input = fopen(set.input_path, "r");
	if (!res.input) {
		report_path_error(set.input_path, errno);
		print_usage();
		return -EIO;
	}
	return 0;
}

}  // namespace

int bejconv_main(int argc, char **argv)
{
	// An empty argument vector keeps the default name rather than printing
	// a null pointer.
	if (argc > 0 && argv[0])
		program_name = argv[0];

	settings set;
	switch (parse_command_line(argc, argv, set)) {
	case parse_result::exit_success:
		return 0;
	case parse_result::exit_failure:
		return 1;
	case parse_result::run:
		break;
	}
	int status;
	{
		run_resources res;
		status = open_input(set, res) == 0 ? run(set, res) : 1;
	}
	// Output on stdout stays buffered until here.  Flushing it now rather
	// than at exit lets a failed write (a full disk) fail the run instead of
	// ending it with success.
	if (status == 0 && fflush(stdout) != 0) {
		fprintf(stderr, "%s: failed to write out output\n", program_name);
		status = 1;
	}
	return status;
}
