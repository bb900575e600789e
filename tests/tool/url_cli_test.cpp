// URL macros through the bejconv command: what encode stores, what decode
// gives back, the percent file and map warnings, run as a real process.
#include "dictc.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char *const SCHEMA = R"({"name":"Links","version":"1.0.0","children":[
	{"name":"Description","type":"string"},
	{"name":"Related","type":"array","item":{"type":"string"}},
	{"name":"Health","type":"enum","options":["OK","Warning"]}]})";

const char *const ANNOTATION = R"({"name":"annotation","version":"1.0.0","children":[
	{"name":"@odata.id","type":"string"}]})";

struct fixture {
	std::string dir, schema, annotation, map;
	fixture(const std::string &map_text)
	    : dir(make_temp_dir()), schema(dir + "/links.bin"), annotation(dir + "/annotation.bin"),
	      map(dir + "/map")
	{
		for (auto [description, path] : {std::pair{SCHEMA, schema}, {ANNOTATION, annotation}}) {
			std::vector<uint8_t> bytes;
			std::string error;
			if (!dictc::compile(description, &bytes, &error))
				throw std::runtime_error("test dictionary: " + error);
			write_bytes(path, bytes);
		}
		write_file(map, map_text);
	}
	std::vector<std::string> args(const std::string &action, const std::string &file,
				      std::vector<std::string> more = {}) const
	{
		std::vector<std::string> a = {"-s", schema, "-a", annotation, "-m", map, action, file};
		a.insert(a.begin(), more.begin(), more.end());
		return a;
	}
};

// The value of a JSON text as json-c prints it plain, for comparisons that
// do not depend on escaping.
std::string plain(const std::string &text)
{
	json_object *root = json_tokener_parse(text.c_str());
	if (!root)
		ADD_FAILURE() << "not JSON: " << text;
	std::string out = root ? json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN) : "";
	json_object_put(root);
	return out;
}

TEST(UrlCommand, EncodeAbbreviatesAndDecodeExpands)
{
	fixture f("5 1 Systems\n6 5 1\n");
	// 2,085 quotes: in JSON text and as stored, each is a backslash and a quote.
	std::string quotes;
	for (int i = 0; i < 2085; i++)
		quotes += "\\\"";
	std::string long_text(2085, 'q');
	write_file(f.dir + "/in.json", R"({
		"@odata.id": "/redfish/v1/Systems/1",
		"Description": "see /redfish/v1/Systems/1/Processors, \"quoted\" at /redfish/v1/Chassis/1 by Tarnwhelk",
		"Related": ["/redfish/v1/Systems/2", "/redfish/v1/Systems/12", "100%Load", "/redfish/v1",
			    ")" + long_text + R"(", ")" + quotes + R"("],
		"Health": "OK"})");
	run_result enc = run_bejconv(f.args("encode", f.dir + "/in.json", {"-o", f.dir + "/out.bej", "-p", f.dir + "/percent"}));
	ASSERT_EQ(enc.status, 0) << enc.err;
	EXPECT_EQ(enc.err, "");

	// The stored strings hold the macros, quotes with a backslash.
	std::string bej = read_file(f.dir + "/out.bej");
	for (const char *stored : {"%L6", "see %L6/Processors, \\\"quoted\\\" at %C by %I1", "%L5/2", "%L62",
				   "100%Load", "/redfish/v1"})
		EXPECT_NE(bej.find(std::string(stored) + '\0'), std::string::npos) << stored;
	EXPECT_NE(bej.find(long_text + '\0'), std::string::npos);
	EXPECT_NE(bej.find(quotes + '\0'), std::string::npos);
	std::string percent = read_file(f.dir + "/percent");
	EXPECT_NE(percent.find("%L6: /redfish/v1/Systems/1\n%L7: %L7\n"), std::string::npos);

	run_result dec = run_bejconv(f.args("decode", f.dir + "/out.bej"));
	ASSERT_EQ(dec.status, 0) << dec.err;
	ASSERT_FALSE(dec.out.empty());
	EXPECT_EQ(dec.out.back(), '\n');
	// The digit after entry 6's URL joins its id: id 62 has no line and
	// stays a macro; "%Lo" of "100%Load" reads as id 0 and loses its two
	// characters.
	EXPECT_EQ(plain(dec.out),
		  plain(R"({"@odata.id": "/redfish/v1/Systems/1",
			"Description": "see /redfish/v1/Systems/1/Processors, \"quoted\" at /redfish/v1/Chassis/1 by Tarnwhelk",
			"Related": ["/redfish/v1/Systems/2", "%L62", "100oad", "/redfish/v1", ")" +
			long_text + R"(", ")" + quotes + R"("],
			"Health": "OK"})"));
}

TEST(UrlCommand, PercentFileAndMapWarningsComeBeforeTheInput)
{
	fixture f("5 1 Systems\nbogus line\n");
	write_file(f.dir + "/bad.json", "{\"Description\": ");
	run_result r = run_bejconv(f.args("encode", f.dir + "/bad.json", {"-p", f.dir + "/percent"}));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err.find("bejconv: " + f.map + ": ignoring malformed line 2\n"), 0u) << r.err;
	std::string percent = read_file(f.dir + "/percent");
	EXPECT_EQ(std::count(percent.begin(), percent.end(), '\n'), 257);
	EXPECT_NE(percent.find("%L5: /redfish/v1/Systems\n"), std::string::npos);

	// The prefix comes from -u on both sides.
	write_file(f.dir + "/in.json", R"({"Description": "/rf/Systems/x"})");
	ASSERT_EQ(run_bejconv(f.args("encode", f.dir + "/in.json", {"-u", "/rf", "-o", f.dir + "/o.bej"})).status, 0);
	EXPECT_NE(read_file(f.dir + "/o.bej").find(std::string("%L5/x") + '\0'), std::string::npos);
	run_result dec = run_bejconv(f.args("decode", f.dir + "/o.bej", {"-u", "/other"}));
	ASSERT_EQ(dec.status, 0) << dec.err;
	EXPECT_EQ(plain(dec.out), plain(R"({"Description": "/other/Systems/x"})"));
}

}  // namespace
