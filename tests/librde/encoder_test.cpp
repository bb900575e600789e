// The builder, its setters, the encoder and locators, through the public
// interface.  Whole encodings worked out by hand live in
// tests/vectors/encode/<case>/ (dictionary.json, optional annotation.json,
// calls.json, expected.hex).
#include <librde/rde_bej.h>

#include "bej_internal.h"
#include "dictc.h"
#include "paths.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const char *const SCHEMA = R"({"name": "Root", "version": "1.0.0", "children": [
  {"name": "Count", "type": "integer"},
  {"name": "Name", "type": "string", "nullable": true},
  {"name": "Status", "type": "set", "children": [
    {"name": "Health", "type": "enum", "options": ["OK", "Warning"]},
    {"name": "State", "type": "string"}]},
  {"name": "Items", "type": "array", "item": {"type": "integer"}},
  {"name": "Temp", "type": "real"},
  {"name": "On", "type": "boolean"},
  {"name": "Pick", "type": "choice", "children": [{"type": "integer"}, {"type": "string"}]}
]})";

const char *const ANNOTATION = R"({"name": "annotation", "version": "1.0.0", "children": [
  {"name": "@odata.context", "type": "string"},
  {"name": "@odata.etag", "type": "string"},
  {"name": "@odata.id", "type": "string"},
  {"name": "@odata.count", "type": "integer"},
  {"name": "@Message.ExtendedInfo", "type": "array", "item": {"type": "set", "children": [
    {"name": "MessageId", "type": "string"}]}}
]})";

const std::string HEADER = "00 F0 F0 F1 00 00 00 ";

// A context holding compiled descriptions; logging at its default level.
class Dictionaries {
public:
	Dictionaries()
	{
		unsetenv("LIBRDE_LOG_LEVEL");
		rde_bej_init();
		context = rde_bej_context_new();
	}
	~Dictionaries() { rde_bej_context_free(context); }
	bool add(const std::string &description, int32_t schema_type)
	{
		bytes data;
		std::string error;
		if (!dictc::compile(description, &data, &error)) {
			ADD_FAILURE() << "description refused: " << error;
			return false;
		}
		int status = rde_bej_add_dictionary(context, schema_type, nullptr, data.data(), data.size());
		EXPECT_EQ(status, 0);
		return status == 0;
	}
	rde_bej_context *context;
};

// A builder that frees itself.
struct Builder {
	explicit Builder(rde_bej_builder *builder) : b(builder) {}
	~Builder() { rde_bej_builder_free(b); }
	rde_bej_builder *b;
};

struct Locator {
	~Locator() { rde_bej_locator_free(l); }
	rde_bej_locator *l = nullptr;
};

bytes encode(rde_bej_builder *builder, int expected_status = 0)
{
	uint8_t *buffer = nullptr;
	size_t length = 0;
	EXPECT_EQ(rde_bej_encode(builder, &buffer, &length), expected_status);
	bytes out(buffer, buffer + length);
	std::free(buffer);
	return out;
}

std::string hex(const bytes &b) { return to_hex(b); }
std::string hex(const std::string &text) { return to_hex(parse_hex(text)); }

int build_locator(Dictionaries &d, const char *name, int32_t type,
		  const std::vector<rde_bej_locator_component> &steps, Locator &out)
{
	return rde_bej_locator_build_ext(d.context, name, type, steps.data(),
					 static_cast<uint32_t>(steps.size()), &out.l);
}

// ---- table-driven vectors ----

int run_call(rde_bej_builder *b, json_object *call)
{
	auto arg = [call](size_t i) { return json_object_array_get_idx(call, i); };
	std::string op = json_object_get_string(arg(0));
	const char *name = arg(1) && !json_object_is_type(arg(1), json_type_null)
				   ? json_object_get_string(arg(1))
				   : nullptr;
	if (op == "add_integer")
		return rde_bej_add_integer(b, name, json_object_get_int64(arg(2)));
	if (op == "add_boolean")
		return rde_bej_add_boolean(b, name, json_object_get_boolean(arg(2)));
	if (op == "add_string")
		return rde_bej_add_string(b, name, json_object_get_string(arg(2)));
	if (op == "add_real")
		return rde_bej_add_real(b, name, json_object_get_int(arg(2)),
					json_object_get_double(arg(3)));
	if (op == "add_enum")
		return rde_bej_add_enum(b, name, json_object_get_string(arg(2)));
	if (op == "add_null")
		return rde_bej_add_null(b, name);
	if (op == "set_begin")
		return rde_bej_set_begin(b, name);
	if (op == "array_begin")
		return rde_bej_array_begin(b, name);
	if (op == "set_end")
		return rde_bej_set_end(b);
	if (op == "array_end")
		return rde_bej_array_end(b);
	ADD_FAILURE() << "unknown call " << op;
	return -1;
}

TEST(EncodeVectors, EveryCaseEncodesToItsExpectedBytes)
{
	namespace fs = std::filesystem;
	fs::path root = fs::path(tests_source_dir()) / "vectors" / "encode";
	int cases = 0;
	for (const auto &entry : fs::directory_iterator(root)) {
		fs::path dir = entry.path();
		SCOPED_TRACE(dir.filename().string());
		cases++;
		json_object *calls = json_tokener_parse(read_file(dir / "calls.json").c_str());
		ASSERT_NE(calls, nullptr);
		json_object *field = nullptr;
		int32_t schema_type = json_object_object_get_ex(calls, "schema_type", &field)
					      ? json_object_get_int(field)
					      : 0;
		Dictionaries d;
		if (json_object_object_get_ex(calls, "accept_sequence_gaps", &field))
			rde_bej_context_set_options(d.context, RDE_BEJ_ACCEPT_SEQUENCE_GAPS);
		ASSERT_TRUE(d.add(read_file(dir / "dictionary.json"), schema_type));
		if (fs::exists(dir / "annotation.json")) {
			ASSERT_TRUE(d.add(read_file(dir / "annotation.json"), 2));
		}

		Locator locator;
		if (json_object_object_get_ex(calls, "locator", &field)) {
			std::vector<rde_bej_locator_component> steps;
			for (size_t i = 0; i < json_object_array_length(field); i++) {
				json_object *s = json_object_array_get_idx(field, i);
				if (json_object_is_type(s, json_type_int))
					steps.push_back({nullptr, static_cast<uint16_t>(json_object_get_int(s))});
				else
					steps.push_back({json_object_get_string(s), 0});
			}
			ASSERT_EQ(build_locator(d, "Root", schema_type, steps, locator), 0);
		}
		Builder b(rde_bej_builder_new(d.context, schema_type, "Root", locator.l));
		ASSERT_NE(b.b, nullptr);
		ASSERT_TRUE(json_object_object_get_ex(calls, "calls", &field));
		for (size_t i = 0; i < json_object_array_length(field); i++)
			ASSERT_EQ(run_call(b.b, json_object_array_get_idx(field, i)), 0) << "call " << i;
		bytes first = encode(b.b);
		EXPECT_EQ(hex(first), hex(read_file(dir / "expected.hex")));
		EXPECT_EQ(encode(b.b), first) << "a second encoding differs";
		json_object_put(calls);
	}
	EXPECT_GE(cases, 7);
}

// ---- numbers ----

// Encodes one value into a builder rooted at a leaf of SCHEMA and returns
// the encoding as hex.
std::string encode_leaf(const char *path, const std::function<int(rde_bej_builder *)> &set)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	Locator locator;
	EXPECT_EQ(build_locator(d, "Root", 0, {{path, 0}}, locator), 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", locator.l));
	EXPECT_EQ(set(b.b), 0);
	return hex(encode(b.b));
}

std::string tuple(const char *s, const char *f, const std::string &v)
{
	bytes value = parse_hex(v);
	char l[8];
	std::snprintf(l, sizeof l, "01 %02X ", static_cast<unsigned>(value.size()));
	return hex(HEADER + s + " " + f + " " + l + v);
}

TEST(EncodeNumbers, IntegersTakeTheSmallestSignedForm)
{
	const struct {
		int64_t value;
		const char *v;
	} cases[] = {
		{0, "00"},
		{127, "7F"},
		{128, "80 00"},
		{255, "FF 00"},
		{256, "00 01"},
		{32767, "FF 7F"},
		{32768, "00 80 00"},
		{std::numeric_limits<int64_t>::max(), "FF FF FF FF FF FF FF 7F"},
		{-1, "FF FF FF FF FF FF FF FF"},
		{-128, "80 FF FF FF FF FF FF FF"},
		{-129, "7F FF FF FF FF FF FF FF"},
		{std::numeric_limits<int64_t>::min(), "00 00 00 00 00 00 00 80"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.value);
		EXPECT_EQ(encode_leaf("Count", [&](rde_bej_builder *b) {
				  return rde_bej_add_integer(b, nullptr, c.value);
			  }),
			  tuple("01 00", "30", c.v));
	}
}

TEST(EncodeNumbers, RealsKeepSixFractionDigits)
{
	const std::string ZERO = "01 00 ";
	const std::string NEG1 = "01 08 FF FF FF FF FF FF FF FF ";
	const std::string NEG2 = "01 08 FE FF FF FF FF FF FF FF ";
	// whole (length, integer) | leading zeros | fraction | exponent
	const struct {
		double value;
		std::string v;
	} cases[] = {
		{3.25, "01 01 03 | 01 00 | 03 90 D0 03 | 01 00"},
		{3.14159, "01 01 03 | 01 00 | 03 16 29 02 | 01 00"},
		{0.05, "01 01 00 | 01 01 | 02 50 C3 | 01 00"},
		{0.000123, "01 01 00 | 01 03 | 01 7B | 01 00"},
		{-1.5, NEG1 + ZERO + "03 20 A1 07" + ZERO},
		{-0.25, NEG2 + ZERO + "03 20 A1 07 | 01 08 FF FF FF FF FF FF FF FF"},
		{-0.000123, NEG1 + ZERO + "03 70 82 03 | 01 08 FC FF FF FF FF FF FF FF"},
		{-0.001, NEG1 + ZERO + ZERO + "01 08 FD FF FF FF FF FF FF FF"},
		{0.0000001, "01 01 00 | 01 00 | 01 00 | 01 00"},
		{7.0000005, "01 01 07 | 01 00 | 01 00 | 01 00"},
		{100.0, "01 01 64 | 01 00 | 01 00 | 01 00"},
		{0.0, "01 01 00 | 01 00 | 01 00 | 01 00"},
		// A fraction that rounds up to a whole unit carries into the
		// whole part, away from zero: the rounded number, no negative
		// count of leading zeros.
		{1.9999999, "01 01 02 | 01 00 | 01 00 | 01 00"},
		{0.9999999, "01 01 01 | 01 00 | 01 00 | 01 00"},
		{-1.9999999, NEG2 + ZERO + ZERO + ZERO},
		// Scaled to -9.9999999e-1, carried to -10e-1, written as -1.
		{-0.99999999, NEG1 + ZERO + ZERO + ZERO},
		{-0.0999999999, NEG1 + ZERO + ZERO + "01 08 FF FF FF FF FF FF FF FF"},
		// log10 gives exactly -1 for the number just above -0.1; the
		// whole part must still carry the sign.
		{std::nextafter(-0.1, 0.0), NEG1 + ZERO + ZERO + "01 08 FF FF FF FF FF FF FF FF"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.value);
		std::string v = c.v;
		for (char &ch : v) {
			if (ch == '|')
				ch = ' ';
		}
		EXPECT_EQ(encode_leaf("Temp", [&](rde_bej_builder *b) {
				  return rde_bej_add_real(b, nullptr, 6, c.value);
			  }),
			  tuple("01 08", "60", v));
	}
}

TEST(EncodeNumbers, RealsTheFormCannotHoldAreRefused)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	for (double v : {std::nan(""), HUGE_VAL, -1e19}) {
		Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
		testing::internal::CaptureStderr();
		EXPECT_EQ(rde_bej_add_real(b.b, "Temp", 6, v), -EINVAL);
		EXPECT_NE(testing::internal::GetCapturedStderr().find(
				  "Real value of property 'Temp' is out of range"),
			  std::string::npos);
	}
	// More fraction digits than 64 bits hold.
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_add_real(b.b, "Temp", 400, 0.5), -EINVAL);
	testing::internal::GetCapturedStderr();
}

// ---- builder ----

TEST(Builder, FirstFailureSticksWithoutFurtherMessages)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_add_integer(b.b, "Name", 1), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Invalid format for property 'Name' (expected string, received integer)\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_add_integer(b.b, "Count", 1), -EINVAL);
	EXPECT_EQ(rde_bej_add_boolean(b.b, "On", true), -EINVAL);
	EXPECT_EQ(rde_bej_add_string(b.b, "Name", "x"), -EINVAL);
	EXPECT_EQ(rde_bej_add_real(b.b, "Temp", 6, 1.5), -EINVAL);
	EXPECT_EQ(rde_bej_add_null(b.b, "Name"), -EINVAL);
	EXPECT_EQ(rde_bej_set_begin(b.b, "Status"), -EINVAL);
	EXPECT_EQ(rde_bej_add_enum(b.b, "Health", "OK"), -EINVAL);
	EXPECT_EQ(rde_bej_set_end(b.b), -EINVAL);
	EXPECT_EQ(rde_bej_array_begin(b.b, "Items"), -EINVAL);
	EXPECT_EQ(rde_bej_array_end(b.b), -EINVAL);
	uint8_t sentinel = 0;
	uint8_t *buffer = &sentinel;
	size_t length = 12345;
	EXPECT_EQ(rde_bej_encode(b.b, &buffer, &length), -EINVAL);
	EXPECT_EQ(buffer, &sentinel);
	EXPECT_EQ(length, 12345u);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

	uint32_t type = 99;
	EXPECT_EQ(rde_bej_get_property_type(b.b, "Count", &type), 0);
	EXPECT_EQ(type, static_cast<uint32_t>(RDE_BEJ_DATA_TYPE_INTEGER));
}

// Runs calls on a fresh SCHEMA builder; the last one must fail with status
// and log exactly `log`.
void expect_failure(const std::function<int(rde_bej_builder *)> &calls, int status,
		    const std::string &log)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	testing::internal::CaptureStderr();
	EXPECT_EQ(calls(b.b), status);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), log);
}

TEST(Builder, ScopeAndTypeFailures)
{
	expect_failure([](rde_bej_builder *b) { return rde_bej_set_end(b); }, -EINVAL,
		       "librde[error]: Unexpected call to rde_bej_set_end\n");
	expect_failure(
		[](rde_bej_builder *b) {
			rde_bej_set_begin(b, "Status");
			return rde_bej_array_end(b);
		},
		-EINVAL, "librde[error]: Unexpected call to rde_bej_array_end\n");
	expect_failure([](rde_bej_builder *b) { return rde_bej_set_begin(b, "Items"); }, -EINVAL,
		       "librde[error]: Invalid format for property 'Items' (expected array, received set)\n");
	expect_failure(
		[](rde_bej_builder *b) {
			rde_bej_array_begin(b, "Items");
			return rde_bej_add_integer(b, "x", 1);
		},
		-EINVAL,
		"librde[error]: Array items must be unnamed\n"
		"librde[error]: Could not find property 'x'\n");
	expect_failure([](rde_bej_builder *b) { return rde_bej_add_integer(b, "Nope", 1); }, -EINVAL,
		       "librde[error]: Could not find property 'Nope'\n");
	// Options match exactly; a miss fails without a message.
	expect_failure([](rde_bej_builder *b) {
		rde_bej_set_begin(b, "Status");
		return rde_bej_add_enum(b, "Health", "warning");
	}, -EINVAL, "");
	expect_failure([](rde_bej_builder *b) { return rde_bej_add_string(b, "Name", nullptr); },
		       -EINVAL, "");
	// The old value goes even when the null is refused.
	expect_failure(
		[](rde_bej_builder *b) {
			rde_bej_add_integer(b, "Count", 5);
			return rde_bej_add_null(b, "Count");
		},
		-EINVAL, "librde[error]: Property 'Count' is not nullable\n");
	expect_failure([](rde_bej_builder *b) { return rde_bej_add_null(b, "Temp"); }, -EINVAL,
		       "librde[error]: Property 'Temp' is not nullable\n");
}

TEST(Builder, TypeQueriesAnswerWithoutFailingTheBuilder)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	uint32_t type = 99;
	EXPECT_EQ(rde_bej_get_scope_type(b.b, &type), 0);
	EXPECT_EQ(type, static_cast<uint32_t>(RDE_BEJ_DATA_TYPE_SET));
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_property_type(b.b, "Nope", &type), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Unable to find a property named 'Nope' in 'Root'\n");
	EXPECT_EQ(rde_bej_array_begin(b.b, "Items"), 0);
	EXPECT_EQ(rde_bej_get_property_type(b.b, nullptr, &type), 0);
	EXPECT_EQ(type, static_cast<uint32_t>(RDE_BEJ_DATA_TYPE_INTEGER));
	EXPECT_EQ(rde_bej_get_scope_type(b.b, &type), 0);
	EXPECT_EQ(type, static_cast<uint32_t>(RDE_BEJ_DATA_TYPE_ARRAY));
}

TEST(Builder, StringsMarkDeferredBindingEachTime)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	ASSERT_EQ(rde_bej_add_string(b.b, "Name", "%L1"), 0);
	EXPECT_EQ(hex(encode(b.b)), hex(HEADER + "01 00 00 01 0B 01 01 01 02 55 01 04 25 4C 31 00"));
	ASSERT_EQ(rde_bej_add_string(b.b, "Name", "L1"), 0);
	EXPECT_EQ(hex(encode(b.b)), hex(HEADER + "01 00 00 01 0A 01 01 01 02 54 01 03 4C 31 00"));
}

TEST(Builder, LeafRootsTakeUnnamedValuesOnly)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	Locator count;
	ASSERT_EQ(build_locator(d, "Root", 0, {{"Count", 0}}, count), 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", count.l));
	uint32_t type = 99;
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_property_type(b.b, "Other", &type), -EINVAL);
	EXPECT_EQ(rde_bej_add_integer(b.b, "Other", 1), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Property 'Count' is a single integer value and has no member 'Other'\n"
		  "librde[error]: Unable to find a property named 'Other' in 'Count'\n"
		  "librde[error]: Property 'Count' is a single integer value and has no member 'Other'\n"
		  "librde[error]: Could not find property 'Other'\n");

	// A leaf root that never received a value writes its zero value; a
	// string's is the empty string.
	Locator name;
	ASSERT_EQ(build_locator(d, "Root", 0, {{"Name", 0}}, name), 0);
	Builder fresh(rde_bej_builder_new(d.context, 0, "Root", name.l));
	EXPECT_EQ(hex(encode(fresh.b)), hex(HEADER + "01 02 54 01 01 00"));
	// Set to a string and then to null, it releases the string.
	ASSERT_EQ(rde_bej_add_string(fresh.b, nullptr, "%C"), 0);
	ASSERT_EQ(rde_bej_add_null(fresh.b, nullptr), 0);
	EXPECT_EQ(hex(encode(fresh.b)), hex(HEADER + "01 02 24 01 00"));
}

TEST(Builder, LocatorChoices)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	d.add(ANNOTATION, 2);
	// Without components the builder starts at the dictionary's root.
	Locator empty;
	ASSERT_EQ(build_locator(d, "Root", 0, {}, empty), 0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", empty.l));
	ASSERT_NE(b.b, nullptr);
	EXPECT_EQ(hex(encode(b.b)), hex(HEADER + "01 00 00 01 02 01 00"));

	// A locator of another dictionary is refused.
	Locator other;
	ASSERT_EQ(build_locator(d, "annotation", 2, {{"@odata.id", 0}}, other), 0);
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_builder_new(d.context, 0, "Root", other.l), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Locator does not belong to the resource named 'Root'\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_builder_new(d.context, 1, "Root", nullptr), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Could not find dictionary for a resource named 'Root'\n");
}

TEST(Builder, ScopesNestAtMostSixtyFourLevels)
{
	Dictionaries d;
	d.add(R"({"name": "Root", "version": "1.0.0", "children": [
	  {"name": "Node", "type": "set", "id": "N", "children": [
	    {"name": "Node", "type": "set", "children_of": "N"}]}]})",
	      0);
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	for (int i = 0; i < 64; i++)
		ASSERT_EQ(rde_bej_set_begin(b.b, "Node"), 0) << i;
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_set_begin(b.b, "Node"), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Nesting of property 'Node' exceeds 64 levels\n");
}

TEST(Builder, TraceListsEveryTupleInPreOrder)
{
	Dictionaries d;
	d.add(SCHEMA, 0);
	d.add(ANNOTATION, 2);
	setenv("LIBRDE_LOG_LEVEL", "trace", 1);
	rde_bej_init();
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	rde_bej_add_integer(b.b, "Count", -3);
	rde_bej_set_begin(b.b, "Status");
	rde_bej_add_enum(b.b, "Health", "Warning");
	rde_bej_set_end(b.b);
	rde_bej_add_integer(b.b, "Items@odata.count", 2);
	rde_bej_add_real(b.b, "Temp", 6, -1.5);
	testing::internal::CaptureStderr();
	encode(b.b);
	std::string log = testing::internal::GetCapturedStderr();
	unsetenv("LIBRDE_LOG_LEVEL");
	rde_bej_init();
	EXPECT_EQ(log,
		  "librde[trace]: Encoding set Root with 4 elements\n"
		  "librde[trace]: Encoding integer Count with -3\n"
		  "librde[trace]: Encoding set Status with 1 elements\n"
		  "librde[trace]: Encoding enum Health with 1\n"
		  "librde[trace]: Encoding integer @odata.count with 2\n"
		  "librde[trace]: Encoding property_annotation @odata.count with 2\n"
		  "librde[trace]: Encoding real Temp with 18446744073709551615.500000\n");
}

// ---- locators ----

const char *const PATHS = R"({"name": "Root", "version": "1.0.0", "children": [
  {"name": "A", "type": "integer"}, {"name": "B", "type": "integer"},
  {"name": "C", "type": "integer"}, {"name": "D", "type": "integer"},
  {"name": "E", "type": "integer"},
  {"name": "Status", "type": "set", "children": [
    {"name": "X", "type": "integer"}, {"name": "Y", "type": "integer"},
    {"name": "Health", "type": "enum", "options": ["OK"]}]},
  {"name": "Items", "type": "array", "item": {"type": "integer"}},
  {"name": "Pick", "type": "choice", "children": [{"type": "integer"}]}
]})";

std::string encoded_locator(Dictionaries &d, const char *name, int32_t type,
			    const std::vector<rde_bej_locator_component> &steps)
{
	Locator locator;
	EXPECT_EQ(build_locator(d, name, type, steps, locator), 0);
	if (!locator.l)
		return "";
	uint8_t *buffer = nullptr;
	size_t length = 0;
	EXPECT_EQ(rde_bej_locator_encode(locator.l, &buffer, &length), 0);
	bytes out(buffer, buffer + length);
	std::free(buffer);
	return hex(out);
}

TEST(Locator, EncodesOneFieldPerStep)
{
	Dictionaries d;
	d.add(PATHS, 0);
	d.add(ANNOTATION, 2);
	EXPECT_EQ(encoded_locator(d, "Root", 0, {{"Status", 0}, {"Health", 0}}),
		  hex("01 06 01 00 01 0A 01 04"));
	EXPECT_EQ(encoded_locator(d, "Root", 0, {}), hex("01 02 01 00"));
	// The annotation dictionary's selector makes every field odd.
	EXPECT_EQ(encoded_locator(d, "annotation", 2, {{"@odata.count", 0}}),
		  hex("01 04 01 01 01 07"));
	// An item step writes the item property's field, whatever the index.
	EXPECT_EQ(encoded_locator(d, "Root", 0, {{"Items", 0}, {nullptr, 2}}),
		  hex("01 06 01 00 01 0C 01 00"));

	Locator path, item;
	ASSERT_EQ(build_locator(d, "Root", 0, {{"Status", 0}, {"Health", 0}}, path), 0);
	EXPECT_STREQ(path.l->path, "Status/Health");
	ASSERT_EQ(build_locator(d, "Root", 0, {{"Items", 0}, {nullptr, 2}}, item), 0);
	EXPECT_EQ(item.l->path, nullptr);
	EXPECT_EQ(item.l->components[1].index, 2);
	rde_bej_locator_free(nullptr);
}

// A dictionary whose root holds 201 integers named PREFIX0 to PREFIX200.
std::string wide_dictionary(const char *root, const char *prefix)
{
	std::string description = std::string(R"({"name": ")") + root +
				  R"(", "version": "1.0.0", "children": [)";
	for (int i = 0; i <= 200; i++)
		description += (i ? ", {\"name\": \"" : "{\"name\": \"") + std::string(prefix) +
			       std::to_string(i) + R"(", "type": "integer"})";
	return description + "]}";
}

TEST(Locator, SequenceNumberTwoHundred)
{
	Dictionaries d;
	d.add(wide_dictionary("Root", "P"), 0);
	d.add(wide_dictionary("annotation", "@A"), 2);
	EXPECT_EQ(encoded_locator(d, "Root", 0, {{"P200", 0}}), hex("01 05 01 00 02 90 01"));
	Builder b(rde_bej_builder_new(d.context, 0, "Root", nullptr));
	ASSERT_EQ(rde_bej_add_integer(b.b, "P200", 1), 0);
	// The outer length of an annotation counts the inner tuple's S bytes.
	ASSERT_EQ(rde_bej_add_integer(b.b, "P100@A200", 1), 0);
	EXPECT_EQ(hex(encode(b.b)), hex(HEADER + "01 00 00 01 15 01 02"
						 " 02 90 01 30 01 01 01"
						 " 01 C8 A0 01 07 02 91 01 30 01 01 01"));
}

TEST(Locator, RefusedSteps)
{
	Dictionaries d;
	d.add(PATHS, 0);
	const struct {
		std::vector<rde_bej_locator_component> steps;
		int status;
		const char *log;
	} cases[] = {
		{{{"Status", 0}, {"health", 0}}, -EINVAL, "Invalid locator component: health"},
		{{{"Nope", 0}}, -EINVAL, "Invalid locator component: Nope"},
		{{{nullptr, 2}}, -EINVAL, "Invalid locator component: not an array item"},
		// An item step below a leaf shows the step's index.
		{{{"A", 0}, {nullptr, 2}}, -EINVAL, "Invalid locator component: [2]"},
		{{{"Items", 0}, {"X", 0}}, -EINVAL, "Invalid locator component: X"},
		// A choice's options are unnamed: a named step below it is refused.
		{{{"Pick", 0}, {"X", 0}}, -EINVAL, "Invalid locator component: X"},
		{{{"Status", 1}}, -EINVAL,
		 "Invalid locator components format: non-zero sequence number is only valid for "
		 "array items (Status)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.log);
		Locator locator;
		testing::internal::CaptureStderr();
		EXPECT_EQ(build_locator(d, "Root", 0, c.steps, locator), c.status);
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
			  std::string("librde[error]: ") + c.log + "\n");
		EXPECT_EQ(locator.l, nullptr);
	}
	Locator missing;
	testing::internal::CaptureStderr();
	EXPECT_EQ(build_locator(d, "Nope", 0, {}, missing), -ENOENT);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "librde[error]: Couldn't find dictionary named Nope\n");
}

}  // namespace
