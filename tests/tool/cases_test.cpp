// The command line, case by case: every folder under tests/tool/cases holds
// one bejconv run and what it must do (cases/README says how).
#include "dictc.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/stat.h>

namespace {

const std::string CASES = tests_source_dir() + "/tool/cases/";

// Compiles the folder's NAME.json, or else the one of cases/, into OUT/NAME.bin.
void compile(const std::string &dir, const std::string &name, const std::string &out)
{
	std::string own = case_files(dir)[name + ".json"], error;
	std::vector<uint8_t> bytes;
	ASSERT_TRUE(dictc::compile(read_file(own.empty() ? CASES + name + ".json" : own), &bytes,
				   &error))
		<< error;
	write_bytes(out + "/" + name + ".bin", bytes);
}

class Cases : public testing::TestWithParam<std::string> {
protected:
	std::string path(const std::string &name) { return files_.count(name) ? files_[name] : ""; }
	std::string text(const std::string &name, const std::string &fallback = "")
	{
		if (!file_exists(path(name)))
			return fallback;
		std::string t = replace_all(read_file(path(name)), "@USAGE@\n",
					    read_file(CASES + "usage"));
		return replace_all(replace_all(t, "@D@", dir_), "@R@", redfish_dir());
	}
	std::vector<std::string> lines(const std::string &name)
	{
		std::vector<std::string> out;
		std::istringstream in(text(name));
		for (std::string line; std::getline(in, line);)
			out.push_back(line);
		return out;
	}
	// Holds the file an after.NAME file names to what it says.
	void check_after(const std::string &name)
	{
		bool hex = name.ends_with(".hex");
		std::string want = text(name),
			    file = dir_ + "/" + name.substr(6, name.size() - (hex ? 10 : 6));
		if (want == "(absent)\n")
			EXPECT_FALSE(file_exists(file)) << file;
		else
			EXPECT_EQ(hex ? to_hex(read_bytes(file)) : elided(read_file(file), want),
				  hex ? to_hex(parse_hex(want)) : want);
	}
	std::string dir_ = make_temp_dir();
	std::map<std::string, std::string> files_ = case_files(CASES + GetParam());
};

TEST_P(Cases, RunAsDescribed)
{
	if (read_file(path("args")).find("@R@") != std::string::npos && redfish_dir().empty())
		GTEST_SKIP() << "reference data absent";
	write_file(dir_ + "/map", "");
	compile(CASES + GetParam(), "schema", dir_);
	compile(CASES + GetParam(), "annotation", dir_);
	for (const auto &[name, source] : files_)
		write_file(dir_ + "/" + name, text(name));  // harmless for the others
	std::vector<std::string> argv0 = lines("argv0");
	run_result r = run_bejconv(lines("args"), {.input = text("stdin"),
						   .env = lines("env"),
						   .argv0 = argv0.empty() ? "bejconv" : argv0[0]});
	EXPECT_EQ(r.status, std::stoi(text("status", "0")));
	EXPECT_EQ(r.err, text("stderr"));
	if (file_exists(path("stdout.hex")))
		EXPECT_EQ(to_hex({r.out.begin(), r.out.end()}),
			  to_hex(parse_hex(text("stdout.hex"))));
	else
		EXPECT_EQ(r.out, text("stdout"));
	for (const auto &[name, source] : files_)
		if (name.starts_with("after."))
			check_after(name);
}

std::vector<std::string> case_names()
{
	std::vector<std::string> names;
	for (const auto &f : std::filesystem::directory_iterator(CASES))
		if (f.is_directory())
			names.push_back(f.path().filename().string());
	return names;
}

INSTANTIATE_TEST_SUITE_P(cli, Cases, testing::ValuesIn(case_names()),
			 [](const auto &param) { return param.param; });

// What no case folder can hold, with the example's dictionaries: a FIFO, a
// full disk, no standard input, 8 MiB of input and the default map path.
TEST(Special, FilesAndSizes)
{
	std::string examples = tests_source_dir() + "/../examples/", fifo = make_temp_dir() + "/f";
	std::string command;
	for (const std::string &word : target_launcher())
		command += word + " ";
	command += bejconv_path() + " -s " + examples + "Chassis.bin -a " + examples +
		   "annotation.bin ";
	auto err = [&](const std::string &args, const std::string &input = "") {
		return run_program({"/bin/sh", "-c", command + args}, {.input = input}).err;
	};
	std::string name = bejconv_path() + ": ";
	mkfifo(fifo.c_str(), 0600);
	EXPECT_EQ(err("-s " + fifo + " encode-locator"), name + fifo + ": Invalid argument\n");
	EXPECT_EQ(err("-l Status/Health encode-locator >/dev/full"),
		  name + "failed to write out output\n");
	EXPECT_EQ(err("-l Status/Health encode-locator <&-"), "") << "a dictionary opened as fd 0";
	for (size_t size : {8388608, 8388608 + 4096})
		EXPECT_EQ(err("-m /dev/null encode", std::string(size, ' ')),
			  name + "input is too large\n")
			<< size;
	EXPECT_EQ(err("-m /dev/null encode", std::string(8388607, ' ')),
		  name + "unexpected end of data\n")
		<< "one byte less is parsed";
	if (!file_exists("/tmp/pdr_url_map")) {
		EXPECT_EQ(err("encode", "{"),
			  name + "/tmp/pdr_url_map: No such file or directory\n");
	}
}

// Every data type as the leaf a locator names, fed every shape of JSON
// document: leaf_shapes/table gives, for each, the bytes after the header or
// what bejconv says on failure.
TEST(Special, EveryLeafTakesEveryShape)
{
	std::string dir = make_temp_dir(), table = tests_source_dir() + "/tool/leaf_shapes/";
	compile(table, "schema", dir);
	compile(table, "annotation", dir);
	std::istringstream rows(read_file(table + "table"));
	int checked = 0;
	for (std::string row; std::getline(rows, row);) {
		std::istringstream words(row);
		std::string leaf, input, marker, want;
		if (!(words >> leaf >> input >> marker) || leaf[0] == '#')
			continue;
		std::getline(words >> std::ws, want);
		run_result r = run_bejconv({"-s", dir + "/schema.bin", "-a",
					    dir + "/annotation.bin", "-m", "/dev/null", "-l", leaf,
					    "encode"},
					   {.input = input});
		std::string got =
			r.status == 0 ? to_hex({r.out.begin() + std::min<size_t>(7, r.out.size()),
						r.out.end()})
				      : replace_all(r.err.substr(0, r.err.size() - 1), "\n", " | ");
		EXPECT_EQ(marker + " " + got,
			  marker + " " + (marker == "=>" ? to_hex(parse_hex(want)) : want))
			<< leaf << " " << input;
		EXPECT_EQ(r.status, marker == "=>" ? 0 : 1) << leaf << " " << input;
		checked++;
	}
	EXPECT_EQ(13 * 8, checked);
}

}  // namespace
