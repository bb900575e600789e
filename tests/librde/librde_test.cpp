// The library through its public header.  Most cases are data, each run
// with its exact log (see the README.md beside them):
//   tests/vectors/dictionary/*.json  registrations, and the entries as read
//   tests/vectors/encode/<case>/     builder calls and what they encode to
//   tests/vectors/decode/<case>/     encodings, decoded trees, tuples read
//   tests/vectors/allocation/        calls whose allocations are refused
// The accessors' misuse and the log handler are in c_api_test.c.
#include <librde/rde_bej.h>

#include "capture.h"
#include "dictc.h"
#include "paths.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <sstream>

// The library allocates only through malloc, calloc and realloc, wrapped
// here at link time (see CMakeLists.txt) to refuse the call numbered fail_at.
extern "C" {
static long allocations = 0, fail_at = 0;
static bool refused() { return ++allocations == fail_at; }
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t m);
void *__real_realloc(void *p, size_t n);
void *__wrap_malloc(size_t n) { return refused() ? nullptr : __real_malloc(n); }
void *__wrap_calloc(size_t n, size_t m) { return refused() ? nullptr : __real_calloc(n, m); }
void *__wrap_realloc(void *p, size_t n) { return refused() ? nullptr : __real_realloc(p, n); }
}

namespace {

using json_ptr = std::unique_ptr<json_object, decltype(&json_object_put)>;
using context_ptr = std::unique_ptr<rde_bej_context, decltype(&rde_bej_context_free)>;

void *const kept = reinterpret_cast<void *>(uintptr_t{0x10});  // out-parameters, before a call

json_object *member(json_object *object, const char *key)
{
	json_object *v = nullptr;
	return json_object_object_get_ex(object, key, &v) ? v : nullptr;
}

std::string text(json_object *object, const char *key, const std::string &otherwise = "")
{
	json_object *v = member(object, key);
	return v ? json_object_get_string(v) : otherwise;
}

json_object *at(json_object *array, size_t i) { return json_object_array_get_idx(array, i); }
size_t size(json_object *array) { return array ? json_object_array_length(array) : 0; }

std::string lines(json_object *array)
{
	std::string out;
	for (size_t i = 0; i < size(array); i++)
		out += std::string(json_object_get_string(at(array, i))) + "\n";
	return out;
}

std::string text_or(const std::string &path, const std::string &otherwise = "")
{
	return file_exists(path) ? read_file(path) : otherwise;
}

json_ptr load(const std::string &text)
{
	return {json_tokener_parse(text.c_str()), json_object_put};
}

std::string vectors(const std::string &kind) { return tests_source_dir() + "/vectors/" + kind; }

// The cases of a kind, sorted: files for dictionaries, folders otherwise.
std::vector<std::string> cases_in(const std::string &kind)
{
	std::vector<std::string> names;
	for (const auto &e : std::filesystem::directory_iterator(vectors(kind))) {
		if (e.is_directory() != (kind == "dictionary") && e.path().extension() != ".md")
			names.push_back(e.path().filename().string());
	}
	std::sort(names.begin(), names.end());
	return names;
}

// "0", "EINVAL" or "-EINVAL" and the like to a status.
int status_named(std::string name)
{
	name.erase(0, name.rfind('-', 0) == 0 ? 1 : 0);
	for (int e : {EINVAL, ENOENT, EEXIST, ERANGE, EOPNOTSUPP})
		if (name == strerrorname_np(e))
			return -e;
	return name == "0" ? 0 : -1;  // an unknown name fails the case
}

void set_log_level(const std::string &level)
{
	level.empty() ? unsetenv("LIBRDE_LOG_LEVEL") : setenv("LIBRDE_LOG_LEVEL", level.c_str(), 1);
	rde_bej_init();
}

int add(rde_bej_context *context, int32_t schema_type, const std::string &description)
{
	std::vector<uint8_t> bytes;
	std::string error;
	EXPECT_TRUE(dictc::compile(description, &bytes, &error)) << error;
	return rde_bej_add_dictionary(context, schema_type, nullptr, bytes.data(), bytes.size());
}

// A case folder's context, with the descriptions it names.
context_ptr setup(const std::string &dir, json_object *options, int32_t schema_type)
{
	context_ptr context(rde_bej_context_new(), rde_bej_context_free);
	if (member(options, "accept_sequence_gaps"))
		rde_bej_context_set_options(context.get(), RDE_BEJ_ACCEPT_SEQUENCE_GAPS);
	auto [schema, annotation] = vector_descriptions(dir);
	EXPECT_EQ(add(context.get(), schema_type, read_file(schema)), 0);
	EXPECT_TRUE(annotation.empty() || add(context.get(), 2, read_file(annotation)) == 0);
	set_log_level(text(options, "log_level"));
	return context;
}

// A locator from a path such as ["Items", 1]: a number is an array item,
// a pair [name, index] a step with both.
int build_locator(rde_bej_context *context, const char *name, int32_t schema_type,
		  json_object *path, rde_bej_locator **locator)
{
	std::vector<rde_bej_locator_component> steps;
	for (size_t i = 0; i < size(path); i++) {
		json_object *step = at(path, i);
		bool pair = json_object_is_type(step, json_type_array);
		const char *step_name = json_object_get_string(pair ? at(step, 0) : step);
		steps.push_back(
			{json_object_is_type(step, json_type_int) ? nullptr : step_name,
			 static_cast<uint16_t>(json_object_get_int(pair ? at(step, 1) : step))});
	}
	return rde_bej_locator_build_ext(context, name, schema_type, steps.data(),
					 static_cast<uint32_t>(steps.size()), locator);
}

// ---- dictionaries --------------------------------------------------------

// The bytes as the readers see them, entry by entry, to the first fault.
std::string list_entries(const std::vector<uint8_t> &bytes)
{
	std::ostringstream out;
	rde_bej_dictionary_header h{};
	rde_bej_read_error error{};
	int status = rde_bej_read_dictionary_header(bytes.data(), bytes.size(), &h, &error);
	if (status == 0)
		out << "version " << +h.version_tag << " flags " << +h.dictionary_flags
		    << " entries " << h.entry_count << " schema " << std::hex << h.schema_version
		    << std::dec << " size " << h.dictionary_size << "\n";
	for (unsigned i = 0; status == 0; i++) {
		rde_bej_dictionary_entry e{};
		status = rde_bej_read_dictionary_entry(bytes.data(), bytes.size(), i, &e, &error);
		if (status == 0)
			out << e.index << ": " << std::hex << +e.format << std::dec << " seq "
			    << e.sequence_number << " children " << e.child_count << " at "
			    << e.child_pointer_offset << " first " << e.first_child << " name "
			    << (e.name ? e.name : "-") << " (" << +e.name_length << " at "
			    << e.name_offset << ")\n";
	}
	return out.str() + "stop at " + std::to_string(error.offset) + ": " + error.reason + "\n";
}

TEST(Vectors, Dictionaries)
{
	for (const std::string &name : cases_in("dictionary")) {
		SCOPED_TRACE(name);
		json_ptr doc = load(read_file(vectors("dictionary/") + name));
		set_log_level(text(doc.get(), "log_level"));
		context_ptr context(rde_bej_context_new(), rde_bej_context_free);
		if (member(doc.get(), "accept_sequence_gaps"))
			rde_bej_context_set_options(context.get(), RDE_BEJ_ACCEPT_SEQUENCE_GAPS);
		stderr_capture log;
		std::vector<uint8_t> bytes;
		int status = 0, count = 0;
		json_object *before = member(doc.get(), "before");
		for (size_t i = 0; i <= size(before); i++) {
			json_object *step = i < size(before) ? at(before, i) : doc.get();
			std::string error;
			bool hex = member(step, "hex");
			EXPECT_TRUE(hex ||
				    dictc::compile(text(step, "dictionary"), &bytes, &error));
			bytes = hex ? parse_hex(text(step, "hex")) : bytes;
			status = rde_bej_add_dictionary(context.get(),
							std::stoi(text(step, "schema_type", "0")),
							nullptr, bytes.data(), bytes.size());
			count += status == 0;
		}
		EXPECT_EQ(log.text(), lines(member(doc.get(), "log")));
		EXPECT_EQ(status, status_named(text(doc.get(), "status", "0")));
		// A refused dictionary leaves nothing behind.
		for (rde_bej_dictionary *d = rde_bej_dictionary_first(context.get()); d;
		     d = rde_bej_dictionary_next(d))
			count--;
		EXPECT_EQ(count, 0);
		if (member(doc.get(), "entries")) {
			EXPECT_EQ(list_entries(bytes), lines(member(doc.get(), "entries")));
		}
	}
	set_log_level("");
}

// ---- encoding --------------------------------------------------------------

// Runs one call; a type query stores "=" and the type's name in answer.
// With one_buffer every name is passed in the same buffer, as a caller
// that reuses its own does.
int run_call(rde_bej_builder *b, const std::string &op, json_object *call, std::string *answer,
	     bool one_buffer)
{
	static char name_buffer[256];
	const char *name = json_object_get_string(at(call, 1));  // null: none
	if (one_buffer && name)
		name = strncpy(name_buffer, name, sizeof name_buffer - 1);
	json_object *value = at(call, 2);
	uint32_t type = 99;
	int status = -1;
	if (op == "add_integer")
		return rde_bej_add_integer(b, name, json_object_get_int64(value));
	if (op == "add_boolean")
		return rde_bej_add_boolean(b, name, json_object_get_boolean(value));
	if (op == "add_string" || op == "add_enum")
		return (op == "add_string" ? rde_bej_add_string : rde_bej_add_enum)(
			b, name, json_object_get_string(value));
	if (op == "add_real")
		return rde_bej_add_real(b, name, json_object_get_int(value),
					json_object_get_double(at(call, 3)));
	if (op == "add_null")
		return rde_bej_add_null(b, name);
	if (op == "set_begin" || op == "array_begin")
		return (op == "set_begin" ? rde_bej_set_begin : rde_bej_array_begin)(b, name);
	if (op == "set_end" || op == "array_end")
		return (op == "set_end" ? rde_bej_set_end : rde_bej_array_end)(b);
	if (op == "get_property_type")
		status = rde_bej_get_property_type(b, name, &type);
	else if (op == "get_scope_type")
		status = rde_bej_get_scope_type(b, &type);
	*answer = "=" + std::string(status ? "" : rde_bej_data_type_name(type));
	return status;
}

// A call returns 0, or the status its last element "=EINVAL" names; after a
// failure every later call returns that status, except the type queries,
// which answer with the name of a type ("=integer") whatever happened.
int run_calls(rde_bej_builder *b, json_object *calls, bool one_buffer)
{
	int sticky = 0;
	for (size_t i = 0; i < size(calls); i++) {
		json_object *call = at(calls, i);
		std::string op = json_object_get_string(at(call, 0));
		const char *last = json_object_get_string(at(call, size(call) - 1));
		std::string said = last && last[0] == '=' ? last : "";
		bool query = op.starts_with("get_");
		int expected = query ? 0 : sticky;
		if (said.size() > 1 && std::isupper(static_cast<unsigned char>(said[1])))
			expected = status_named(said.substr(1));
		sticky = query ? sticky : expected;
		std::string answer;
		EXPECT_EQ(run_call(b, op, call, &answer, one_buffer), expected) << "call " << i;
		EXPECT_TRUE(!query || expected || answer == said) << "call " << i << ": " << answer;
	}
	return sticky;
}

// The bytes an encoder returns, as hex ("" when it fails), freed.
template <typename Encoder, typename Object>
std::string encoded(int *status, Encoder encoder, Object object)
{
	uint8_t *bytes = nullptr;
	size_t length = 0;
	*status = encoder(object, &bytes, &length);
	std::string hex = *status ? "" : to_hex(std::vector<uint8_t>(bytes, bytes + length));
	std::free(bytes);
	return hex;
}

std::string hex_file(const std::string &path) { return to_hex(parse_hex(read_file(path))); }

TEST(Vectors, Encodings)
{
	for (const std::string &name : cases_in("encode")) {
		SCOPED_TRACE(name);
		const std::string dir = vectors("encode/") + name;
		json_ptr doc = load(read_file(dir + "/case.json"));
		json_object *o = doc.get();
		int32_t schema_type = std::stoi(text(o, "schema_type", "0"));
		context_ptr context = setup(dir, o, schema_type);
		stderr_capture log;
		rde_bej_locator *locator = nullptr;
		int status = 0;
		if (member(o, "locator")) {
			json_object *in = member(o, "locator_in");  // [name, schema type]
			EXPECT_EQ(build_locator(context.get(),
						in ? json_object_get_string(at(in, 0)) : "Root",
						in ? json_object_get_int(at(in, 1)) : schema_type,
						member(o, "locator"), &locator),
				  status_named(text(o, "locator_status", "0")));
		}
		if (file_exists(dir + "/locator.hex")) {
			EXPECT_EQ(encoded(&status, rde_bej_locator_encode, locator),
				  hex_file(dir + "/locator.hex"));
		}
		rde_bej_builder *b = nullptr;
		if (!member(o, "locator_status"))
			b = rde_bej_builder_new(context.get(),
						std::stoi(text(o, "builder_schema_type",
							       std::to_string(schema_type))),
						"Root", locator);
		int sticky = b ? run_calls(b, member(o, "calls"), member(o, "one_name_buffer")) : 0;
		std::string first = b ? encoded(&status, rde_bej_encode, b) : "";
		EXPECT_EQ(status, sticky ? sticky : status_named(text(o, "encode_status", "0")));
		EXPECT_EQ(log.text(), text_or(dir + "/expected.log"));
		if (file_exists(dir + "/expected.hex")) {
			EXPECT_EQ(first, hex_file(dir + "/expected.hex"));
		}
		set_log_level("");
		EXPECT_EQ(b ? encoded(&status, rde_bej_encode, b) : "", first)
			<< "a second encoding differs";
		EXPECT_EQ(b == nullptr, member(o, "locator_status") || member(o, "no_builder"));
		rde_bej_builder_free(b);
		rde_bej_locator_free(locator);
	}
}

// ---- decoding --------------------------------------------------------------

// A value as the "tree" files show it, read through its getter.
std::string value_text(rde_bej_value *value, uint32_t type)
{
	std::ostringstream out;
	union {
		int64_t integer;
		char *string;
		const char *option;
		double real;
		bool boolean;
		uint32_t link;
	} v{};
	int status = 0;
	if (type == RDE_BEJ_DATA_TYPE_INTEGER && !(status = rde_bej_get_integer(value, &v.integer)))
		out << ' ' << v.integer;
	if (type == RDE_BEJ_DATA_TYPE_STRING && !(status = rde_bej_get_string(value, &v.string)))
		out << " \"" << v.string << '"';
	if (type == RDE_BEJ_DATA_TYPE_ENUM && !(status = rde_bej_get_enum(value, &v.option)))
		out << ' ' << v.option;
	if (type == RDE_BEJ_DATA_TYPE_REAL && !(status = rde_bej_get_real(value, &v.real)))
		out << ' ' << std::setprecision(15) << v.real;
	if (type == RDE_BEJ_DATA_TYPE_BOOLEAN && !(status = rde_bej_get_boolean(value, &v.boolean)))
		out << (v.boolean ? " true" : " false");
	if (type == RDE_BEJ_DATA_TYPE_RESOURCE_LINK &&
	    !(status = rde_bej_get_resource_link(value, &v.link)))
		out << ' ' << v.link;
	if (status)
		out << ' ' << strerrorname_np(-status);
	return out.str();
}

// Leaves are read through the getter of read_as when that is a data type's
// name, else through their own.
void dump(rde_bej_value *value, int level, size_t position, const std::string &read_as,
	  std::ostringstream &out)
{
	const char *name = rde_bej_get_name(value);
	uint32_t type = rde_bej_get_type(value);
	out << std::string(2 * level, ' ');
	if (rde_bej_is_property_annotation(value))
		out << rde_bej_get_annotated_name(value);
	if (name)
		out << name;
	else
		out << '[' << position << ']';
	bool container = type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY;
	uint32_t getter = type;
	for (uint32_t t = 0; t < 16 && !container; t++)
		if (read_as == rde_bej_data_type_name(t))
			getter = t;
	out << ' ' << rde_bej_data_type_name(type) << value_text(value, getter) << '\n';
	size_t i = 0;
	if (container) {
		for (rde_bej_value *c = rde_bej_get_first_child(value); c;
		     c = rde_bej_get_next_sibling(c))
			dump(c, level + 1, i++, read_as, out);
	}
}

// What the tuple reader hands out, as the "tuples" files show it.
int list_tuple(const rde_bej_tuple *t, void *user_data)
{
	auto &out = *static_cast<std::ostringstream *>(user_data);
	const auto &d = t->data;
	unsigned type = t->format >> 4;
	out << std::string(2 * t->depth, ' ') << t->offset << " [" << t->index << "] "
	    << t->sequence_number << '/' << t->selector << ' ' << std::hex << std::setw(2)
	    << std::setfill('0') << +t->format << std::dec << " L=" << t->length << " @"
	    << t->value_offset;
	if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY)
		out << " members=" << d.child_count;
	if (type == RDE_BEJ_DATA_TYPE_INTEGER)
		out << (d.integer.negative ? " int=" : " uint=") << d.integer.value;
	if (type == RDE_BEJ_DATA_TYPE_ENUM)
		out << " option=" << d.enum_option;
	if (type == RDE_BEJ_DATA_TYPE_BOOLEAN)
		out << " bool=" << d.boolean;
	if (type == RDE_BEJ_DATA_TYPE_RESOURCE_LINK)
		out << " link=" << d.resource_link;
	if (type == RDE_BEJ_DATA_TYPE_REAL)
		out << " real=" << d.real.whole << ',' << d.real.leading_zero_count << ','
		    << d.real.fraction << ',' << d.real.exponent;
	out << '\n';
	return 0;
}

// "expected" holds the status, then the exact log of decoding and of
// reading the tree back.
TEST(Vectors, Decodings)
{
	for (const std::string &name : cases_in("decode")) {
		SCOPED_TRACE(name);
		const std::string dir = vectors("decode/") + name;
		json_ptr doc = load(text_or(dir + "/case.json", "{}"));
		json_object *o = doc.get();
		context_ptr context = setup(dir, o, 0);
		rde_bej_dictionary *d = rde_bej_dictionary_first(context.get());  // newest first
		if (rde_bej_dictionary_get_schema_type(d) == 2)
			d = rde_bej_dictionary_next(d);
		std::string dictionary = rde_bej_dictionary_get_name(d);
		rde_bej_locator *locator = nullptr;
		if (member(o, "locator")) {
			ASSERT_EQ(build_locator(context.get(), dictionary.c_str(), 0,
						member(o, "locator"), &locator),
				  0);
		}
		std::vector<uint8_t> bytes = parse_hex(read_file(dir + "/input.hex"));
		std::istringstream expected(read_file(dir + "/expected"));
		std::string status_line, log_lines;
		std::getline(expected, status_line);
		std::getline(expected, log_lines, '\0');

		rde_bej_value *root = static_cast<rde_bej_value *>(kept);
		std::ostringstream tree;
		stderr_capture log;
		int status = rde_bej_decode(context.get(), text(o, "name", dictionary).c_str(), 0,
					    bytes.data(), bytes.size(), locator, &root);
		if (status == 0)
			dump(root, 0, 0, text(o, "read_as"), tree);
		EXPECT_EQ(log.text(), log_lines);
		EXPECT_EQ(status, status_named(status_line));
		if (file_exists(dir + "/tree")) {
			EXPECT_EQ(tree.str(), read_file(dir + "/tree"));
		}
		EXPECT_TRUE(status == 0 || root == kept) << "result written on failure";
		if (status == 0)
			rde_bej_value_free(root);
		rde_bej_locator_free(locator);
		set_log_level("");
		std::ostringstream tuples;
		rde_bej_read_error error{};
		rde_bej_encoding_header h{};
		if (rde_bej_read_encoding(bytes.data(), bytes.size(), &h, list_tuple, &tuples,
					  &error))
			tuples << "error at " << error.offset << ": " << error.reason << '\n';
		std::ostringstream header;
		if (h.version)
			header << std::hex << "version " << h.version << " flags " << h.flags
			       << " class " << +h.schema_class << '\n';
		std::string want = text_or(dir + "/tuples", header.str() + tuples.str());
		EXPECT_EQ(elided(header.str() + tuples.str(), want), want);
	}
}

// ---- allocation failures -------------------------------------------------

// What a call works on, made beforehand (with use_up, the builder's memory
// used up by as many one-byte texts as make a twin need more, but one), and
// its out-parameters.
struct allocation_world {
	context_ptr context{rde_bej_context_new(), rde_bej_context_free};
	std::vector<uint8_t> schema;
	rde_bej_locator *locator = nullptr, *built = static_cast<rde_bej_locator *>(kept);
	rde_bej_builder *b = nullptr;
	rde_bej_value *tree = static_cast<rde_bej_value *>(kept);
	uint8_t *bytes = static_cast<uint8_t *>(kept);
	size_t length = 3;

	allocation_world(json_object *o, bool use_up)
	{
		std::string error;
		EXPECT_TRUE(
			dictc::compile(read_file(vectors("decode/schema.json")), &schema, &error));
		EXPECT_EQ(add(context.get(), 2, read_file(vectors("decode/annotation.json"))), 0);
		rde_bej_add_dictionary(context.get(), 0, nullptr, schema.data(), schema.size());
		if (member(o, "locator"))
			build_locator(context.get(), "Root", 0, member(o, "locator"), &locator);
		b = rde_bej_builder_new(context.get(), 0, "Root", locator);
		if (!use_up || !member(o, "used_up"))
			return;
		allocation_world twin(o, false);
		long texts = 0;
		for (long before = allocations; allocations == before && texts < 1 << 20; texts++)
			rde_bej_add_string(twin.b, "Name", "");
		while (--texts > 0)
			rde_bej_add_string(b, "Name", "");
	}
	~allocation_world()
	{
		rde_bej_value_free(tree == kept ? nullptr : tree);
		rde_bej_locator_free(built == kept ? nullptr : built);
		std::free(bytes == kept ? nullptr : bytes);
		rde_bej_builder_free(b);
		rde_bej_locator_free(locator);
	}
};

int allocating_call(allocation_world &w, json_object *o)
{
	json_object *call = member(o, "call");
	std::string op = json_object_get_string(at(call, 0)), answer;
	rde_bej_context *context = w.context.get();
	if (op == "context_new")
		return context_ptr(rde_bej_context_new(), rde_bej_context_free) ? 0 : -ENOMEM;
	if (op == "builder_new") {
		rde_bej_builder_free(w.b);
		w.b = rde_bej_builder_new(context, 0, "Root", w.locator);
		return w.b ? 0 : -ENOMEM;
	}
	if (op == "add_dictionary")
		return rde_bej_add_dictionary(context, 5, json_object_get_string(at(call, 1)),
					      w.schema.data(), w.schema.size());
	if (op == "locator_build")
		return build_locator(context, "Root", 0, member(o, "locator"), &w.built);
	if (op == "encode" || op == "locator_encode")
		return op == "encode" ? rde_bej_encode(w.b, &w.bytes, &w.length)
				      : rde_bej_locator_encode(w.locator, &w.bytes, &w.length);
	if (op != "decode")
		return run_call(w.b, op, call, &answer, false);
	const char *input = json_object_get_string(at(call, 1));  // a file, or the hex itself
	std::vector<uint8_t> bytes = parse_hex(text_or(vectors(input), input));
	return rde_bej_decode(context, "Root", 0, bytes.data(), bytes.size(), w.locator, &w.tree);
}

// A case's call is made with its first allocation refused, then its second,
// and so on until it succeeds.  A refusal fails the call with -ENOMEM and
// its own log lines, leaks nothing (the sanitized build checks that) and
// leaves the out-parameters and the context as they were, so that the call
// may be made again; a builder keeps the failure for every later call.
TEST(Vectors, AllocationFailures)
{
	json_ptr cases = load(read_file(vectors("allocation/calls.json")));
	ASSERT_GT(size(cases.get()), 0u);
	for (size_t i = 0; i < size(cases.get()); i++) {
		json_object *o = at(cases.get(), i), *failures = member(o, "failures");
		std::string op = json_object_get_string(at(member(o, "call"), 0));
		bool keeps = (op.starts_with("add_") && op != "add_dictionary") ||
			     op.ends_with("_begin");
		for (size_t n = 1; n <= size(failures) + 1; n++) {
			SCOPED_TRACE(testing::Message() << "case " << i << ", allocation " << n);
			allocation_world w(o, true);
			rde_bej_dictionary *newest = rde_bej_dictionary_first(w.context.get());
			stderr_capture log;
			fail_at = allocations + static_cast<long>(n);
			int status = allocating_call(w, o);
			fail_at = 0;
			EXPECT_EQ(status, n <= size(failures) ? -ENOMEM : 0);
			EXPECT_EQ(log.text(), lines(at(failures, n - 1)));
			if (n > size(failures))
				break;
			stderr_capture after;
			EXPECT_TRUE(w.tree == kept && w.built == kept && w.bytes == kept &&
				    w.length == 3);
			EXPECT_EQ(rde_bej_dictionary_first(w.context.get()), newest);
			EXPECT_EQ(keeps ? rde_bej_encode(w.b, &w.bytes, &w.length)
					: allocating_call(w, o),
				  keeps ? -ENOMEM : 0);
			EXPECT_EQ(after.text(), "");
		}
	}
}

// ---- what needs code ---------------------------------------------------------

}  // namespace
