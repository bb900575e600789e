// rde-dictc and rde-inspect run as a user runs them: each cases/NAME.case is
// a command line with the exit status and the output it must give (see
// README.md); rde-inspect bej reads every decode vector up to its fault.
#include "mockups.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;

run_result run_commands(const std::string &line, const std::string &tmp);

// Replaces {tests} and {tmp} with the folders.
std::string substitute(const std::string &text, const std::string &tmp)
{
	return replace_all(replace_all(text, "{tests}", tests_source_dir()), "{tmp}", tmp);
}

// A word of a command line: {dict:FILE} and {hex:FILE} become the file of
// tmp that holds the compiled description or the bytes spelled in hex.
std::string expand(std::string word, const std::string &tmp)
{
	word = substitute(word, tmp);
	bool hex = word.rfind("{hex:", 0) == 0;
	if (!hex && word.rfind("{dict:", 0) != 0)
		return word;
	std::string source = word.substr(hex ? 5 : 6, word.size() - (hex ? 6 : 7));
	std::string path = tmp + "/" + fs::path(source).stem().string() + ".bin";
	source = (fs::path(tests_source_dir()) / source).string();  // unless absolute
	if (hex)
		write_bytes(path, parse_hex(read_file(source)));
	else
		EXPECT_EQ(run_commands("rde-dictc -o " + path + " " + source, tmp).err, "");
	return path;
}

// Runs each command of the line ("&&" between them) until one fails.
run_result run_commands(const std::string &line, const std::string &tmp)
{
	std::istringstream words(line);
	std::string word;
	run_result all{0, "", ""};
	while (all.status == 0 && words >> word) {
		run_options options;
		// NAME=VALUE words before the program are set in its environment.
		for (bool more = true; more && word.find('=') != std::string::npos;
		     more = static_cast<bool>(words >> word))
			options.env.push_back(word);
		std::vector<std::string> argv = target_launcher();
		argv.push_back(word == "rde-inspect" ? RDE_INSPECT_PATH
			       : word == "bejconv"   ? bejconv_path()
						     : RDE_DICTC_PATH);
		while (words >> word && word != "&&") {
			if (word == "<" && words >> word)
				options.input = read_file(expand(word, tmp));
			else
				argv.push_back(expand(word, tmp));
		}
		run_result r = run_program(argv, options);
		all = {r.status, all.out + r.out, all.err + r.err};
	}
	return all;
}

// JSON text as json-c prints it, whatever its layout; other text as it is.
std::string reprinted(const std::string &text)
{
	json_object *value = json_tokener_parse(text.c_str());
	std::string out = value ? json_object_to_json_string_ext(value, JSON_C_TO_STRING_PRETTY)
				: text;
	json_object_put(value);
	return out;
}

TEST(Commands, GiveTheOutputOfEveryCase)
{
	for (const auto &entry : fs::directory_iterator(tests_source_dir() + "/commands/cases")) {
		SCOPED_TRACE(entry.path().filename().string());
		std::string tmp = make_temp_dir(), text = read_file(entry.path().string()), command;
		size_t out = text.find("--- stdout"),
		       err = std::min(text.find("--- stderr\n"), text.size());
		std::string want = out < err ? text.substr(out, err - out) : "--- stdout\n";
		bool hex = want.rfind("--- stdout hex\n", 0) == 0,
		     json = want.rfind("--- stdout json\n", 0) == 0;
		want = substitute(want.substr(want.find('\n') + 1), tmp);
		std::istringstream head(text);
		std::getline(head, command);
		int status = -1;
		head.ignore(5) >> status;
		run_result r = run_commands(command, tmp);
		EXPECT_EQ(r.status, status) << r.err;
		if (hex)
			EXPECT_EQ(to_hex({r.out.begin(), r.out.end()}), to_hex(parse_hex(want)));
		else if (json)
			EXPECT_EQ(reprinted(r.out), reprinted(want));
		else
			EXPECT_EQ(elided(r.out, want), want);
		EXPECT_EQ(r.err, err < text.size() ? substitute(text.substr(err + 11), tmp) : "");
	}
}

TEST(Commands, DictcKeepsEntriesAndNamesWithinSixteenBitOffsets)
{
	// With n choice options the root, the choice and n entries come first,
	// then the names "D" and "C": 6552 entries end at 65532.
	const std::string tmp = make_temp_dir();
	auto choice = [&](int n) {
		std::string s =
			R"({"name":"D","children":[{"name":"C","type":"choice","children":[)";
		for (int i = 0; i < n; i++)
			s += i ? R"(,{"type":"null"})" : R"({"type":"null"})";
		write_file(tmp + "/d.json", s + "]}]}");
		return run_commands("rde-dictc {tmp}/d.json", tmp);
	};
	EXPECT_EQ(choice(6550).out.size(), 65536u);
	EXPECT_EQ(choice(6551).err, "rde-dictc: " + tmp +
					    "/d.json: D: its name would lie at offset 65542, "
					    "past 65535: too many entries or names\n");
	EXPECT_EQ(choice(6552).err, "rde-dictc: " + tmp +
					    "/d.json: D/C: too many entries: entry 6553 "
					    "would lie past offset 65535\n");
}

// A list of this folder: for the first word of each line but comments,
// the rest of it as a line.
std::map<std::string, std::string> listed(const std::string &file)
{
	std::map<std::string, std::string> lines;
	std::istringstream list(read_file(tests_source_dir() + "/commands/" + file));
	for (std::string name, line; list >> name && std::getline(list, line);)
		if (name[0] != '#')
			lines[name] = line.substr(1) + "\n";
	return lines;
}

// The decode vectors whose bytes are malformed (decode_vectors.txt: name
// and last line) end with the line naming where; the others are read to
// the end, each with the descriptions the library's tests register for it.
TEST(Commands, InspectReadsEveryDecodeVectorUpToItsFault)
{
	std::map<std::string, std::string> faults = listed("decode_vectors.txt");
	for (const auto &entry : fs::directory_iterator(tests_source_dir() + "/vectors/decode")) {
		std::string name = entry.path().filename().string();
		if (!fs::exists(entry.path() / "input.hex"))
			continue;
		SCOPED_TRACE(name);
		auto [schema, annotation] = vector_descriptions(entry.path().string());
		run_result r = run_commands(
			"rde-inspect bej -s {dict:" + schema + "}" +
				(annotation.empty() ? "" : " -a {dict:" + annotation + "}") +
				" {hex:vectors/decode/" + name + "/input.hex}",
			make_temp_dir());
		std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
		EXPECT_EQ(r.status, (int)faults.count(name)) << r.err;
		EXPECT_EQ(last.rfind("error at offset", 0) ? "" : last, faults[name]);
	}
}

// Every published dictionary: rde-inspect dict shows it without a problem,
// the gapped ones (gapped_dictionaries: with the line registration logs at
// the first gap) with one note, and bejconv refuses those unless told to
// accept gaps; it decompiles into a description that compiles into the same
// schema: every mockup of it, prepared for it, encodes to the same bytes
// with either dictionary.
TEST(CommandsReference, PublishedDictionariesInspectAndDecompileIntoTheSameSchema)
{
	if (redfish_dir().empty())
		GTEST_SKIP() << "reference data absent: no Redfish dictionaries folder";
	std::map<std::string, std::string> gapped = listed("gapped_dictionaries");
	const std::string bejconv = "bejconv -a " + reference_annotation() + " -m /dev/null -s ";
	int dictionaries = 0, notes = 0, mockups = 0;
	for (const auto &entry : fs::directory_iterator(redfish_dir() + "/dictionaries")) {
		std::string path = entry.path().string(), tmp = make_temp_dir();
		SCOPED_TRACE(path);
		run_result r = run_commands("rde-inspect dict " + path, tmp);
		size_t note = r.out.find("\nnote: ");
		EXPECT_EQ(r.status, 0) << r.out;  // 1 with a problem line
		EXPECT_EQ(note, r.out.rfind("\nnote: "));
		notes += note != std::string::npos;
		std::string name = entry.path().filename().string();
		r = run_commands(bejconv + path + " encode-locator", tmp);
		EXPECT_EQ(replace_all(r.err, bejconv_path(), "bejconv"),
			  !gapped.count(name)
				  ? "bejconv: locator must be specified\n"
				  : gapped[name] +
					    "librde[error]: Failed to parse the dictionary\n"
					    "bejconv: failed to parse dictionary '" +
					    path + "': Invalid argument\n");
		r = run_commands("rde-dictc -d -o {tmp}/d.json " + path +
					 " && rde-dictc -o {tmp}/d.bin {tmp}/d.json",
				 tmp);
		EXPECT_EQ(r.status, 0) << r.err;
		for (const reference_mockup &m : reference_mockups()) {
			json_object *json = m.dictionary == path ? prepare_mockup(m) : nullptr;
			bool written = json &&
				       json_object_to_file((tmp + "/m.json").c_str(), json) == 0;
			json_object_put(json);
			if (!written)
				continue;
			std::string gaps = "BEJCONV_SEQUENCE_GAPS=accept " + bejconv;
			r = run_commands(gaps + path + " encode {tmp}/m.json", tmp);
			EXPECT_EQ(r.status, 0) << m.path << r.err;
			EXPECT_EQ(r.out,
				  run_commands(gaps + "{tmp}/d.bin encode {tmp}/m.json", tmp).out)
				<< m.path;
			mockups++;
		}
		dictionaries++;
	}
	EXPECT_EQ(dictionaries, 274);
	EXPECT_EQ(notes, 24);
	EXPECT_EQ(gapped.size(), 24u);
	EXPECT_EQ(mockups, 3776);
}

}  // namespace
