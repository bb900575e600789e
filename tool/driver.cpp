// The converter's entry: options and operands, the input stream, the two
// dictionaries, the optional locator, the output file, one action, release.
#include "driver.h"

#include "bej_to_json.h"
#include "json_text.h"
#include "json_to_bej.h"
#include "program.h"
#include "url_expansion.h"
#include "url_macros.h"

#include <json-c/json.h>
#include <librde/rde_bej.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Replaced by argv[0] as the first thing a run does; the default only shows
// when the converter units are used without the driver.
const char *program_name = "bejconv";

namespace {

// Fixed capacity of the input buffer.  An encode input that fills it is
// refused; a decode input is cut at that size.
constexpr size_t INPUT_BUFFER_SIZE = 8388608;

constexpr const char *DEFAULT_PDR_MAP = "/tmp/pdr_url_map";
constexpr const char *DEFAULT_PREFIX_URL = "/redfish/v1";

// Settings of one run; the strings are borrowed from the argument vector.
struct settings {
	const char *schema_path = nullptr;
	const char *annotation_path = nullptr;
	int schema_type = 0;
	const char *output_path = nullptr;
	const char *locator = nullptr;
	const char *pdr_map = DEFAULT_PDR_MAP;
	const char *percent_path = nullptr;
	const char *prefix_url = DEFAULT_PREFIX_URL;
	const char *action = nullptr;
	const char *input_path = nullptr;
};

// Everything a run may make.  The destructor is the release step: it runs
// in exactly this order, and skips what was never made.  The decoded tree
// and the locator point into the context's dictionaries, so they go first.
struct run_resources {
	json_object *json_root = nullptr;
	rde_bej_value *decoded = nullptr;
	rde_bej_locator *locator = nullptr;
	uint8_t *encoded = nullptr;
	char *decode_input = nullptr;
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
		free(decode_input);
		free(expansion);
		if (input)
			fclose(input);
		rde_bej_context_free(context);
	}
};

struct free_deleter {
	void operator()(void *p) const { free(p); }
};
using malloc_ptr = std::unique_ptr<char, free_deleter>;

struct tokener_deleter {
	void operator()(json_tokener *t) const { json_tokener_free(t); }
};
struct builder_deleter {
	void operator()(rde_bej_builder *b) const { rde_bej_builder_free(b); }
};

void print_usage()
{
	printf("Usage: %s [OPTIONS] ACTION FILE\n", program_name);
	printf("Converts JSON-encoded FILE to a binary encoded JSON (BEJ) format or \n");
	printf("the other way around.\n");
	printf("\n");
	printf("Options:\n");
	printf("    -s, --schema=FILE        Use FILE as primary schema dictionary for encoding\n");
	printf("    -a, --annotation=FILE    Use FILE as annotation schema\n");
	printf("    -t, --schema-type=TYPE   Primary schema type (major, event, error, etc.)\n");
	printf("    -o, --output=FILE        Write encoded/decoded data to FILE\n");
	printf("    -l, --locator=STRING     Locator string in the form of PROPERTY/CHILD_PROPERTY\n");
	printf("    -m, --pdr-map=FILE       Use FILE as pdr_url_map\n");
	printf("    -p, --percent=FILE       Use FILE as %% replacement\n");
	printf("    -u, --prefix-url=STRING  prefix_url string\n");
	printf("    -h, --help               Show this help\n");
	printf("Actions:\n");
	printf("    encode                   encodes JSON to BEJ\n");
	printf("    decode                   decodes BEJ to JSON\n");
	printf("    encode-locator           encodes locator into BEJ locator format\n");
}

// Reads a schema type the way "%d" does: blanks, an optional sign and the
// leading decimal digits ("7abc" is 7, "major" is refused).  A number that
// does not fit in an int is refused as well rather than wrapped, so that
// every platform reads the same value; any number that fits is passed on.
bool parse_schema_type(const char *text, int *type)
{
	char *end = nullptr;
	errno = 0;
	long long value = strtoll(text, &end, 10);
	if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
		return false;
	*type = static_cast<int>(value);
	return true;
}

// The index of a numeric locator segment, read like "%hu" from the start of
// the segment ("2abc" gives 2).  A number an index cannot hold (negative or
// above 65535) does not make an index: the segment is kept as a name, so the
// library names it when it refuses the step.
bool parse_locator_index(const char *segment, uint16_t *index)
{
	char *end = nullptr;
	errno = 0;
	long long value = strtoll(segment, &end, 10);
	if (end == segment || errno == ERANGE || value < 0 || value > UINT16_MAX)
		return false;
	*index = static_cast<uint16_t>(value);
	return true;
}

// Maps the dictionary file and registers it under schema_type.
int load_dictionary_file(rde_bej_context *context, const char *path, int schema_type)
{
	struct stat st;
	if (stat(path, &st) != 0) {
		int err = errno;
		fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(err));
		return -err;
	}
	// Non-blocking, so that a FIFO given as a dictionary cannot stall the
	// run in open(); it is refused by mmap() like any other non-file.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		int err = errno;
		fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(err));
		return -err;
	}
	// A size the address space cannot hold fails like a mapping would.
	if (static_cast<uintmax_t>(st.st_size) > SIZE_MAX) {
		fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(ENOMEM));
		close(fd);
		return -ENOMEM;
	}
	size_t size = static_cast<size_t>(st.st_size);
	void *data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
	if (data == MAP_FAILED) {
		int err = errno;
		fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(err));
		close(fd);
		return -err;
	}
	int status = rde_bej_add_dictionary(context, schema_type, nullptr, data, size);
	if (status != 0)
		fprintf(stderr, "%s: failed to parse dictionary '%s': %s\n", program_name, path,
			strerror(-status));
	munmap(data, size);
	close(fd);
	return status;
}

// Reads the whole stream into a zero-filled buffer of INPUT_BUFFER_SIZE
// bytes.  Below that size the data is always followed by a NUL byte.
int read_input(FILE *stream, char **bytes, size_t *length)
{
	char *buffer = static_cast<char *>(calloc(INPUT_BUFFER_SIZE, 1));
	if (!buffer) {
		fprintf(stderr, "%s: failed to allocate input buffer\n", program_name);
		return -ENOMEM;
	}
	size_t total = 0;
	for (;;) {
		size_t n = fread(buffer + total, 1, INPUT_BUFFER_SIZE - total, stream);
		if (n == 0)
			break;
		if (ferror(stream)) {
			fprintf(stderr, "%s: failed to read the input\n", program_name);
			free(buffer);
			return -EIO;
		}
		total += n;
	}
	*bytes = buffer;
	*length = total;
	return 0;
}

// Appends the bytes to path (created when absent), or writes them to stdout
// without a path.  stdout is flushed once, when the run is over.
int write_output(const char *path, const void *bytes, size_t length)
{
	FILE *stream = stdout;
	if (path) {
		stream = fopen(path, "a");
		if (!stream) {
			fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(errno));
			return -EIO;
		}
	}
	const char *data = static_cast<const char *>(bytes);
	size_t written = 0;
	for (;;) {
		size_t n = fwrite(data + written, 1, length - written, stream);
		if (n == 0)
			break;
		written += n;
	}
	int result = 0;
	if (written != length) {
		fprintf(stderr, "%s: failed to write out output\n", program_name);
		result = -EIO;
	}
	// A file's buffered bytes reach it only at fclose(): a failure there
	// (a full disk) is a failed write too, not a silent success.
	if (stream != stdout && fclose(stream) != 0 && result == 0) {
		fprintf(stderr, "%s: failed to write out output\n", program_name);
		result = -EIO;
	}
	return result;
}

// The name of the first (newest) registered dictionary of schema_type.
const char *resource_name(const rde_bej_context *context, int schema_type)
{
	for (rde_bej_dictionary *d = rde_bej_dictionary_first(context); d;
	     d = rde_bej_dictionary_next(d))
		if (rde_bej_dictionary_get_schema_type(d) == schema_type)
			return rde_bej_dictionary_get_name(d);
	return nullptr;
}

// The locator component records of one locator string; every name is a
// private copy, released with the array.
struct component_list {
	rde_bej_locator_component *items = nullptr;
	size_t count = 0;

	component_list() = default;
	component_list(const component_list &) = delete;
	component_list &operator=(const component_list &) = delete;
	~component_list()
	{
		for (size_t i = 0; items && i < count; i++)
			free(const_cast<char *>(items[i].name));
		free(items);
	}
};

// Splits the locator string at every '/' and has the library resolve it.
int build_locator(run_resources &res, const char *name, int schema_type, const char *text)
{
	size_t count = 1;
	for (const char *p = text; *p; p++)
		count += *p == '/';
	component_list components;
	// The library counts components in 32 bits; argument strings are far
	// shorter than that, but the count is checked rather than truncated.
	if (count > UINT32_MAX ||
	    !(components.items = static_cast<rde_bej_locator_component *>(
		      calloc(count, sizeof(rde_bej_locator_component))))) {
		fprintf(stderr, "%s: %s\n", program_name, strerror(ENOMEM));
		return -ENOMEM;
	}
	components.count = count;

	const char *segment = text;
	for (size_t i = 0; i < count; i++) {
		const char *slash = strchr(segment, '/');
		size_t length = slash ? static_cast<size_t>(slash - segment) : strlen(segment);
		if (!parse_locator_index(segment, &components.items[i].index)) {
			char *copy = strndup(segment, length);
			if (!copy) {
				fprintf(stderr, "%s: %s\n", program_name, strerror(ENOMEM));
				return -ENOMEM;
			}
			components.items[i].name = copy;
		}
		segment += length + (slash ? 1 : 0);
	}

	int status = name ? rde_bej_locator_build_ext(res.context, name, schema_type,
						      components.items,
						      static_cast<uint32_t>(count), &res.locator)
			  : -ENOENT;
	if (status != 0) {
		fprintf(stderr, "%s: failed to build the locator\n", program_name);
		return status;
	}
	return 0;
}

// Removes an earlier output file, so that the output only ever holds what
// this run appends to it.
bool prepare_output(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0) {
		if (errno == ENOENT)
			return true;
		fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(errno));
		return false;
	}
	if (!S_ISREG(st.st_mode)) {
		fprintf(stderr, "%s: %s is not a regular file\n", program_name, path);
		return false;
	}
	if (unlink(path) != 0 && errno != ENOENT) {
		fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(errno));
		return false;
	}
	return true;
}

int action_encode(const settings &set, run_resources &res, const char *name)
{
	if (load_pdr_url_map(set.pdr_map, set.prefix_url, set.percent_path) != 0)
		return 1;

	std::unique_ptr<json_tokener, tokener_deleter> tokener(json_tokener_new());
	if (!tokener) {
		fprintf(stderr, "%s: failed to initialize JSON tokener\n", program_name);
		return 1;
	}
	malloc_ptr input;
	{
		char *bytes = nullptr;
		size_t length = 0;
		if (read_input(res.input, &bytes, &length) != 0)
			return 1;
		input.reset(bytes);
		if (length == INPUT_BUFFER_SIZE) {
			fprintf(stderr, "%s: input is too large\n", program_name);
			return 1;
		}
	}
	// The buffer is zero-filled and the data shorter than it, so the text
	// ends at the first NUL byte; json-c is given that NUL as well, which
	// completes a top-level number or literal at the very end of the text.
	const char *text = input.get();
	res.json_root = json_tokener_parse_ex(tokener.get(), text,
					      static_cast<int>(strlen(text) + 1));
	enum json_tokener_error error = json_tokener_get_error(tokener.get());
	if (error != json_tokener_success) {
		json_object_put(res.json_root);
		res.json_root = nullptr;
		fprintf(stderr, "%s: %s\n", program_name, json_tokener_error_desc(error));
		return 1;
	}
	tokener.reset();
	input.reset();

	std::unique_ptr<rde_bej_builder, builder_deleter> builder(rde_bej_builder_new(
		res.context, static_cast<uint32_t>(set.schema_type), name, res.locator));
	if (!builder) {
		fprintf(stderr, "%s: failed to allocate BEJ builder object\n", program_name);
		return 1;
	}

	json_object *root = res.json_root;
	int status = 0;
	switch (json_object_get_type(root)) {
	case json_type_object:
		status = convert_json_object(builder.get(), root);
		break;
	case json_type_array: {
		size_t length = json_object_array_length(root);
		for (size_t i = 0; i < length && status == 0; i++)
			status = convert_json_value(builder.get(), nullptr,
						    json_object_array_get_idx(root, i));
		break;
	}
	default:
		status = convert_json_value(builder.get(), nullptr, root);
		break;
	}
	if (status != 0) {
		fprintf(stderr, "%s: failed to convert object '%s' to BEJ\n", program_name, name);
		return 1;
	}

	size_t length = 0;
	if (rde_bej_encode(builder.get(), &res.encoded, &length) != 0) {
		fprintf(stderr, "%s: failed to encode object '%s' to BEJ\n", program_name, name);
		return 1;
	}
	builder.reset();
	return write_output(set.output_path, res.encoded, length) == 0 ? 0 : 1;
}

int action_decode(const settings &set, run_resources &res, const char *name)
{
	// No size check: a longer input is decoded from its first
	// INPUT_BUFFER_SIZE bytes.
	size_t length = 0;
	if (read_input(res.input, &res.decode_input, &length) != 0)
		return 1;

	if (rde_bej_decode(res.context, name, set.schema_type,
			   reinterpret_cast<const uint8_t *>(res.decode_input), length,
			   res.locator, &res.decoded) != 0) {
		fprintf(stderr, "%s: BEJ decoding failed\n", program_name);
		return 1;
	}
	// Everything that can fail in the conversion fails here, before the
	// map and the percent file are touched.
	member_replacements replacements;
	if (prepare_bej_tree(res.decoded, &replacements) != 0)
		return 1;

	if (load_pdr_url_map(set.pdr_map, set.prefix_url, set.percent_path) != 0)
		return 1;

	// Zero-filled by the system: only the pages the text reaches are touched.
	res.expansion = static_cast<char *>(calloc(EXPANSION_BUFFER_SIZE, 1));
	if (!res.expansion) {
		fprintf(stderr, "%s: failed to allocate input buffer\n", program_name);
		return 1;
	}
	url_expander out(res.expansion);
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

// Everything after option parsing; res is released by the caller.
int run(const settings &set, run_resources &res)
{
	if (!set.schema_path || !set.annotation_path) {
		print_usage();
		return 1;
	}
	const char *action = set.action;
	bool encode = strcmp(action, "encode") == 0;
	bool decode = strcmp(action, "decode") == 0;
	bool encode_locator = strcmp(action, "encode-locator") == 0;
	if (!encode && !decode && !encode_locator) {
		print_usage();
		return 1;
	}

	if (json_c_set_serialization_double_format(REAL_FORMAT, JSON_C_OPTION_GLOBAL) != 0) {
		fprintf(stderr, "%s: failed to initialize json-c\n", program_name);
		return 1;
	}
	rde_bej_init();
	res.context = rde_bej_context_new();
	if (!res.context) {
		fprintf(stderr, "%s: unable to initialize BEJ module\n", program_name);
		return 1;
	}
	if (load_dictionary_file(res.context, set.schema_path, set.schema_type) != 0 ||
	    load_dictionary_file(res.context, set.annotation_path,
				 RDE_BEJ_SCHEMA_TYPE_ANNOTATION) != 0)
		return 1;

	// Schema type 2 has already failed above, so this is the schema
	// dictionary's name; it selects the dictionary in every later call.
	const char *name = resource_name(res.context, set.schema_type);

	if (set.locator && build_locator(res, name, set.schema_type, set.locator) != 0)
		return 1;
	if (set.output_path && !prepare_output(set.output_path))
		return 1;

	if (encode)
		return action_encode(set, res, name);
	if (decode)
		return action_decode(set, res, name);
	return action_encode_locator(set, res);
}

}  // namespace

int bejconv_main(int argc, char **argv)
{
	// An empty argument vector keeps the default name rather than printing
	// a null pointer.
	if (argc > 0 && argv[0])
		program_name = argv[0];

	// "percent" is advertised in the usage text but has no long form: only
	// -p sets the percent file.
	static const struct option long_options[] = {
		{"schema", required_argument, nullptr, 's'},
		{"annotation", required_argument, nullptr, 'a'},
		{"schema-type", required_argument, nullptr, 't'},
		{"output", required_argument, nullptr, 'o'},
		{"locator", required_argument, nullptr, 'l'},
		{"pdr-map", required_argument, nullptr, 'm'},
		{"prefix-url", required_argument, nullptr, 'u'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};

	settings set;
	optind = 0;  // a full rescan, also when called more than once
	for (;;) {
		int c = getopt_long(argc, argv, "s:a:t:o:l:m:p:u:h", long_options, nullptr);
		if (c == -1)
			break;
		switch (c) {
		case 's': set.schema_path = optarg; break;
		case 'a': set.annotation_path = optarg; break;
		case 't':
			if (!parse_schema_type(optarg, &set.schema_type)) {
				fprintf(stderr, "%s: invalid schema type '%s'\n", program_name, optarg);
				return 1;
			}
			break;
		case 'o': set.output_path = optarg; break;
		case 'l': set.locator = optarg; break;
		case 'm': set.pdr_map = optarg; break;
		case 'p': set.percent_path = optarg; break;
		case 'u': set.prefix_url = optarg; break;
		case 'h':
			print_usage();
			return 0;
		default:  // getopt_long has printed its diagnostic
			print_usage();
			return 1;
		}
	}

	if (optind >= argc) {
		print_usage();
		return 1;
	}
	set.action = argv[optind++];
	if (optind < argc)
		set.input_path = argv[optind];  // later operands are ignored

	int status;
	{
		run_resources res;
		if (set.input_path) {
			res.input = fopen(set.input_path, "r");
			if (!res.input) {
				fprintf(stderr, "%s: %s: %s\n", program_name, set.input_path,
					strerror(errno));
				print_usage();
				return 1;
			}
		} else {
			res.input = stdin;
		}
		status = run(set, res);
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
