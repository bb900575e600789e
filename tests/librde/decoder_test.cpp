// Decoding BEJ into value trees and reading them back through the accessors.
// The byte-level cases are vectors under tests/vectors/decode/ (see its
// README.md); this file runs them and adds what needs code: the getters'
// outcomes, navigation messages, nesting bounds, locators and tracing.
#include <librde/rde_bej.h>

#include "dictc.h"
#include "paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string vectors_dir() { return tests_source_dir() + "/vectors/decode"; }

std::vector<uint8_t> compile(const std::string &description)
{
	std::vector<uint8_t> bytes;
	std::string error;
	EXPECT_TRUE(dictc::compile(description, &bytes, &error)) << error;
	return bytes;
}

// A context with a schema dictionary (schema type 0) and, when asked, the
// annotation dictionary of the vectors.
struct registry {
	rde_bej_context *context = rde_bej_context_new();
	std::string name;

	explicit registry(const std::string &schema, bool annotations = true, bool gaps = false)
	{
		if (gaps)
			rde_bej_context_set_options(context, RDE_BEJ_ACCEPT_SEQUENCE_GAPS);
		std::vector<uint8_t> bytes = compile(schema);
		EXPECT_EQ(rde_bej_add_dictionary(context, 0, nullptr, bytes.data(), bytes.size()), 0);
		if (annotations) {
			bytes = compile(read_file(vectors_dir() + "/annotation.json"));
			EXPECT_EQ(rde_bej_add_dictionary(context, RDE_BEJ_SCHEMA_TYPE_ANNOTATION, nullptr,
							 bytes.data(), bytes.size()),
				  0);
		}
		for (rde_bej_dictionary *d = rde_bej_dictionary_first(context); d;
		     d = rde_bej_dictionary_next(d)) {
			if (rde_bej_dictionary_get_schema_type(d) == 0)
				name = rde_bej_dictionary_get_name(d);
		}
	}
	registry(const registry &) = delete;
	~registry() { rde_bej_context_free(context); }
};

// One decode with the library's standard error captured.
struct decoded {
	int status = 0;
	rde_bej_value *root = nullptr;
	std::string log;

	decoded() = default;
	decoded(const decoded &) = delete;
	~decoded() { rde_bej_value_free(root); }
};

// Stands in for a result the decoder must leave alone on failure.
rde_bej_value *const untouched = reinterpret_cast<rde_bej_value *>(uintptr_t{0x10});

void decode(decoded &out, const registry &r, const std::vector<uint8_t> &bytes,
	    const rde_bej_locator *locator = nullptr, const char *name = nullptr)
{
	rde_bej_value *root = untouched;
	testing::internal::CaptureStderr();
	out.status = rde_bej_decode(r.context, name ? name : r.name.c_str(), 0, bytes.data(),
				    bytes.size(), locator, &root);
	out.log = testing::internal::GetCapturedStderr();
	if (out.status == 0)
		out.root = root;
	else
		EXPECT_EQ(root, untouched) << "result written on failure";
}

// One tuple: sequence-number field, format byte, length, value.
std::vector<uint8_t> tuple(uint64_t sequence_field, uint8_t format,
			   const std::vector<uint8_t> &value)
{
	std::vector<uint8_t> bytes = nnint(sequence_field);
	bytes.push_back(format);
	std::vector<uint8_t> length = nnint(value.size());
	bytes.insert(bytes.end(), length.begin(), length.end());
	bytes.insert(bytes.end(), value.begin(), value.end());
	return bytes;
}

// A set's value: member count, then the member tuples.
std::vector<uint8_t> members(uint64_t count, const std::vector<uint8_t> &tuples)
{
	std::vector<uint8_t> bytes = nnint(count);
	bytes.insert(bytes.end(), tuples.begin(), tuples.end());
	return bytes;
}

// A whole encoding: header, then the root tuple.
std::vector<uint8_t> encoding(const std::vector<uint8_t> &root)
{
	std::vector<uint8_t> bytes = {0x00, 0xF0, 0xF0, 0xF1, 0x00, 0x00, 0x00};
	bytes.insert(bytes.end(), root.begin(), root.end());
	return bytes;
}

// A resource of the vectors' schema holding the one member given in hex.
std::vector<uint8_t> resource_with(const std::string &member_hex)
{
	return encoding(tuple(0, 0x00, members(1, parse_hex(member_hex))));
}

std::string error_line(const std::string &message) { return "librde[error]: " + message + "\n"; }

// The tree as the vectors' "tree" files show it.
void dump(rde_bej_value *value, int level, size_t position, std::ostringstream &out)
{
	out << std::string(2 * level, ' ');
	const char *name = rde_bej_get_name(value);
	if (rde_bej_is_property_annotation(value))
		out << rde_bej_get_annotated_name(value) << name;
	else if (name)
		out << name;
	else
		out << '[' << position << ']';
	uint32_t type = rde_bej_get_type(value);
	out << ' ' << rde_bej_data_type_name(type);
	switch (type) {
	case RDE_BEJ_DATA_TYPE_INTEGER: {
		int64_t x = 0;
		EXPECT_EQ(rde_bej_get_integer(value, &x), 0);
		out << ' ' << x;
		break;
	}
	case RDE_BEJ_DATA_TYPE_STRING: {
		char *s = nullptr;
		EXPECT_EQ(rde_bej_get_string(value, &s), 0);
		out << " \"" << s << '"';
		break;
	}
	case RDE_BEJ_DATA_TYPE_ENUM: {
		const char *option = nullptr;
		EXPECT_EQ(rde_bej_get_enum(value, &option), 0);
		out << ' ' << option;
		break;
	}
	case RDE_BEJ_DATA_TYPE_REAL: {
		double x = 0;
		EXPECT_EQ(rde_bej_get_real(value, &x), 0);
		char text[64];
		std::snprintf(text, sizeof text, "%.15g", x);
		out << ' ' << text;
		break;
	}
	case RDE_BEJ_DATA_TYPE_BOOLEAN: {
		bool b = false;
		EXPECT_EQ(rde_bej_get_boolean(value, &b), 0);
		out << (b ? " true" : " false");
		break;
	}
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK: {
		uint32_t link = 0;
		EXPECT_EQ(rde_bej_get_resource_link(value, &link), 0);
		out << ' ' << link;
		break;
	}
	default:
		break;
	}
	out << '\n';
	if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY) {
		size_t i = 0;
		for (rde_bej_value *child = rde_bej_get_first_child(value); child;
		     child = rde_bej_get_next_sibling(child))
			dump(child, level + 1, i++, out);
	}
}

std::string dump(rde_bej_value *root)
{
	std::ostringstream out;
	dump(root, 0, 0, out);
	return out.str();
}

// What the tuple reader hands out, as the vectors' "tuples" files show it:
// one tuple a line, indented by depth, then the reason it stopped, if any.
struct listing {
	std::ostringstream out;
	const uint8_t *bytes;
};

int list_tuple(const rde_bej_tuple *t, void *user_data)
{
	auto *l = static_cast<listing *>(user_data);
	EXPECT_EQ(t->value, l->bytes + t->value_offset);
	std::ostringstream &out = l->out;
	out << std::string(2 * t->depth, ' ') << t->offset << " [" << t->index << "] "
	    << t->sequence_number << '/' << t->selector << ' ' << std::hex << std::setw(2)
	    << std::setfill('0') << unsigned{t->format} << std::dec << " L=" << t->length << " @" << t->value_offset;
	const auto &d = t->data;
	switch (t->format >> 4) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY:
		out << " members=" << d.child_count;
		break;
	case RDE_BEJ_DATA_TYPE_INTEGER:
		out << (d.integer.negative ? " int=" : " uint=") << d.integer.value;
		break;
	case RDE_BEJ_DATA_TYPE_ENUM:
		out << " option=" << d.enum_option;
		break;
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		out << " bool=" << d.boolean;
		break;
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		out << " link=" << d.resource_link;
		break;
	case RDE_BEJ_DATA_TYPE_REAL:
		out << " real=" << d.real.whole << ',' << d.real.leading_zero_count << ','
		    << d.real.fraction << ',' << d.real.exponent;
		break;
	}
	out << '\n';
	return 0;
}

std::string list_tuples(const std::vector<uint8_t> &bytes)
{
	listing l{{}, bytes.data()};
	rde_bej_read_error error{};
	if (rde_bej_read_encoding(bytes.data(), bytes.size(), nullptr, list_tuple, &l, &error))
		l.out << "error at " << error.offset << ": " << error.reason << '\n';
	return l.out.str();
}

class Environment : public testing::Environment {
public:
	void SetUp() override
	{
		unsetenv("LIBRDE_LOG_LEVEL");
		rde_bej_init();
	}
};
const testing::Environment *const environment =
	testing::AddGlobalTestEnvironment(new Environment);

// ---- vectors -------------------------------------------------------------

std::vector<std::string> vector_cases()
{
	std::vector<std::string> cases;
	for (const auto &entry : std::filesystem::directory_iterator(vectors_dir())) {
		if (entry.is_directory())
			cases.push_back(entry.path().filename().string());
	}
	std::sort(cases.begin(), cases.end());
	return cases;
}

class DecodeVector : public testing::TestWithParam<std::string> {};

TEST_P(DecodeVector, MatchesExpectation)
{
	const std::string dir = vectors_dir() + "/" + GetParam();
	const std::string schema = file_exists(dir + "/schema.json") ? dir + "/schema.json"
								   : vectors_dir() + "/schema.json";
	registry r(read_file(schema), !file_exists(dir + "/no-annotation"),
		   file_exists(dir + "/accept-gaps"));

	std::istringstream expected(read_file(dir + "/expected"));
	std::string status_line, line, expected_log;
	std::getline(expected, status_line);
	while (std::getline(expected, line))
		expected_log += line + "\n";

	decoded d;
	decode(d, r, parse_hex(read_file(dir + "/input.hex")));
	int status = status_line == "-EINVAL"   ? -EINVAL
		     : status_line == "-ENOENT" ? -ENOENT
		     : status_line == "0"       ? 0
						: 1;
	EXPECT_EQ(d.status, status) << "expected " << status_line;
	EXPECT_EQ(d.log, expected_log);
	if (d.status == 0 && file_exists(dir + "/tree")) {
		EXPECT_EQ(dump(d.root), read_file(dir + "/tree"));
	}
	if (file_exists(dir + "/tuples")) {
		EXPECT_EQ(list_tuples(parse_hex(read_file(dir + "/input.hex"))),
			  read_file(dir + "/tuples"));
	}
}

INSTANTIATE_TEST_SUITE_P(Vectors, DecodeVector, testing::ValuesIn(vector_cases()),
			 [](const testing::TestParamInfo<std::string> &param) { return param.param; });

// ---- access --------------------------------------------------------------

class Access : public testing::Test {
protected:
	registry r{read_file(vectors_dir() + "/schema.json")};

	// Decodes a resource holding one member; the member is the result.
	rde_bej_value *member(decoded &d, const std::string &member_hex)
	{
		decode(d, r, resource_with(member_hex));
		EXPECT_EQ(d.status, 0) << d.log;
		return d.root ? rde_bej_get_first_child(d.root) : nullptr;
	}
};

TEST_F(Access, IntegersOutsideTheSignedRangeAreRefused)
{
	decoded d;
	rde_bej_value *count = member(d, "01 00 30 01 09 00 00 00 00 00 00 00 80 00");
	int64_t x = 7;
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_integer(count, &x), -ERANGE);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  error_line("Tried to access unsigned integer with MSB set as signed integer"));
	EXPECT_EQ(x, 7);
}

TEST_F(Access, GettersRefuseOtherTypes)
{
	decoded d;
	rde_bej_value *name = member(d, "01 02 20 01 00");  // Name = null
	char *s = nullptr;
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_string(name, &s), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  error_line("Invalid format for property 'Name' (expected string, received null)"));
	EXPECT_EQ(s, nullptr);

	// Unnamed items show as their array's name and position, except in
	// rde_bej_get_real's message, which shows "null".
	decoded items;
	rde_bej_value *item = rde_bej_get_next_sibling(rde_bej_get_first_child(
		member(items, "01 06 10 01 0E 01 02 01 00 30 01 01 01 01 00 30 01 01 02")));
	bool b = true;
	double x = 1.5;
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_boolean(item, &b), -EINVAL);
	EXPECT_EQ(rde_bej_get_real(item, &x), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  error_line("Invalid format for property 'Items[1]' (expected boolean, received integer)") +
			  error_line("Invalid format for property 'null' (expected real, received integer)"));
	EXPECT_TRUE(b);
	EXPECT_EQ(x, 1.5);
}

TEST_F(Access, RealsAreComputedFromTheirParts)
{
	struct {
		const char *value_hex;  // whole length, whole, zeros, fraction, exponent
		double expected;
	} cases[] = {
		{"01 01 01  01 01  01 05  01 00", 1.05},
		{"01 01 FB  01 00  01 00  01 01 FF", -0.5},
		{"01 01 01  01 00  01 05  01 01 03", 1500},
		{"01 01 19  01 00  01 00  01 01 02", 2500},  // no fraction: exactly 25e2
		{"01 01 FD  01 02  02 39 30  01 00", -3.0012345},
	};
	for (const auto &c : cases) {
		std::vector<uint8_t> value = parse_hex(c.value_hex);
		std::vector<uint8_t> temp = tuple(12, 0x60, value);
		decoded d;
		rde_bej_value *v = member(d, to_hex(temp));
		double x = 0;
		ASSERT_EQ(rde_bej_get_real(v, &x), 0) << c.value_hex;
		EXPECT_DOUBLE_EQ(x, c.expected) << c.value_hex;
	}
}

TEST_F(Access, Navigation)
{
	decoded d;
	decode(d, r, parse_hex(read_file(vectors_dir() + "/all_types/input.hex")));
	ASSERT_EQ(d.status, 0) << d.log;
	rde_bej_value *count = rde_bej_get_first_child(d.root);
	rde_bej_value *status = rde_bej_get_next_sibling(rde_bej_get_next_sibling(count));
	rde_bej_value *health = rde_bej_get_first_child(status);
	rde_bej_value *items = rde_bej_get_next_sibling(status);

	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_first_child(count), nullptr);
	EXPECT_EQ(rde_bej_get_next_sibling(d.root), nullptr);
	EXPECT_EQ(rde_bej_get_next_sibling(health), nullptr);  // the last: silent
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  error_line("Property 'Count' is not an array/set, but integer") +
			  error_line("Selected property 'Root' is a root object"));

	EXPECT_STREQ(rde_bej_get_name(items), "Items");
	EXPECT_EQ(rde_bej_get_name(rde_bej_get_first_child(items)), nullptr);
	EXPECT_FALSE(rde_bej_is_property_annotation(items));
	EXPECT_EQ(rde_bej_get_annotated_name(items), nullptr);

	// The option's name is the dictionary's own, handed out every time.
	const char *first = nullptr, *second = nullptr;
	EXPECT_EQ(rde_bej_get_enum(health, &first), 0);
	EXPECT_EQ(rde_bej_get_enum(health, &second), 0);
	EXPECT_STREQ(first, "Warning");
	EXPECT_EQ(first, second);

	// An empty array has no first child, and says nothing.
	decoded empty;
	rde_bej_value *none = member(empty, "01 06 10 01 02 01 00");
	testing::internal::CaptureStderr();
	EXPECT_EQ(rde_bej_get_first_child(none), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Access, PropertyAnnotations)
{
	decoded d;
	decode(d, r, parse_hex(read_file(vectors_dir() + "/annotations/input.hex")));
	ASSERT_EQ(d.status, 0) << d.log;
	rde_bej_value *id = rde_bej_get_first_child(d.root);
	rde_bej_value *annotation = rde_bej_get_next_sibling(id);
	EXPECT_TRUE(rde_bej_is_property_annotation(annotation));
	EXPECT_STREQ(rde_bej_get_annotated_name(annotation), "Count");
	EXPECT_STREQ(rde_bej_get_name(annotation), "@odata.count");
	EXPECT_EQ(rde_bej_get_type(annotation), uint32_t{RDE_BEJ_DATA_TYPE_INTEGER});
	// A top-level annotation is a member of its own, not a property annotation.
	EXPECT_FALSE(rde_bej_is_property_annotation(id));
	EXPECT_STREQ(rde_bej_get_name(id), "@odata.id");
}

// ---- decoding --------------------------------------------------------------

TEST(Decode, NestingIsBounded)
{
	// A set whose only member is itself, as recursive schemas have.
	std::string description = R"({"name":"Deep","version":"1.0.0","children":[
		{"name":"L","type":"set","id":"l","children":[
			{"name":"L","type":"set","children_of":"l"}]}]})";
	registry r(description, false);
	auto nested = [](int levels) {
		std::vector<uint8_t> inner = tuple(0, 0x00, members(0, {}));
		for (int i = 1; i < levels; i++)
			inner = tuple(0, 0x00, members(1, inner));
		return encoding(inner);
	};
	decoded deepest;
	decode(deepest, r, nested(131));
	EXPECT_EQ(deepest.status, 0) << deepest.log;

	decoded too_deep;
	decode(too_deep, r, nested(132));
	EXPECT_EQ(too_deep.status, -EINVAL);
	EXPECT_EQ(too_deep.log, error_line("Nesting of property 'L' exceeds 131 levels"));

	// The deepest tree a builder opens decodes again.
	rde_bej_builder *b = rde_bej_builder_new(r.context, 0, "Deep", nullptr);
	for (int i = 1; i <= 64; i++)
		ASSERT_EQ(rde_bej_set_begin(b, "L"), 0);
	uint8_t *bytes = nullptr;
	size_t length = 0;
	ASSERT_EQ(rde_bej_encode(b, &bytes, &length), 0);
	rde_bej_builder_free(b);
	decoded built;
	decode(built, r, std::vector<uint8_t>(bytes, bytes + length));
	free(bytes);
	EXPECT_EQ(built.status, 0) << built.log;

	// Annotations of annotations nest without any help from the dictionary.
	registry annotated(read_file(vectors_dir() + "/schema.json"));
	auto annotations = [](int wraps) {
		std::vector<uint8_t> inner = tuple(1, 0x30, {0x02});  // @odata.count = 2
		for (int i = 0; i < wraps; i++)
			inner = tuple(1, 0xA0, inner);
		return encoding(tuple(0, 0x00, members(1, tuple(0, 0xA0, inner))));
	};
	decoded few;
	decode(few, annotated, annotations(2));
	EXPECT_EQ(few.status, 0) << few.log;
	decoded many;
	decode(many, annotated, annotations(1000));
	EXPECT_EQ(many.status, -EINVAL);
	EXPECT_EQ(many.log, error_line("Nesting of property '@odata.count' exceeds 131 levels"));
}

TEST(Decode, Locators)
{
	registry r(read_file(vectors_dir() + "/schema.json"));
	auto build = [&](std::vector<rde_bej_locator_component> path) {
		rde_bej_locator *locator = nullptr;
		EXPECT_EQ(rde_bej_locator_build_ext(r.context, r.name.c_str(), 0, path.data(),
						    static_cast<uint32_t>(path.size()), &locator),
			  0);
		return locator;
	};

	// The root tuple is the located property's value.
	rde_bej_locator *health = build({{"Status", 0}, {"Health", 0}});
	decoded option;
	decode(option, r, encoding(parse_hex("01 00 40 01 02 01 00")), health);
	ASSERT_EQ(option.status, 0) << option.log;
	EXPECT_EQ(dump(option.root), "Health enum OK\n");
	rde_bej_locator_free(health);

	// An array item has no name: messages show the array's, with "[]".
	rde_bej_locator *item = build({{"Items", 0}, {nullptr, 1}});
	decoded wrong;
	decode(wrong, r, encoding(parse_hex("01 00 50 01 02 61 00")), item);
	EXPECT_EQ(wrong.status, -EINVAL);
	EXPECT_EQ(wrong.log,
		  error_line("Unexpected data type for property 'Items[]' (expected: integer, found: string)"));
	rde_bej_locator_free(item);

	// A locator without components decodes the whole resource.
	rde_bej_locator *empty = build({});
	decoded whole;
	decode(whole, r, resource_with("01 00 30 01 01 05"), empty);
	ASSERT_EQ(whole.status, 0) << whole.log;
	EXPECT_EQ(dump(whole.root), "Root set\n  Count integer 5\n");
	rde_bej_locator_free(empty);
}

TEST(Decode, UnknownDictionary)
{
	registry r(read_file(vectors_dir() + "/schema.json"));
	decoded d;
	decode(d, r, resource_with("01 00 30 01 01 05"), nullptr, "Nope");
	EXPECT_EQ(d.status, -ENOENT);
	EXPECT_EQ(d.log, error_line("Couldn't find dictionary named Nope"));
}

TEST(Decode, TraceNamesEveryProperty)
{
	registry r(read_file(vectors_dir() + "/schema.json"));
	setenv("LIBRDE_LOG_LEVEL", "trace", 1);
	rde_bej_init();
	decoded d;
	decode(d, r, resource_with("01 06 10 01 0E 01 02 01 00 30 01 01 01 01 00 30 01 01 02"));
	unsetenv("LIBRDE_LOG_LEVEL");
	rde_bej_init();
	ASSERT_EQ(d.status, 0) << d.log;
	for (const char *line : {"librde[trace]: Decoding property: 'Root'\n",
				 "librde[trace]: Decoding property: 'Items[1]'\n",
				 "librde[trace]: Decoding array Items with 2 elements\n",
				 "librde[trace]: Decoding set Root with 1 elements\n"})
		EXPECT_NE(d.log.find(line), std::string::npos) << line << "in:\n" << d.log;
}

}  // namespace
