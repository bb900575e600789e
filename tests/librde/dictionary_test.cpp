// Dictionary registration, the schema property tree, the lookups by name
// and the library's logger.
#include "bej_internal.h"
#include "dictc.h"
#include "paths.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

// Runs f with standard error captured; returns the lines written.
template <typename F>
std::vector<std::string> logged(F f)
{
	testing::internal::CaptureStderr();
	f();
	return lines_of(testing::internal::GetCapturedStderr());
}

void set_log_level(const char *level)
{
	if (level)
		setenv("LIBRDE_LOG_LEVEL", level, 1);
	else
		unsetenv("LIBRDE_LOG_LEVEL");
	rde_bej_init();
}

std::vector<uint8_t> compile(const std::string &description)
{
	std::vector<uint8_t> bytes;
	std::string error;
	EXPECT_TRUE(dictc::compile(description, &bytes, &error)) << error;
	return bytes;
}

// Sorted names of the files in dir that end in suffix.  (std::filesystem
// rather than readdir: a 32-bit readdir fails on 64-bit inode numbers.)
std::vector<std::string> files_in(const std::string &dir, const std::string &suffix)
{
	std::vector<std::string> names;
	std::error_code error;
	for (const auto &e : std::filesystem::directory_iterator(dir, error)) {
		std::string name = e.path().filename().string();
		if (name.size() > suffix.size() &&
		    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
			names.push_back(name);
	}
	std::sort(names.begin(), names.end());
	return names;
}

using context_ptr = std::unique_ptr<rde_bej_context, decltype(&rde_bej_context_free)>;
context_ptr new_context() { return {rde_bej_context_new(), rde_bej_context_free}; }

int add(rde_bej_context *context, int32_t schema_type, const std::vector<uint8_t> &bytes)
{
	return rde_bej_add_dictionary(context, schema_type, nullptr, bytes.data(), bytes.size());
}

const std::string schema = R"({"name":"Root","version":"1.0.0","children":[
	{"name":"Id","type":"string"},
	{"name":"Status","type":"set","children":[
		{"name":"Health","type":"enum","options":["OK","Warning"]}]},
	{"name":"Items","type":"array","item":{"type":"integer"}},
	{"name":"Empty","type":"array"},
	{"name":"Next","type":"set","id":"L","children":[
		{"name":"Name","type":"string"},
		{"name":"Again","type":"set","children_of":"L"}]}]})";

const std::string annotations = R"({"name":"Annotations","version":"1.0.0","children":[
	{"name":"@odata.id","type":"string"},
	{"name":"@Redfish.AllowableValues","type":"array","item":{"type":"string"}}]})";

class Dictionary : public testing::Test {
protected:
	void SetUp() override { set_log_level(nullptr); }
	void TearDown() override { set_log_level(nullptr); }
};

// Each file of dictionary_cases/ is one registration: a dictionary given as
// a description or as hex bytes, the status expected and the exact log.
TEST_F(Dictionary, RegistrationCases)
{
	const std::string dir = tests_source_dir() + "/librde/dictionary_cases";
	const std::vector<std::string> cases = files_in(dir, ".json");
	ASSERT_FALSE(cases.empty());
	const std::vector<std::pair<std::string, int>> statuses = {
		{"EINVAL", -EINVAL}, {"ENOMEM", -ENOMEM}, {"EEXIST", -EEXIST}};
	for (const std::string &name : cases) {
		SCOPED_TRACE(name);
		json_object *doc = json_object_from_file((dir + "/" + name).c_str());
		ASSERT_NE(doc, nullptr);
		std::unique_ptr<json_object, int (*)(json_object *)> hold(doc, json_object_put);
		json_object *v;
		std::vector<uint8_t> bytes;
		if (json_object_object_get_ex(doc, "hex", &v)) {
			bytes = parse_hex(json_object_get_string(v));
		} else {
			ASSERT_TRUE(json_object_object_get_ex(doc, "dictionary", &v));
			bytes = compile(json_object_to_json_string(v));
		}
		int expected = 0;
		ASSERT_TRUE(json_object_object_get_ex(doc, "status", &v));
		if (json_object_get_type(v) == json_type_string) {
			auto it = std::find_if(statuses.begin(), statuses.end(), [&](auto &s) {
				return s.first == json_object_get_string(v);
			});
			ASSERT_NE(it, statuses.end());
			expected = it->second;
		}
		std::vector<std::string> log;
		ASSERT_TRUE(json_object_object_get_ex(doc, "log", &v));
		for (size_t i = 0; i < json_object_array_length(v); i++)
			log.push_back(json_object_get_string(json_object_array_get_idx(v, i)));
		set_log_level(json_object_object_get_ex(doc, "log_level", &v) ?
				      json_object_get_string(v) : nullptr);

		context_ptr context = new_context();
		int status = 1;
		EXPECT_EQ(logged([&] { status = add(context.get(), 0, bytes); }), log);
		EXPECT_EQ(status, expected);
		// A refused dictionary leaves nothing behind.
		if (status) {
			EXPECT_EQ(rde_bej_dictionary_first(context.get()), nullptr);
		}
	}
}

TEST_F(Dictionary, ListLookupAndDuplicates)
{
	context_ptr context = new_context();
	rde_bej_context_free(nullptr);
	const std::vector<uint8_t> bytes = compile(schema);
	const std::vector<uint8_t> annotation = compile(annotations);
	ASSERT_EQ(add(context.get(), 0, bytes), 0);
	ASSERT_EQ(add(context.get(), 2, annotation), 0);

	// Newest first.
	rde_bej_dictionary *first = rde_bej_dictionary_first(context.get());
	ASSERT_NE(first, nullptr);
	EXPECT_STREQ(rde_bej_dictionary_get_name(first), "Annotations");
	EXPECT_EQ(rde_bej_dictionary_get_schema_type(first), 2);
	rde_bej_dictionary *second = rde_bej_dictionary_next(first);
	ASSERT_NE(second, nullptr);
	EXPECT_STREQ(rde_bej_dictionary_get_name(second), "Root");
	EXPECT_EQ(rde_bej_dictionary_get_schema_type(second), 0);
	EXPECT_EQ(rde_bej_dictionary_next(second), nullptr);

	int status = 0;
	EXPECT_EQ(logged([&] { status = add(context.get(), 0, bytes); }),
		  std::vector<std::string>{"librde[error]: Dictionary named 'Root' already exists"});
	EXPECT_EQ(status, -EEXIST);
	// A malformed duplicate is refused for what is wrong with it.
	const std::vector<uint8_t> spare = compile(
		R"({"name":"Root","children":[],"raw":{"extra_entries":[{"name":"Spare","type":"integer"}]}})");
	EXPECT_EQ(logged([&] { status = add(context.get(), 0, spare); }),
		  (std::vector<std::string>{"librde[error]: Property 'Spare' wasn't initialized",
					    "librde[error]: Failed to parse the dictionary"}));
	EXPECT_EQ(status, -EINVAL);
	// A second annotation dictionary is refused whatever its name.
	EXPECT_EQ(logged([&] { status = add(context.get(), 2, bytes); }),
		  std::vector<std::string>{
			  "librde[error]: Annotation dictionary has already been added"});
	EXPECT_EQ(status, -EINVAL);
	// The same bytes under another schema type are another dictionary.
	EXPECT_EQ(add(context.get(), 7, bytes), 0);
	EXPECT_EQ(rde_bej_dictionary_get_schema_type(rde_bej_dictionary_first(context.get())), 7);

	rde_bej_dictionary *found = nullptr;
	EXPECT_EQ(find_dictionary(context.get(), "Root", 0, &found), 0);
	EXPECT_EQ(found, second);
	EXPECT_EQ(logged([&] { status = find_dictionary(context.get(), "Root", 3, &found); }),
		  std::vector<std::string>{"librde[error]: Couldn't find dictionary named Root"});
	EXPECT_EQ(status, -ENOENT);
	EXPECT_EQ(found, second);
	EXPECT_EQ(logged([&] { status = find_dictionary(context.get(), "root", 0, &found); }).size(),
		  1u);
	EXPECT_EQ(status, -ENOENT);
}

TEST_F(Dictionary, FailedAnnotationRegistrationLeavesTheSlotFree)
{
	context_ptr context = new_context();
	std::vector<uint8_t> broken = compile(annotations);
	broken.resize(11);
	EXPECT_EQ(logged([&] { EXPECT_EQ(add(context.get(), 2, broken), -EINVAL); }).size(), 2u);
	EXPECT_EQ(add(context.get(), 2, compile(annotations)), 0);
	// The bytes and the URI are copied: the caller's buffers may go at once.
	std::vector<uint8_t> bytes = compile(schema);
	std::string uri = "/redfish/v1/Root";
	EXPECT_EQ(rde_bej_add_dictionary(context.get(), 0, uri.c_str(), bytes.data(), bytes.size()), 0);
	std::fill(bytes.begin(), bytes.end(), 0);
	uri.assign(uri.size(), 'x');
	EXPECT_STREQ(rde_bej_dictionary_get_name(rde_bej_dictionary_first(context.get())), "Root");
}

// A chain of sets as deep as 16-bit child offsets reach is built without
// exhausting the stack.
TEST_F(Dictionary, DeepNestingIsSafe)
{
	const size_t count = 6553;  // the last entry starts at offset 65532
	std::vector<uint8_t> bytes(12 + 10 * count);
	bytes[2] = count & 0xff;
	bytes[3] = count >> 8;
	// Every entry is named "n", held in the (unread) schema version field.
	bytes[4] = 'n';
	for (size_t i = 0; i < count; i++) {
		uint8_t *e = &bytes[12 + 10 * i];
		bool last = i + 1 == count;
		uint16_t child = last ? 0 : static_cast<uint16_t>(12 + 10 * (i + 1));
		e[0] = last ? 0x30 : 0x00;
		e[3] = child & 0xff;
		e[4] = child >> 8;
		e[5] = last ? 0 : 1;
		e[7] = 2;
		e[8] = 4;
	}
	context_ptr context = new_context();
	ASSERT_EQ(add(context.get(), 0, bytes), 0);
	const rde_bej_property *p = context->dictionaries->root;
	size_t depth = 0;
	for (; p->first_child(); p = p->first_child())
		depth++;
	EXPECT_EQ(depth, count - 1);
	EXPECT_EQ(p->data_type(), unsigned{RDE_BEJ_DATA_TYPE_INTEGER});
}

// Dictionary bytes read without registering them, entry by entry, and the
// place and reason of the first fault of malformed ones.
std::string list_entries(const uint8_t *data, size_t size)
{
	std::ostringstream out;
	rde_bej_dictionary_header h{};
	rde_bej_read_error error{};
	int status = rde_bej_read_dictionary_header(data, size, &h, &error);
	if (status == 0)
		out << "version " << unsigned{h.version_tag} << " flags " << unsigned{h.dictionary_flags}
		    << " entries " << h.entry_count << " schema " << std::hex << h.schema_version
		    << std::dec << " size " << h.dictionary_size << '\n';
	for (unsigned i = 0; status == 0; i++) {
		rde_bej_dictionary_entry e{};
		status = rde_bej_read_dictionary_entry(data, size, i, &e, &error);
		if (status == 0)
			out << e.index << ": " << std::hex << unsigned{e.format} << std::dec << " seq "
			    << e.sequence_number << " children " << e.child_count << " at "
			    << e.child_pointer_offset << " first " << e.first_child << " name "
			    << (e.name ? e.name : "-") << " (" << unsigned{e.name_length} << " at "
			    << e.name_offset << ")\n";
	}
	out << "stop at " << error.offset << ": " << error.reason << '\n';
	return out.str();
}

TEST_F(Dictionary, ReadWithoutRegistering)
{
	const std::vector<uint8_t> bytes = compile(schema);
	EXPECT_EQ(list_entries(bytes.data(), bytes.size()), R"(version 0 flags 0 entries 12 schema f1f0f000 size 193
0: 0 seq 0 children 5 at 22 first 1 name Root (5 at 132)
1: 50 seq 0 children 0 at 0 first -1 name Id (3 at 137)
2: 0 seq 1 children 1 at 72 first 6 name Status (7 at 140)
3: 10 seq 2 children 1 at 82 first 7 name Items (6 at 147)
4: 10 seq 3 children 0 at 0 first -1 name Empty (6 at 153)
5: 0 seq 4 children 2 at 92 first 8 name Next (5 at 159)
6: 40 seq 0 children 2 at 112 first 10 name Health (7 at 164)
7: 30 seq 0 children 0 at 0 first -1 name - (0 at 0)
8: 50 seq 0 children 0 at 0 first -1 name Name (5 at 171)
9: 0 seq 1 children 2 at 92 first 8 name Again (6 at 176)
10: 50 seq 0 children 0 at 0 first -1 name OK (3 at 182)
11: 50 seq 1 children 0 at 0 first -1 name Warning (8 at 185)
stop at 132: entry index beyond the entry count
)");
	// A registered dictionary hands out its own copy of the same bytes.
	context_ptr context = new_context();
	ASSERT_EQ(add(context.get(), 0, bytes), 0);
	size_t size = 0;
	const uint8_t *data = rde_bej_dictionary_get_data(rde_bej_dictionary_first(context.get()), &size);
	EXPECT_EQ(std::vector<uint8_t>(data, data + size), bytes);
	EXPECT_NE(data, bytes.data());

	// A child range that leaves the table has no first child; a cut
	// header or entry table stops at the first missing byte.
	const std::vector<uint8_t> cut = parse_hex("00 00 02 00 00 00 00 00 16 00 00 00"
						   "00 00 00 0c 00 03 00 00 00 00");
	EXPECT_EQ(list_entries(cut.data(), cut.size()), "version 0 flags 0 entries 2 schema 0 size 22\n"
		  "0: 0 seq 0 children 3 at 12 first -1 name - (0 at 0)\n"
		  "stop at 22: entry runs past the end of the dictionary\n");
	EXPECT_EQ(list_entries(cut.data(), 11), "stop at 11: dictionary shorter than its 12-byte header\n");
}

class Lookup : public Dictionary {
protected:
	void SetUp() override
	{
		Dictionary::SetUp();
		ASSERT_EQ(add(context.get(), 0, compile(schema)), 0);
		root = alloc_bej_value(nullptr, context->dictionaries->root, nullptr);
	}
	void TearDown() override
	{
		rde_bej_value_free(root);
		Dictionary::TearDown();
	}
	const rde_bej_property *find(const char *name, const rde_bej_value *scope,
				     const rde_bej_property **annotated = nullptr)
	{
		return find_property_by_name(context.get(), name, scope, annotated);
	}
	// A scope value for the named child of scope.
	rde_bej_value *open(const char *name, rde_bej_value *scope)
	{
		const rde_bej_property *p = find(name, scope);
		EXPECT_NE(p, nullptr) << name;
		return p ? alloc_bej_value(scope, p, nullptr) : nullptr;
	}
	context_ptr context = new_context();
	rde_bej_value *root = nullptr;
};

TEST_F(Lookup, NamesInSetsAndArrays)
{
	std::vector<std::string> log = logged([&] {
		const rde_bej_property *id = find("Id", root);
		ASSERT_NE(id, nullptr);
		EXPECT_STREQ(id->name, "Id");
		EXPECT_EQ(find("id", root), nullptr);  // exact names only
		EXPECT_EQ(find("Health", root), nullptr);
	});
	EXPECT_TRUE(log.empty());  // a plain miss is the caller's to report

	rde_bej_value *items = open("Items", root);
	const rde_bej_property *item = find(nullptr, items);
	ASSERT_NE(item, nullptr);
	EXPECT_EQ(item->name, nullptr);
	EXPECT_EQ(item->data_type(), unsigned{RDE_BEJ_DATA_TYPE_INTEGER});

	rde_bej_value *empty = open("Empty", root);
	EXPECT_EQ(logged([&] { EXPECT_EQ(find(nullptr, empty), nullptr); }),
		  std::vector<std::string>{
			  "librde[error]: Array property 'Empty' doesn't have any children"});
	EXPECT_EQ(logged([&] { EXPECT_EQ(find("Count", items), nullptr); }),
		  std::vector<std::string>{"librde[error]: Array items must be unnamed"});
	EXPECT_EQ(logged([&] { EXPECT_EQ(find(nullptr, root), nullptr); }),
		  std::vector<std::string>{
			  "librde[error]: Only array items are allowed to be unnamed"});
}

TEST_F(Lookup, SharedChildListIsTheParentsList)
{
	rde_bej_value *next = open("Next", root);
	rde_bej_value *again = open("Again", next);
	const rde_bej_property *name = find("Name", next);
	ASSERT_NE(name, nullptr);
	EXPECT_EQ(find("Name", again), name);
	EXPECT_EQ(find("Again", again), again->property);
	EXPECT_EQ(again->property->first_child(), next->property->first_child());
}

TEST_F(Lookup, Annotations)
{
	const rde_bej_property *annotated = nullptr;
	EXPECT_EQ(logged([&] { EXPECT_EQ(find("Status@odata.id", root, &annotated), nullptr); }),
		  std::vector<std::string>{
			  "librde[error]: Tried to access an annotation property, while no annotation "
			  "dictionary has been registered"});

	ASSERT_EQ(add(context.get(), 2, compile(annotations)), 0);
	const rde_bej_property *p = find("Status@odata.id", root, &annotated);
	ASSERT_NE(p, nullptr);
	EXPECT_STREQ(p->name, "@odata.id");
	ASSERT_NE(annotated, nullptr);
	EXPECT_STREQ(annotated->name, "Status");

	// An annotation of the set itself has no annotated property.
	annotated = p;
	p = find("@Redfish.AllowableValues", root, &annotated);
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(p->data_type(), unsigned{RDE_BEJ_DATA_TYPE_ARRAY});
	EXPECT_EQ(annotated, nullptr);

	EXPECT_EQ(logged([&] { EXPECT_EQ(find("Nope@odata.id", root, &annotated), nullptr); }),
		  std::vector<std::string>{
			  "librde[error]: Couldn't find annotated property of property annotation "
			  "named 'Nope@odata.id'"});
	// Without a place for the annotated property its name is not examined.
	EXPECT_NE(find("Nope@odata.id", root), nullptr);
	EXPECT_TRUE(logged([&] { EXPECT_EQ(find("Status@odata.type", root, &annotated), nullptr); })
			    .empty());
}

// The published dictionaries: all register, except those whose child ranges
// are numbered with gaps, which register when gaps are accepted.
TEST_F(Dictionary, ReferenceDictionaries)
{
	const std::string dir = redfish_dir();
	if (dir.empty())
		GTEST_SKIP() << "reference data absent: dictionaries";
	const std::string dictionaries = dir + "/dictionaries/";
	const std::vector<uint8_t> annotation = read_bytes(dictionaries + "annotation.bin");
	// "Unexpected child sequence number (expected %d, found %d)", filled.
	auto is_gap = [](const std::string &line) {
		int expected, found, end = 0;
		return std::sscanf(line.c_str(),
				   "librde[error]: Unexpected child sequence number (expected %d, "
				   "found %d)%n",
				   &expected, &found, &end) == 2 &&
		       static_cast<size_t>(end) == line.size();
	};
	int registered = 0, refused = 0;
	for (const std::string &name : files_in(dictionaries, ".bin")) {
		SCOPED_TRACE(name);
		context_ptr context = new_context();
		ASSERT_EQ(add(context.get(), 2, annotation), 0);
		if (name == "annotation.bin") {
			registered++;
			continue;
		}
		// With gaps accepted every one registers.
		context_ptr gaps = new_context();
		ASSERT_EQ(rde_bej_context_set_options(gaps.get(), RDE_BEJ_ACCEPT_SEQUENCE_GAPS), 0);
		EXPECT_EQ(add(gaps.get(), 0, read_bytes(dictionaries + name)), 0);
		int status = 0;
		std::vector<std::string> log =
			logged([&] { status = add(context.get(), 0, read_bytes(dictionaries + name)); });
		if (status == 0) {
			registered++;
			EXPECT_TRUE(log.empty());
			EXPECT_EQ(rde_bej_dictionary_get_schema_type(
					  rde_bej_dictionary_next(rde_bej_dictionary_first(context.get()))),
				  2);
			continue;
		}
		refused++;
		EXPECT_EQ(status, -EINVAL);
		ASSERT_EQ(log.size(), 2u);
		EXPECT_TRUE(is_gap(log[0])) << log[0];
		EXPECT_EQ(log[1], "librde[error]: Failed to parse the dictionary");
	}
	EXPECT_EQ(registered, 250);
	EXPECT_EQ(refused, 24);
}

// ---- logger ----

TEST_F(Dictionary, LogLevels)
{
	const std::vector<uint8_t> good = compile(R"({"name":"Tiny","children":[]})");
	const std::vector<uint8_t> bad(11, 0);
	const std::vector<std::string> refused = {
		"librde[error]: Invalid length of the dictionary",
		"librde[error]: Failed to parse the dictionary"};
	auto run = [&](const char *level) {
		set_log_level(level);
		return logged([&] {
			context_ptr context = new_context();
			EXPECT_EQ(add(context.get(), 0, good), 0);
			EXPECT_EQ(add(context.get(), 0, bad), -EINVAL);
		});
	};
	EXPECT_EQ(run(nullptr), refused);
	EXPECT_EQ(run("ERROR"), refused);  // names are case-sensitive
	EXPECT_EQ(run("quiet"), std::vector<std::string>{});
	EXPECT_EQ(run("error"), refused);
	std::vector<std::string> verbose = {"librde[debug]: Adding dictionary 'Tiny'"};
	verbose.insert(verbose.end(), refused.begin(), refused.end());
	EXPECT_EQ(run("debug"), verbose);
	EXPECT_EQ(run("all"), verbose);
}

TEST(Log, DataTypeNames)
{
	for (unsigned reserved : {11u, 12u, 13u, 16u, 255u})
		EXPECT_STREQ(rde_bej_data_type_name(reserved), "unknown");
	EXPECT_STREQ(rde_bej_data_type_name(14), "resource_link");
	EXPECT_STREQ(rde_bej_data_type_name(10), "property_annotation");
	EXPECT_STREQ(rde_bej_data_type_name(0), "set");
}

}  // namespace
