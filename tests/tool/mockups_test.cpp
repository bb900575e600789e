// Every reference mockup through the command.  Prepared for its dictionary,
// each encodes and decodes back to the same JSON (json_object_equal) when
// gapped dictionaries are accepted (BEJCONV_SEQUENCE_GAPS=accept); without
// that, exactly the gapped dictionaries are refused, each at its first gap.
#include "mockups.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

namespace {

class Mockups : public testing::Test {
protected:
	void SetUp() override
	{
		if (reference_mockups().empty())
			GTEST_SKIP() << "reference data absent";
	}
	// The command with an empty map, and gapped dictionaries accepted.
	run_result run(const std::string &dictionary, std::vector<std::string> args,
		       bool gaps = true)
	{
		args.insert(args.begin(),
			    {"-s", dictionary, "-a", reference_annotation(), "-m", "/dev/null"});
		std::vector<std::string> env = {"BEJCONV_SEQUENCE_GAPS=accept"};
		return run_bejconv(args, {.env = gaps ? env : std::vector<std::string>{}});
	}
	std::string dir_ = make_temp_dir();
};

// Every seventh mockup also goes in unprepared: it encodes, or fails with
// the converter's and the library's lines.
TEST_F(Mockups, PreparedMockupsComeBackUnchanged)
{
	int passed = 0, failures = 0;
	for (const reference_mockup &m : reference_mockups()) {
		if (passed % 7 == 0) {
			run_result r = run(m.dictionary, {"encode", m.path});
			EXPECT_TRUE(r.status == 0 || r.err.ends_with(" to BEJ\n")) << r.err;
			std::istringstream lines(r.err);
			for (std::string line; std::getline(lines, line);)
				EXPECT_TRUE(line.starts_with("librde[error]: ") ||
					    line.starts_with("bejconv: "));
		}
		json_object *doc = prepare_mockup(m);
		write_file(dir_ + "/in.json", json_object_to_json_string(doc));
		run_result r = run(m.dictionary,
				   {"-o", dir_ + "/out.bej", "encode", dir_ + "/in.json"});
		if (r.status == 0)
			r = run(m.dictionary, {"decode", dir_ + "/out.bej"});
		json_object *back = json_tokener_parse(r.out.c_str());
		bool same = r.status == 0 && json_object_equal(doc, back);
		EXPECT_TRUE(same) << m.path << "\n"
				  << r.err << "prepared: " << json_object_to_json_string(doc);
		json_object_put(back);
		json_object_put(doc);
		passed += same;
		if (!same && ++failures == 10)
			break;
	}
	EXPECT_EQ(passed, 3776);
}

TEST_F(Mockups, OnlyGappedDictionariesAreRefusedWithoutTheOption)
{
	std::map<std::string, std::string> gapped;  // the first line of each refusal
	std::istringstream list(read_file(tests_source_dir() + "/tool/gapped_dictionaries"));
	for (std::string line; std::getline(list, line);)
		if (line[0] != '#')
			gapped[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1) +
								 "\n";
	ASSERT_EQ(gapped.size(), 24u);
	std::string dir = redfish_dir() + "/dictionaries/";
	for (const auto &f : std::filesystem::directory_iterator(dir)) {
		std::string name = f.path().filename().string();
		std::string refused = gapped[name] +
				      "librde[error]: Failed to parse the dictionary\n" +
				      "bejconv: failed to parse dictionary '" + dir + name +
				      "': Invalid argument\n";
		if (name == "annotation.bin")
			continue;
		EXPECT_EQ(run(dir + name, {"encode-locator"}, false).err,
			  gapped[name].empty() ? "bejconv: locator must be specified\n" : refused);
	}
}

}  // namespace
