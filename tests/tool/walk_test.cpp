// The two tree walks of the converter, driven through the library: JSON to
// builder calls (encode) and decoded trees to json-c values (decode).
#include "bej_to_json.h"
#include "capture.h"
#include "decoded_json.h"
#include "dictc.h"
#include "json_to_bej.h"
#include "paths.h"
#include "program.h"
#include "run.h"
#include "url_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *const SCHEMA = R"({"name":"Root","version":"1.0.0","children":[
	{"name":"Count","type":"integer"},
	{"name":"Name","type":"string","nullable":true},
	{"name":"Status","type":"set","children":[
		{"name":"Health","type":"enum","options":["OK","Warning","Tarnwhelk"]},
		{"name":"Codes","type":"array","item":{"type":"integer"}}]},
	{"name":"Items","type":"array","item":{"type":"integer"}},
	{"name":"Temp","type":"real"}]})";

const char *const ANNOTATION = R"({"name":"annotation","version":"1.0.0","children":[
	{"name":"@odata.id","type":"string"},
	{"name":"@odata.count","type":"integer"},
	{"name":"@Message.ExtendedInfo","type":"array","item":{"type":"set","children":[
		{"name":"MessageId","type":"string"}]}}]})";

std::vector<uint8_t> compile(const char *description)
{
	std::vector<uint8_t> bytes;
	std::string error;
	EXPECT_TRUE(dictc::compile(description, &bytes, &error)) << error;
	return bytes;
}

std::string json_text(json_object *json)
{
	return json_object_to_json_string_ext(json, JSON_C_TO_STRING_PLAIN |
							  JSON_C_TO_STRING_NOSLASHESCAPE);
}

class Walk : public ::testing::Test {
protected:
	void SetUp() override
	{
		program_name = "bejconv";
		json_c_set_serialization_double_format("%.15g", JSON_C_OPTION_GLOBAL);
		rde_bej_init();
		ASSERT_EQ(0, load_pdr_url_map(urls_, empty_map().c_str(), "/redfish/v1", nullptr));
		context_ = rde_bej_context_new();
		add(compile(SCHEMA), 0);
		add(compile(ANNOTATION), RDE_BEJ_SCHEMA_TYPE_ANNOTATION);
	}
	void TearDown() override
	{
		rde_bej_builder_free(builder_);
		rde_bej_locator_free(locator_);
		rde_bej_context_free(context_);
	}

	static std::string empty_map()
	{
		static std::string path = make_temp_dir() + "/map";
		write_file(path, "");
		return path;
	}

	void add(const std::vector<uint8_t> &bytes, int32_t schema_type)
	{
		ASSERT_EQ(0, rde_bej_add_dictionary(context_, schema_type, nullptr, bytes.data(),
						    bytes.size()));
	}

	void use_locator(std::vector<rde_bej_locator_component> path)
	{
		ASSERT_EQ(0, rde_bej_locator_build_ext(context_, "Root", 0, path.data(),
						       static_cast<uint32_t>(path.size()),
						       &locator_));
	}

	// Walks the JSON text the way the encode action does and encodes it.
	// Returns the walk's (or the encoder's) status; err gets stderr.
	int encode(const std::string &text, std::vector<uint8_t> *bytes = nullptr,
		   std::string *err = nullptr)
	{
		json_object *json = json_tokener_parse(text.c_str());
		EXPECT_TRUE(json || text == "null") << text;
		rde_bej_builder_free(builder_);
		builder_ = rde_bej_builder_new(context_, 0, "Root", locator_);
		EXPECT_NE(nullptr, builder_);
		stderr_capture capture;
		int status = convert_json_document(builder_, urls_, json);
		json_object_put(json);
		if (status == 0) {
			uint8_t *out = nullptr;
			size_t length = 0;
			status = rde_bej_encode(builder_, &out, &length);
			if (status == 0 && bytes)
				bytes->assign(out, out + length);
			free(out);
		}
		if (err)
			*err = capture.text();
		return status;
	}

	// Decodes the bytes and walks the tree back to JSON text; "" with the
	// status in *status when either step fails.
	std::string decode(const std::vector<uint8_t> &bytes, int *status = nullptr,
			   std::string *err = nullptr)
	{
		stderr_capture capture;
		rde_bej_value *value = nullptr;
		int s = rde_bej_decode(context_, "Root", 0, bytes.data(), bytes.size(), locator_,
				       &value);
		EXPECT_EQ(0, s) << "the test's BEJ must decode";
		std::string text;
		member_replacements replacements;
		if (s == 0) {
			s = prepare_bej_tree(value, &replacements);
			if (s == 0) {
				json_object *json = decoded_json(value);
				text = json_text(json);
				json_object_put(json);
			}
		}
		rde_bej_value_free(value);
		if (status)
			*status = s;
		if (err)
			*err = capture.text();
		return text;
	}

	std::string round_trip(const std::string &text)
	{
		std::vector<uint8_t> bytes;
		std::string err;
		EXPECT_EQ(0, encode(text, &bytes, &err)) << text << "\n" << err;
		return decode(bytes);
	}

	rde_bej_context *context_ = nullptr;
	static inline url_table urls_;
	rde_bej_builder *builder_ = nullptr;
	rde_bej_locator *locator_ = nullptr;
};

TEST_F(Walk, MembersComeBackInDocumentOrderWithTheirKeys)
{
	// Every JSON kind, annotations of the resource and of a property, in an
	// order that is not the dictionary's.
	const std::string doc =
		R"({"Temp":42.5,"@odata.id":"/redfish/v1/Root","Items@odata.count":2,)"
		R"("Items":[3,-4],"Name":null,"Status":{"Health":"Warning","Codes":[]},"Count":7})";
	EXPECT_EQ(doc, round_trip(doc));
	// Empty objects and arrays open and close their scope.
	EXPECT_EQ(R"({"Status":{},"Items":[]})", round_trip(R"({"Status":{},"Items":[]})"));
	EXPECT_EQ("{}", round_trip("{}"));
}

TEST_F(Walk, StringsFollowTheDictionaryType)
{
	std::vector<uint8_t> bytes;
	ASSERT_EQ(0, encode(R"({"Status":{"Health":"OK"},"Name":"OK"})", &bytes));
	rde_bej_value *root = nullptr;
	ASSERT_EQ(0, rde_bej_decode(context_, "Root", 0, bytes.data(), bytes.size(), nullptr,
				    &root));
	rde_bej_value *status = rde_bej_get_first_child(root);
	EXPECT_EQ(RDE_BEJ_DATA_TYPE_ENUM, rde_bej_get_type(rde_bej_get_first_child(status)));
	EXPECT_EQ(RDE_BEJ_DATA_TYPE_STRING, rde_bej_get_type(rde_bej_get_next_sibling(status)));
	rde_bej_value_free(root);

	// A string for an integer, a real or an array item of integers is refused
	// by the walk itself, and the member that holds it is reported.
	for (const char *doc : {R"({"Count":"5"})", R"({"Temp":"1.5"})", R"({"Items":["1"]})"}) {
		std::string err;
		EXPECT_EQ(-EINVAL, encode(doc, nullptr, &err)) << doc;
		EXPECT_NE(std::string::npos, err.find("bejconv: failed to convert property '"))
			<< err;
	}
	// An enumeration option must match exactly, and is never abbreviated
	// (as a string value, this option would become a macro).
	EXPECT_EQ(-EINVAL, encode(R"({"Status":{"Health":"ok"}})"));
	EXPECT_EQ(R"({"Status":{"Health":"Tarnwhelk"},"Name":"%I1"})",
		  round_trip(R"({"Status":{"Health":"Tarnwhelk"},"Name":"Tarnwhelk"})"));
	// String values are abbreviated (the fixed chassis macro) and quotes
	// survive the trip through the encoder's escaping.
	EXPECT_EQ(R"({"Name":"%C/x say \"hi\" \\"})",
		  round_trip(R"({"Name":"/redfish/v1/Chassis/1/x say \"hi\" \\"})"));
}

TEST_F(Walk, NumbersFollowJsonCNotTheDictionary)
{
	std::string err;
	EXPECT_EQ(-EINVAL, encode(R"({"Temp":42})", nullptr, &err));
	EXPECT_NE(std::string::npos,
		  err.find("Invalid format for property 'Temp' (expected real, received integer)"))
		<< err;
	EXPECT_NE(std::string::npos, err.find("bejconv: failed to convert property 'Temp'\n"));
	EXPECT_EQ(R"({"Temp":42.0})", round_trip(R"({"Temp":42.0})"));
	EXPECT_EQ(R"({"Temp":-0.25})", round_trip(R"({"Temp":-0.25})"));
	EXPECT_EQ(-EINVAL, encode(R"({"Count":1.0})"));
	EXPECT_EQ(R"({"Count":-9223372036854775808})",
		  round_trip(R"({"Count":-9223372036854775808})"));
}

TEST_F(Walk, FirstFailureStopsTheWalk)
{
	std::string err;
	EXPECT_EQ(-EINVAL, encode(R"({"Count":1,"Bogus":2,"Name":"x"})", nullptr, &err));
	EXPECT_NE(std::string::npos, err.find("Could not find property 'Bogus'")) << err;
	EXPECT_NE(std::string::npos, err.find("bejconv: failed to convert property 'Bogus'\n"));
	EXPECT_EQ(std::string::npos, err.find("'Name'")) << "members after a failure are not visited";
	EXPECT_EQ(std::string::npos, err.find("'Count'"));

	// Without a locator the root is a set, and a set member needs a name.
	EXPECT_EQ(-EINVAL, encode(R"("OK")", nullptr, &err));
	EXPECT_NE(std::string::npos, err.find("Only array items are allowed to be unnamed")) << err;
}

TEST_F(Walk, LocatorRootsTakeUnnamedValues)
{
	use_locator({{"Status", 0}, {"Health", 0}});
	EXPECT_EQ(R"("Warning")", round_trip(R"("Warning")"));
	// An object handed to a leaf root: every member is refused, cleanly.
	std::string err;
	EXPECT_GT(0, encode(R"({"Health":"OK"})", nullptr, &err));
	EXPECT_NE(std::string::npos, err.find("bejconv: failed to convert property 'Health'\n"))
		<< err;

	rde_bej_locator_free(locator_);
	locator_ = nullptr;
	use_locator({{"Name", 0}});
	EXPECT_EQ("null", round_trip("null")) << "a BEJ null at the top";
}

TEST_F(Walk, FailureLinesNameEveryEnclosingMemberInnermostFirst)
{
	std::string dir = make_temp_dir();
	write_bytes(dir + "/schema.bin", compile(SCHEMA));
	write_bytes(dir + "/annotation.bin", compile(ANNOTATION));
	write_file(dir + "/map", "");
	write_file(dir + "/in.json", R"({"Count":1,"Status":{"Health":"OK","Codes":[1,"two",3]}})");
	run_result r = run_bejconv({"-s", dir + "/schema.bin", "-a", dir + "/annotation.bin", "-m",
				    dir + "/map", "encode", dir + "/in.json"});
	EXPECT_EQ(1, r.status);
	EXPECT_EQ("bejconv: failed to convert property 'Codes'\n"
		  "bejconv: failed to convert property 'Status'\n"
		  "bejconv: failed to convert object 'Root' to BEJ\n",
		  r.err);
	EXPECT_EQ("", r.out);
}

}  // namespace
