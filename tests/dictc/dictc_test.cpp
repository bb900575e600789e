// The dictionary compiler: byte-exact vectors (compile/NAME.json beside the
// hand-worked NAME.hex), refused descriptions (errors/NAME.json beside the
// expected message NAME.err), the shape of compiled dictionaries, the
// checked-in examples and the command line.
#include "dictc.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

std::vector<std::string> cases(const std::string &dir, const std::string &suffix)
{
	// (std::filesystem rather than readdir, which fails on 64-bit inode
	// numbers in 32-bit builds.)
	std::vector<std::string> names;
	std::error_code error;
	for (const auto &e : std::filesystem::directory_iterator(dir, error)) {
		std::string n = e.path().filename().string();
		if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
			names.push_back(n.substr(0, n.size() - suffix.size()));
	}
	std::sort(names.begin(), names.end());
	return names;
}

std::vector<uint8_t> compile_ok(const std::string &text)
{
	std::vector<uint8_t> out;
	std::string error;
	EXPECT_TRUE(dictc::compile(text, &out, &error)) << error;
	return out;
}

unsigned get16(const std::vector<uint8_t> &b, size_t at) { return b[at] | b[at + 1] << 8; }

// An independent reading of a dictionary that reports the first broken
// layout or shape rule, or "" when every rule holds: every entry reached by
// exactly one owning child range, children numbered 0, 1, 2.., enum
// children strings, unnamed entries only under arrays (one item) and
// choices, valid NUL-terminated names, and the header's size fields true.
std::string shape_problem(const std::vector<uint8_t> &b)
{
	if (b.size() < 22)
		return "too short";
	const size_t count = get16(b, 2);
	if (count == 0 || b.size() < 12 + 10 * count)
		return "entries outside the data";
	if ((b[8] | b[9] << 8 | b[10] << 16 | (uint32_t)b[11] << 24) != b.size())
		return "dictionary_size is not the real size";
	auto entry = [&](size_t i) { return 12 + 10 * i; };
	auto named = [&](size_t i) {
		size_t len = b[entry(i) + 7], off = get16(b, entry(i) + 8);
		return len && off + len <= b.size() && b[off + len - 1] == 0;
	};
	std::vector<bool> seen(count);
	std::function<std::string(size_t, int)> walk = [&](size_t i, int parent_type) -> std::string {
		seen[i] = true;
		const size_t at = entry(i);
		const int type = b[at] >> 4;
		if (type >= 11 && type <= 13)
			return "reserved type at entry " + std::to_string(i);
		if (!named(i) && parent_type != 1 && parent_type != 9)
			return "unnamed entry " + std::to_string(i) + " outside an array or choice";
		size_t off = get16(b, at + 3), n = get16(b, at + 5);
		if (n == 0)
			return "";
		if (type != 0 && type != 1 && type != 4 && type != 9)
			return "children under a leaf at entry " + std::to_string(i);
		if (type == 1 && n != 1)
			return "array with several items at entry " + std::to_string(i);
		for (size_t k = 0; k < n; k++, off += 10) {
			if (off < 22 || (off - 12) % 10 || (off - 12) / 10 >= count)
				return "bad child offset at entry " + std::to_string(i);
			size_t c = (off - 12) / 10;
			if (get16(b, entry(c) + 1) != k)
				return "child numbered out of order under entry " + std::to_string(i);
			if (type == 4 && (b[entry(c)] >> 4) != 5)
				return "non-string option under entry " + std::to_string(i);
			if (type == 1 && named(c))
				return "named array item under entry " + std::to_string(i);
			if (seen[c])
				return "";  // a shared range, built by its owner
			std::string p = walk(c, type);
			if (!p.empty())
				return p;
		}
		return "";
	};
	if (!named(0))
		return "root without a name";
	std::string p = walk(0, -1);
	if (!p.empty())
		return p;
	for (size_t i = 0; i < count; i++)
		if (!seen[i])
			return "entry " + std::to_string(i) + " unreachable";
	return "";
}

std::string dir(const std::string &sub) { return tests_source_dir() + "/dictc/" + sub; }
std::string examples(const std::string &f) { return tests_source_dir() + "/../examples/" + f; }

TEST(DictcCompile, MatchesHandWorkedBytes)
{
	auto names = cases(dir("compile"), ".json");
	ASSERT_GE(names.size(), 5u);
	for (const auto &n : names) {
		SCOPED_TRACE(n);
		auto bytes = compile_ok(read_file(dir("compile/" + n + ".json")));
		EXPECT_EQ(to_hex(bytes), to_hex(parse_hex(read_file(dir("compile/" + n + ".hex")))));
		// Every vector without deliberate damage keeps every shape rule.
		if (n != "raw") {
			EXPECT_EQ(shape_problem(bytes), "");
		}
	}
}

TEST(DictcCompile, RefusesUnusableDescriptions)
{
	auto names = cases(dir("errors"), ".json");
	ASSERT_GE(names.size(), 10u);
	for (const auto &n : names) {
		SCOPED_TRACE(n);
		std::vector<uint8_t> out{1, 2, 3};
		std::string error;
		EXPECT_FALSE(dictc::compile(read_file(dir("errors/" + n + ".json")), &out, &error));
		std::string want = read_file(dir("errors/" + n + ".err"));
		want.erase(want.find_last_not_of('\n') + 1);
		EXPECT_EQ(error, want);
		EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3})) << "output touched on failure";
	}
}

TEST(DictcCompile, LimitsAndOddInput)
{
	// With 6552 entries the names "D" and "C" start at 65532 and 65534; one
	// more entry pushes them past the 16-bit offsets.
	auto choice = [](int n) {
		std::string s = R"({"name":"D","children":[{"name":"C","type":"choice","children":[)";
		for (int i = 0; i < n; i++)
			s += i ? R"(,{"type":"null"})" : R"({"type":"null"})";
		return s + "]}]}";
	};
	std::vector<uint8_t> out;
	std::string error;
	ASSERT_TRUE(dictc::compile(choice(6550), &out, &error)) << error;
	EXPECT_EQ(get16(out, 2), 6552u);
	EXPECT_EQ(shape_problem(out), "");
	EXPECT_FALSE(dictc::compile(choice(6551), &out, &error));
	EXPECT_EQ(error, "D: its name would lie at offset 65542, past 65535: too many entries or names");

	// Names are laid after the entries; the first one that would start past
	// 65535 is refused by name.
	std::string big = R"({"name":"D","children":[)";
	for (int i = 0; i < 300; i++)
		big += (i ? "," : "") + std::string(R"({"type":"null","name":")") + std::string(240, 'a') +
		       std::to_string(i) + "\"}";
	EXPECT_FALSE(dictc::compile(big + "]}", &out, &error));
	EXPECT_EQ(error.rfind("D/aaaa", 0), 0u) << error;
	EXPECT_NE(error.find("past 65535"), std::string::npos) << error;

	// Deep nesting is refused, not followed into a stack overflow.
	std::string deep;
	for (int i = 0; i < 5000; i++)
		deep += R"({"name":"D","children":[)";
	EXPECT_FALSE(dictc::compile(deep, &out, &error));
	EXPECT_FALSE(dictc::compile(std::string_view("{\"name\":\"D\0\"}", 13), &out, &error));
	EXPECT_FALSE(dictc::compile(R"({"name":"D\u0000"})", &out, &error));
	EXPECT_EQ(error, "description: 'name' must not contain a NUL character");
	// Version numbers are read by value: a leading zero changes nothing.
	EXPECT_EQ(compile_ok(R"({"name":"D","version":"01.03.00"})"),
		  compile_ok(R"({"name":"D","version":"1.3.0"})"));
	EXPECT_FALSE(dictc::compile("", &out, &error));
	EXPECT_EQ(error, "description: the JSON text ends too early");
	EXPECT_FALSE(dictc::compile("{}", nullptr, nullptr));
}

// Every member of the demo resource resolves in the example dictionaries:
// names beginning with "@" among the annotation dictionary root's children,
// the others among the schema children at their level.
struct dict_view {
	std::vector<uint8_t> b;
	std::string name(size_t i) const
	{
		size_t at = 12 + 10 * i, len = b[at + 7], off = get16(b, at + 8);
		return len ? std::string((const char *)&b[off], len - 1) : "";
	}
	std::vector<size_t> kids(size_t i) const
	{
		std::vector<size_t> out;
		size_t at = 12 + 10 * i, off = get16(b, at + 3), n = get16(b, at + 5);
		for (size_t k = 0; k < n; k++)
			out.push_back((off - 12) / 10 + k);
		return out;
	}
	int type(size_t i) const { return b[12 + 10 * i] >> 4; }
};

void check_members(const dict_view &schema, const dict_view &annot, json_object *v, size_t entry,
		   const std::string &path)
{
	if (json_object_get_type(v) == json_type_array) {
		ASSERT_EQ(schema.type(entry), 1) << path;
		for (size_t i = 0; i < json_object_array_length(v); i++)
			check_members(schema, annot, json_object_array_get_idx(v, i), schema.kids(entry).at(0),
				      path + "[]");
		return;
	}
	if (json_object_get_type(v) != json_type_object)
		return;
	json_object_object_foreach(v, key, member) {
		std::string k = key;
		bool annotation = k[0] == '@';
		const dict_view &d = annotation ? annot : schema;
		auto kids = d.kids(annotation ? 0 : entry);
		auto it = std::find_if(kids.begin(), kids.end(), [&](size_t c) { return d.name(c) == k; });
		ASSERT_NE(it, kids.end()) << path + "/" + k << " is not in the dictionary";
		if (annotation)
			continue;
		if (schema.type(*it) == 4) {
			auto opts = schema.kids(*it);
			EXPECT_TRUE(std::any_of(opts.begin(), opts.end(), [&](size_t o) {
				return schema.name(o) == json_object_get_string(member);
			})) << path + "/" + k << " holds an unknown option";
		}
		check_members(schema, annot, member, *it, path + "/" + k);
	}
}

TEST(DictcExamples, CheckedInDictionariesAreCurrent)
{
	for (const char *n : {"Chassis", "annotation"}) {
		SCOPED_TRACE(n);
		auto bytes = compile_ok(read_file(examples(std::string(n) + ".json")));
		EXPECT_EQ(bytes, read_bytes(examples(std::string(n) + ".bin")))
			<< "run examples/build.sh to regenerate";
		EXPECT_EQ(shape_problem(bytes), "");
	}
	dict_view schema{read_bytes(examples("Chassis.bin"))}, annot{read_bytes(examples("annotation.bin"))};
	EXPECT_EQ(schema.name(0), "Chassis");
	EXPECT_EQ(annot.name(0), "annotation");
	json_object *res = json_tokener_parse(read_file(examples("resource.json")).c_str());
	ASSERT_NE(res, nullptr);
	check_members(schema, annot, res, 0, "");
	json_object_put(res);
}

run_result run_dictc(const std::vector<std::string> &args, const std::string &input = "")
{
	std::vector<std::string> argv = target_launcher();
	argv.push_back(RDE_DICTC_PATH);
	argv.insert(argv.end(), args.begin(), args.end());
	// The launcher word is a bare program name; exec needs a path.
	if (argv[0].find('/') == std::string::npos)
		argv[0] = "/usr/bin/" + argv[0];
	run_options opts;
	opts.input = input;
	return run_program(argv, opts);
}

TEST(DictcCommand, WritesFileOrStdoutAndReportsErrors)
{
	const std::string tmp = make_temp_dir();
	const std::string desc = dir("compile/minimal.json");
	const auto want = parse_hex(read_file(dir("compile/minimal.hex")));

	auto r = run_dictc({"-o", tmp + "/out.bin", desc});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(read_bytes(tmp + "/out.bin"), want);

	r = run_dictc({"-"}, read_file(desc));
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, std::string(want.begin(), want.end()));

	r = run_dictc({"--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out.rfind("Usage: rde-dictc [-o OUT] DESCRIPTION.json\n", 0), 0u);

	r = run_dictc({dir("errors/unknown_type.json")});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "rde-dictc: " + dir("errors/unknown_type.json") + ": D/X: unknown type name 'text'\n");

	r = run_dictc({tmp + "/absent.json"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "rde-dictc: " + tmp + "/absent.json: No such file or directory\n");

	for (const auto &args : std::vector<std::vector<std::string>>{{}, {"-x", desc}, {desc, desc}, {"-o"}}) {
		r = run_dictc(args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err.rfind("rde-dictc: ", 0), 0u) << r.err;
	}
}

}  // namespace
