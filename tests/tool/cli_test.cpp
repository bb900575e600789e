// The bejconv command line: usage, options, operands, files and the failure
// messages of the driver, run as a real process.
#include "dictc.h"
#include "dictionary_view.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string USAGE =
	"Usage: bejconv [OPTIONS] ACTION FILE\n"
	"Converts JSON-encoded FILE to a binary encoded JSON (BEJ) format or \n"
	"the other way around.\n"
	"\n"
	"Options:\n"
	"    -s, --schema=FILE        Use FILE as primary schema dictionary for encoding\n"
	"    -a, --annotation=FILE    Use FILE as annotation schema\n"
	"    -t, --schema-type=TYPE   Primary schema type (major, event, error, etc.)\n"
	"    -o, --output=FILE        Write encoded/decoded data to FILE\n"
	"    -l, --locator=STRING     Locator string in the form of PROPERTY/CHILD_PROPERTY\n"
	"    -m, --pdr-map=FILE       Use FILE as pdr_url_map\n"
	"    -p, --percent=FILE       Use FILE as % replacement\n"
	"    -u, --prefix-url=STRING  prefix_url string\n"
	"    -h, --help               Show this help\n"
	"Actions:\n"
	"    encode                   encodes JSON to BEJ\n"
	"    decode                   decodes BEJ to JSON\n"
	"    encode-locator           encodes locator into BEJ locator format\n";

const char *const SCHEMA = R"({"name":"Root","version":"1.0.0","children":[
	{"name":"Id","type":"string"},
	{"name":"Members","type":"array","item":{"type":"string"}},
	{"name":"Reading","type":"real"},
	{"name":"Status","type":"set","children":[
		{"name":"Health","type":"enum","options":["OK","Warning"]}]}]})";

const char *const ANNOTATION = R"({"name":"annotation","version":"1.0.0","children":[
	{"name":"@odata.id","type":"string"}]})";

std::string compile(const char *description, const std::string &path)
{
	std::vector<uint8_t> bytes;
	std::string error;
	if (!dictc::compile(description, &bytes, &error))
		throw std::runtime_error("test dictionary: " + error);
	write_bytes(path, bytes);
	return path;
}

// Both dictionaries, an empty map and a scratch folder, shared by a suite.
class cli : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		dir = make_temp_dir();
		schema = compile(SCHEMA, dir + "/schema.bin");
		annotation = compile(ANNOTATION, dir + "/annotation.bin");
		map = dir + "/map";
		write_file(map, "");
	}

	// -s, -a and -m, then args.
	static std::vector<std::string> with_dicts(std::vector<std::string> args)
	{
		args.insert(args.begin(), {"-s", schema, "-a", annotation, "-m", map});
		return args;
	}

	// The locator bytes of a path of names in the test schema, worked out
	// from the dictionary bytes: the root's and every step's sequence number
	// times two, each an nnint, after the nnint of their total length.
	static std::vector<uint8_t> locator_bytes(const std::vector<std::string> &path)
	{
		std::vector<uint8_t> raw = read_bytes(schema);
		dictionary_view view(raw);
		auto seq = [&](const dictionary_view::entry &e) {
			return raw.at(12 + 10 * e.index + 1) | raw.at(12 + 10 * e.index + 2) << 8;
		};
		auto at = view.root();
		std::vector<uint8_t> body = nnint(2 * seq(*at));
		for (const auto &name : path) {
			at = view.child(*at, name);
			if (!at)
				throw std::runtime_error("no property " + name);
			auto field = nnint(2 * seq(*at));
			body.insert(body.end(), field.begin(), field.end());
		}
		std::vector<uint8_t> out = nnint(body.size());
		out.insert(out.end(), body.begin(), body.end());
		return out;
	}

	static std::string dir, schema, annotation, map;
};
std::string cli::dir, cli::schema, cli::annotation, cli::map;

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

TEST(cli_usage, help_prints_the_usage_and_ends_at_once)
{
	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
		     {"-h"}, {"--help"}, {"--he"}, {"-h", "--bogus"}, {"encode", "-h", "-t", "major"}}) {
		SCOPED_TRACE(args.front());
		run_result r = run_bejconv(args);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, USAGE);
		EXPECT_EQ(r.err, "");
	}
	// The program name is the first argument word unchanged.
	run_options opts;
	opts.argv0 = "/opt/conv/bejconv2";
	run_result r = run_bejconv({"-h"}, opts);
	EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
		  "Usage: /opt/conv/bejconv2 [OPTIONS] ACTION FILE");
}

TEST(cli_usage, refused_options_add_the_usage_text)
{
	struct refused {
		std::vector<std::string> args;
		std::string err;
	};
	for (const refused &c : std::vector<refused>{
		     {{"--bogus", "-h"}, "bejconv: unrecognized option '--bogus'\n"},
		     // Advertised in the usage text, but only -p sets the percent file.
		     {{"--percent=p.txt", "encode"}, "bejconv: unrecognized option '--percent=p.txt'\n"},
		     {{"--percent", "p.txt", "encode"}, "bejconv: unrecognized option '--percent'\n"},
		     {{"-x", "encode"}, "bejconv: invalid option -- 'x'\n"},
		     {{"encode", "-s"}, "bejconv: option requires an argument -- 's'\n"},
		     {{"encode", "--schema"}, "bejconv: option '--schema' requires an argument\n"},
		     {{"--help=yes"}, "bejconv: option '--help' doesn't allow an argument\n"},
		     {{"--sch=a", "encode"}, "bejconv: option '--sch=a' is ambiguous; possibilities:"
					     " '--schema' '--schema-type'\n"},
	     }) {
		SCOPED_TRACE(c.args.front());
		run_result r = run_bejconv(c.args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, USAGE);
		EXPECT_EQ(r.err, c.err);
	}
}

TEST(cli_usage, invalid_schema_type_is_named_without_usage)
{
	// "7abc" reads as 7 (see cli.options); a word or a number beyond int is
	// refused rather than wrapped.
	for (std::string type : {"major", "", "x7", "4294967296", "-2147483649"}) {
		run_result r = run_bejconv({"-t", type, "encode"});
		EXPECT_EQ(r.status, 1) << type;
		EXPECT_EQ(r.out, "") << type;
		EXPECT_EQ(r.err, "bejconv: invalid schema type '" + type + "'\n");
	}
}

TEST_F(cli, usage_errors_print_only_the_usage)
{
	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
		     {},
		     {"-s", schema, "-a", annotation},               // no action
		     {"-s", schema, "encode"},                       // no -a
		     {"-a", annotation, "encode-locator", schema},   // no -s, FILE opens
		     {"-s", schema, "-a", annotation, "Encode"},     // actions compare exactly
		     {"-s", schema, "-a", annotation, "frobnicate", map},
	     }) {
		run_result r = run_bejconv(args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, USAGE);
		EXPECT_EQ(r.err, "");
	}
}

TEST_F(cli, a_file_that_cannot_be_opened_comes_before_every_other_check)
{
	std::string missing = dir + "/missing.json";
	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
		     {"encode", missing},                                      // no dictionaries
		     {"-s", schema, "-a", annotation, "frobnicate", missing},  // unknown action
		     {"-s", schema, "-a", annotation, "decode", missing},
	     }) {
		run_result r = run_bejconv(args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "bejconv: " + missing + ": No such file or directory\n");
		EXPECT_EQ(r.out, USAGE);
	}
	// '-' is a file name like any other, not standard input.
	run_result r = run_bejconv(with_dicts({"decode", "-"}), {.input = "x"});
	EXPECT_EQ(r.err, "bejconv: -: No such file or directory\n");
	EXPECT_EQ(r.status, 1);
}

TEST_F(cli, options_take_long_forms_abbreviations_and_last_values)
{
	const std::string no_locator = "bejconv: locator must be specified\n";
	std::string percent = dir + "/percent";
	for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
		     {"--schema=" + schema, "--annot", annotation, "--schema-t=0", "encode-locator"},
		     {"encode-locator", "--schema", schema, "--a=" + annotation},
		     {"-s", dir + "/none.bin", "-s", schema, "-a", annotation, "encode-locator"},
		     {"-s", schema, "-a", annotation, "-t", "7abc", "encode-locator"},
		     {"-s", schema, "-a", annotation, "--pdr=" + dir + "/none", "--prefix", "/x",
		      "--out=" + dir + "/none.out", "-p", percent, "encode-locator"},
		     // FILE is opened but not read; operands after it are ignored.
		     {"-s", schema, "-a", annotation, "encode-locator", map, "/nonexistent"},
	     }) {
		run_result r = run_bejconv(args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, no_locator);
	}
	// encode-locator reads no map and writes no percent file.
	EXPECT_FALSE(file_exists(percent));

	run_result r = run_bejconv({"-s", schema, "-s", dir + "/none.bin", "-a", annotation,
				    "encode-locator"});
	EXPECT_EQ(r.err, "bejconv: " + dir + "/none.bin: No such file or directory\n");
}

TEST_F(cli, dictionary_files_that_cannot_be_registered)
{
	std::string empty = dir + "/empty.bin", shortfile = dir + "/short.bin";
	std::string fifo = dir + "/fifo.bin";
	write_file(empty, "");
	write_file(shortfile, std::string(11, '\x01'));
	mkfifo(fifo.c_str(), 0600);
	const std::string parse_failure = "librde[error]: Invalid length of the dictionary\n"
					  "librde[error]: Failed to parse the dictionary\n";
	struct bad {
		std::string path, err;
	};
	for (const bad &b : std::vector<bad>{
		     {dir + "/none.bin", "bejconv: " + dir + "/none.bin: No such file or directory\n"},
		     {map + "/x.bin", "bejconv: " + map + "/x.bin: Not a directory\n"},
		     // A zero-length mapping is refused.
		     {empty, "bejconv: " + empty + ": Invalid argument\n"},
		     {dir, "bejconv: " + dir + ": No such device\n"},
		     // Opened without waiting for a writer, refused by the mapping.
		     {fifo, "bejconv: " + fifo + ": Invalid argument\n"},
		     {shortfile, parse_failure + "bejconv: failed to parse dictionary '" + shortfile +
					 "': Invalid argument\n"},
	     }) {
		SCOPED_TRACE(b.path);
		run_result r = run_bejconv({"-s", b.path, "-a", annotation, "encode-locator"});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, b.err);
		r = run_bejconv({"-s", schema, "-a", b.path, "encode-locator"});
		EXPECT_EQ(r.err, b.err);
	}

	// The library's lines follow LIBRDE_LOG_LEVEL; the converter's do not.
	run_result r = run_bejconv({"-s", shortfile, "-a", annotation, "encode-locator"},
				   {.env = {"LIBRDE_LOG_LEVEL=quiet"}});
	EXPECT_EQ(r.err, "bejconv: failed to parse dictionary '" + shortfile + "': Invalid argument\n");

	// Only one annotation dictionary fits in a context, so schema type 2
	// fails on the annotation file.
	r = run_bejconv({"-t", "2", "-s", schema, "-a", annotation, "encode-locator"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "librde[error]: Annotation dictionary has already been added\n"
			 "bejconv: failed to parse dictionary '" + annotation + "': Invalid argument\n");
}

TEST_F(cli, output_file_is_replaced_never_appended_to)
{
	std::string out = dir + "/out.bin";
	run_result r = run_bejconv(with_dicts({"-o", dir, "encode-locator"}));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "bejconv: " + dir + " is not a regular file\n");

	r = run_bejconv(with_dicts({"-o", map + "/out", "encode-locator"}));
	EXPECT_EQ(r.err, "bejconv: " + map + "/out: Not a directory\n");

	// An old output file is gone even when the action then fails.
	write_file(out, "old contents");
	r = run_bejconv(with_dicts({"-o", out, "encode-locator"}));
	EXPECT_EQ(r.status, 1);
	EXPECT_FALSE(file_exists(out));

	write_file(out, "old contents");
	for (int pass = 0; pass < 2; pass++) {
		r = run_bejconv(with_dicts({"-o", out, "-l", "Status/Health", "encode-locator"}));
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(to_hex(read_bytes(out)), to_hex(locator_bytes({"Status", "Health"})));
	}
}

TEST_F(cli, a_failed_write_to_stdout_fails_the_run)
{
	std::string command;
	for (const std::string &word : target_launcher())
		command += word + " ";
	command += bejconv_path() + " -s " + schema + " -a " + annotation +
		   " -l Status/Health encode-locator >/dev/full";
	run_result r = run_program({"/bin/sh", "-c", command});
	EXPECT_EQ(r.status, 1);
	EXPECT_TRUE(r.err.ends_with(": failed to write out output\n")) << r.err;
}

TEST_F(cli, locator_strings)
{
	run_result r = run_bejconv(with_dicts({"-l", "Status/Health", "encode-locator"}));
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(to_hex(bytes_of(r.out)), to_hex(locator_bytes({"Status", "Health"})));

	// A segment that begins with a number is an array index ("2abc" is 2).
	run_result two = run_bejconv(with_dicts({"-l", "Members/2", "encode-locator"}));
	EXPECT_EQ(two.status, 0) << two.err;
	r = run_bejconv(with_dicts({"--locator=Members/2abc", "encode-locator"}));
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, two.out);

	struct refused {
		std::string locator, reason;
	};
	for (const refused &c : std::vector<refused>{
		     {"Status/Bogus", "Invalid locator component: Bogus"},
		     {"status", "Invalid locator component: status"},
		     {"Status/0", "Invalid locator component: not an array item"},
		     {"Members/x", "Invalid locator component: x"},
		     // An index cannot hold it, so it stays a name.
		     {"Members/70000", "Invalid locator component: 70000"},
		     {"Status/", "Invalid locator component: "},
	     }) {
		r = run_bejconv(with_dicts({"-l", c.locator, "encode-locator"}));
		EXPECT_EQ(r.status, 1) << c.locator;
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "librde[error]: " + c.reason + "\nbejconv: failed to build the locator\n");
	}
}

TEST_F(cli, encode_reads_the_map_then_at_most_8_mib_of_input)
{
	// The map comes first: the broken input is never read.
	std::string missing = dir + "/no_map";
	run_result r = run_bejconv({"-s", schema, "-a", annotation, "-m", missing, "encode"},
				   {.input = "{"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "bejconv: " + missing + ": No such file or directory\n");

	// The percent file is written before the input is read.
	std::string percent = dir + "/percent.txt";
	r = run_bejconv(with_dicts({"-p", percent, "encode"}), {.input = "{\"Id\": }"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "bejconv: unexpected character\n");
	EXPECT_EQ(read_file(percent).substr(0, 18), "%L1: /redfish/v1\n%");

	r = run_bejconv(with_dicts({"encode"}), {.input = std::string(8388608, ' ')});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "bejconv: input is too large\n");
	// One byte less fits, so it is parsed (and found empty).
	r = run_bejconv(with_dicts({"encode"}), {.input = std::string(8388607, ' ')});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "bejconv: unexpected end of data\n");
}

TEST(cli_default_map, encode_fails_when_the_default_map_is_absent)
{
	if (file_exists("/tmp/pdr_url_map"))
		GTEST_SKIP() << "/tmp/pdr_url_map exists on this machine";
	std::string dir = make_temp_dir();
	std::string schema = compile(SCHEMA, dir + "/s.bin");
	std::string annotation = compile(ANNOTATION, dir + "/a.bin");
	run_result r = run_bejconv({"-s", schema, "-a", annotation, "encode"}, {.input = "{"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "bejconv: /tmp/pdr_url_map: No such file or directory\n");
}

TEST_F(cli, encode_and_decode_round_trip)
{
	std::string bej = dir + "/resource.bej";
	const std::string json = R"({"Id":"1","Reading":0.1,"Status":{"Health":"OK"}})";
	run_result r = run_bejconv(with_dicts({"-t", "7abc", "-o", bej, "encode"}), {.input = json});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out + r.err, "");
	std::vector<uint8_t> bytes = read_bytes(bej);
	ASSERT_GT(bytes.size(), 7u);
	EXPECT_EQ(bytes[6], 7) << "the schema class is the -t number";

	// Pretty printed, reals with 15 significant digits, one newline.
	r = run_bejconv(with_dicts({"-t", "7", "decode", bej}));
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "{\n  \"Id\":\"1\",\n  \"Reading\":0.1,\n  \"Status\":{\n"
			 "    \"Health\":\"OK\"\n  }\n}\n");

	r = run_bejconv(with_dicts({"-t", "0", "decode", bej}));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_NE(r.err.find("bejconv: BEJ decoding failed\n"), std::string::npos) << r.err;

	// A top-level string needs a locator naming its property.
	r = run_bejconv(with_dicts({"encode"}), {.input = "\"OK\""});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("bejconv: failed to convert object 'Root' to BEJ\n"),
		  std::string::npos) << r.err;
	r = run_bejconv(with_dicts({"-l", "Status/Health", "encode"}), {.input = "\"OK\""});
	EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
