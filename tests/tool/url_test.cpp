// URL macros through their three functions: the map loader with its percent
// file, abbreviation of one string value and expansion of decoded text.
#include "abbreviation.h"
#include "expansion.h"
#include "url_table.h"

#include "paths.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

url_table table;
abbreviation_buffer abbreviated;

const char *abbreviate(const char *text) { return abbreviate_urls(table, text, abbreviated); }

struct loaded {
	int status = 0;
	std::string map_path;
	std::vector<std::string> percent;  // lines without their newline
	std::string err;
};

std::vector<std::string> split_lines(const std::string &text)
{
	std::vector<std::string> lines;
	size_t start = 0;
	for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
		lines.push_back(text.substr(start, nl - start));
	if (start < text.size())
		lines.push_back(text.substr(start));
	return lines;
}

loaded load(const std::string &map, const char *prefix = "/redfish/v1")
{
	std::string dir = make_temp_dir();
	loaded result;
	result.map_path = dir + "/map";
	write_file(result.map_path, map);
	std::string percent = dir + "/percent";
	testing::internal::CaptureStderr();
	result.status = load_pdr_url_map(table, result.map_path.c_str(), prefix, percent.c_str());
	result.err = testing::internal::GetCapturedStderr();
	if (result.status == 0)
		result.percent = split_lines(read_file(percent));
	return result;
}

// The URL of an id as the percent file lists it.
std::string url_of(const loaded &l, unsigned id)
{
	const std::string &line = l.percent.at(id - 1);
	std::string head = "%L" + std::to_string(id) + ": ";
	EXPECT_EQ(line.substr(0, head.size()), head);
	return line.substr(head.size());
}

std::string expand(const std::string &text)
{
	static std::vector<char> buffer(EXPANSION_BUFFER_SIZE);
	size_t n = expand_url_macros(table, text.data(), text.size(), buffer.data());
	EXPECT_EQ(buffer[n], '\0');
	return std::string(buffer.data(), n);
}

const char *const EXAMPLE_MAP =
	"5 1 Systems\n"
	"6 5 1\n"
	"8 9 Bare\n"      // parent composed later: bare name
	"9 1 Later\n"
	"a 3 Orphan\n"    // absent parent: its macro
	"0xb 1 Crlf\r\n"  // carriage return kept
	"c 1 Two Words\n"
	"d 6 Processors\n";

TEST(UrlMap, ComposesTheTableAndListsItInThePercentFile)
{
	loaded l = load(EXAMPLE_MAP);
	ASSERT_EQ(l.status, 0);
	EXPECT_EQ(l.err, "");
	ASSERT_EQ(l.percent.size(), 257u);
	EXPECT_EQ(l.percent[0], "%L1: /redfish/v1");
	EXPECT_EQ(url_of(l, 5), "/redfish/v1/Systems");
	EXPECT_EQ(url_of(l, 6), "/redfish/v1/Systems/1");
	EXPECT_EQ(l.percent[6], "%L7: %L7");
	EXPECT_EQ(url_of(l, 8), "Bare");
	EXPECT_EQ(url_of(l, 10), "%L3/Orphan");
	EXPECT_EQ(url_of(l, 11), "/redfish/v1/Crlf\r");
	EXPECT_EQ(url_of(l, 12), "/redfish/v1/Two Words");
	EXPECT_EQ(url_of(l, 13), "/redfish/v1/Systems/1/Processors");
	EXPECT_EQ(l.percent[254], "%L255: %L255");
	EXPECT_EQ(l.percent[255], "%C: /redfish/v1/Chassis/1");
	EXPECT_EQ(l.percent[256], "%I1: Tarnwhelk");

	// The prefix follows -u; the fixed texts do not.
	loaded other = load("5 1 Systems\n", "/rf");
	ASSERT_EQ(other.status, 0);
	EXPECT_EQ(other.percent[0], "%L1: /rf");
	EXPECT_EQ(url_of(other, 5), "/rf/Systems");
	EXPECT_EQ(other.percent[255], "%C: /redfish/v1/Chassis/1");
}

TEST(UrlMap, SkipsMalformedLinesWithAWarningAndReadsLongLinesInPieces)
{
	// A long line arrives in 119-character pieces, each read as a line: the
	// first piece here is a valid line whose id field is padded with zeros.
	std::string piece = std::string(119 - 10, '0') + "21 1 Piece";
	std::string map = "5 1 Systems\n"
			  "\n"           // empty lines are skipped silently
			  "\r\n"
			  " 6 1 Lead\n"  // 4: leading blank
			  "7 1\n"        // 5: one blank for an id above 1
			  "z 1 NotHex\n" // 6
			  "8 1x Bad\n"   // 7: parent not hexadecimal
			  "100 1 Big\n"  // 8: id above ff
			  "9 100 Big\n"  // 9: parent above ff
			  "a 1 " + std::string(30, 'n') + "\n"  // 10: name too long
			  "b 1 " + std::string(29, 'n') + "\n"  // 29 characters are fine
			  "1 0\n"        // ids 0 and 1 need no name
			  "5 1 " + std::string(40, 'x') + "\n"  // 13: keeps the earlier 5
			  + piece + "22 1 Rest\n" +             // 14: two lines in one
			  std::string(130, 'q') + "\n" +        // 15: two malformed pieces
			  "0x 1 Empty\n";                       // 16: 0x without digits
	loaded l = load(map);
	ASSERT_EQ(l.status, 0);
	std::string expected;
	for (unsigned n : {4, 5, 6, 7, 8, 9, 10, 13, 15, 15, 16})
		expected += "bejconv: " + l.map_path + ": ignoring malformed line " +
			    std::to_string(n) + "\n";
	EXPECT_EQ(l.err, expected);
	EXPECT_EQ(url_of(l, 5), "/redfish/v1/Systems");
	for (unsigned id : {6, 7, 8, 9, 10})
		EXPECT_EQ(url_of(l, id), "%L" + std::to_string(id)) << id;
	EXPECT_EQ(url_of(l, 11), "/redfish/v1/" + std::string(29, 'n'));
	EXPECT_EQ(url_of(l, 0x21), "/redfish/v1/Piece");
	EXPECT_EQ(url_of(l, 0x22), "/redfish/v1/Rest");
	// The line for id 1 binds the prefix.
	EXPECT_STREQ(abbreviate("/redfish/v1"), "%L1");
}

TEST(UrlMap, LeavesOverlongUrlsUnboundAndRefusesAnOverlongPrefix)
{
	// 11 + 3 * 30 = 101 characters fit; one more level does not.
	std::string n29(29, 'n');
	loaded l = load("2 1 " + n29 + "\n3 2 " + n29 + "\n4 3 " + n29 + "\n5 4 x\n6 5 y\n");
	ASSERT_EQ(l.status, 0);
	EXPECT_EQ(url_of(l, 4).size(), 101u);
	EXPECT_EQ(url_of(l, 5), "%L5");
	EXPECT_EQ(url_of(l, 6), "%L5/y");
	EXPECT_EQ(l.err, "bejconv: " + l.map_path +
				 ": URL of id 5 is longer than 101 characters, ignoring it\n");
	std::string url4 = url_of(l, 4);
	EXPECT_STREQ(abbreviate((url4 + "/x").c_str()), "%L4/x");
	EXPECT_EQ(expand("%L5|%L4"), "%L5|" + url4);

	std::string prefix(101, 'p');
	EXPECT_EQ(load("", prefix.c_str()).status, 0);
	prefix += 'p';
	loaded refused = load("", prefix.c_str());
	EXPECT_EQ(refused.status, -EIO);
	EXPECT_EQ(refused.err, "bejconv: prefix URL is longer than 101 characters\n");

	// An empty prefix: entry 1 is present but empty and never matches.
	loaded empty = load("1 0\n5 1 Systems\n", "");
	ASSERT_EQ(empty.status, 0);
	EXPECT_EQ(url_of(empty, 5), "Systems");
	EXPECT_STREQ(abbreviate("aSystems"), "a%L5");
}

TEST(UrlMap, FailsOnUnreadableMapOrUnwritablePercentFile)
{
	std::string dir = make_temp_dir();
	std::string missing = dir + "/missing";
	testing::internal::CaptureStderr();
	EXPECT_EQ(load_pdr_url_map(table, missing.c_str(), "/redfish/v1", nullptr), -EIO);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "bejconv: " + missing + ": " + strerror(ENOENT) + "\n");

	write_file(dir + "/map", "5 1 Systems\n");
	std::string map = dir + "/map";
	testing::internal::CaptureStderr();
	EXPECT_EQ(load_pdr_url_map(table, map.c_str(), "/redfish/v1", dir.c_str()), -EIO);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "bejconv: " + dir + ": " + strerror(EISDIR) + "\n");

	if (file_exists("/dev/full")) {
		testing::internal::CaptureStderr();
		EXPECT_EQ(load_pdr_url_map(table, map.c_str(), "/redfish/v1", "/dev/full"), -EIO);
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
			  std::string("bejconv: /dev/full: ") + strerror(ENOSPC) + "\n");
	}
	// Without a percent path nothing is written.
	EXPECT_EQ(load_pdr_url_map(table, map.c_str(), "/redfish/v1", nullptr), 0);
}

TEST(UrlAbbreviation, ReplacesUrlsQuotesAndFixedTexts)
{
	ASSERT_EQ(load(EXAMPLE_MAP).status, 0);
	const struct {
		const char *text, *abbreviated;
	} cases[] = {
		{"/redfish/v1/Systems/1/Processors", "%L13"},
		{"/redfish/v1/Systems/1/Memory", "%L6/Memory"},
		{"/redfish/v1/Systems/2", "%L5/2"},
		{"/redfish/v1/Systems/12", "%L62"},  // reads back as id 62
		{"/redfish/v1", "/redfish/v1"},      // no line for id 1
		{"/redfish/v1/Chassis/1", "%C"},
		{"/redfish/v1/Chassis/12", "%C2"},
		{"Tarnwhelk rules", "%I1 rules"},
		{"say \"hi\"", "say \\\"hi\\\""},
		{"a\\b 100% %L5", "a\\b 100% %L5"},  // backslashes and '%' unchanged
		{"xBarex", "x%L8x"},                 // matches inside words
		{"/redfish/v1/Crlf\r", "%L11"},
		{"/redfish/v1/Crlf", "/redfish/v1/Crlf"},
		{"%L3/Orphan", "%L10"},
		{"", ""},
	};
	for (const auto &c : cases)
		EXPECT_STREQ(abbreviate(c.text), c.abbreviated) << c.text;
}

TEST(UrlAbbreviation, EncodesLongStringsWhole)
{
	ASSERT_EQ(load("ff 0 a\n5 1 Systems\n").status, 0);
	std::string quoted;
	for (int i = 0; i < 2085; i++)
		quoted += "\\\"";
	EXPECT_EQ(std::string(abbreviate(std::string(2085, '"').c_str())), quoted);
	// A one-character URL becomes a five-character macro.
	std::string fives;
	for (int i = 0; i < 1000; i++)
		fives += "%L255";
	EXPECT_EQ(std::string(abbreviate(std::string(1000, 'a').c_str())), fives);
	// 999 characters fit the fixed buffer, the longer buffer is reused.
	EXPECT_EQ(std::string(abbreviate(std::string(999, 'b').c_str())), std::string(999, 'b'));
	std::string text = std::string(990, 'b') + "/redfish/v1/Systems/x\"";
	EXPECT_EQ(std::string(abbreviate(text.c_str())), std::string(990, 'b') + "%L5/x\\\"");
	EXPECT_EQ(std::string(abbreviate(std::string(1500, 'b').c_str())),
		  std::string(1500, 'b'));
}

TEST(UrlExpansion, ExpandsMacrosInTheDecodedText)
{
	ASSERT_EQ(load(EXAMPLE_MAP).status, 0);
	const struct {
		const char *text, *expanded;
	} cases[] = {
		{"\"%L6\\/Processors\"", "\"/redfish/v1/Systems/1\\/Processors\""},
		{"%L62", "%L62"},                  // id 62 is absent: its own macro
		{"100%Load", "100oad"},            // an empty digit run is id 0
		{"%L0x", "x"},
		{"%L300 %L0256", "%L300 %L0256"},  // above 255: unchanged
		{"%L005!", "/redfish/v1/Systems!"},
		{"%L5", "/redfish/v1/Systems"},
		{"%L1/x", "/redfish/v1/x"},        // the prefix, map line or not
		{"%C", "/redfish/v1/Chassis/1"},   // exactly two left
		{"a%C", "a/redfish/v1/Chassis/1"},
		{"%I1", "Tarnwhelk"},
		{"%I", "%I"},
		{"%L", "%L"},                      // too short to be a macro
		{"%L8", "Bare"},
		{"PoWer W\\/ X\\/ W\\", "PoWer W/ X\\/ W\\"},
		{"%", "%"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(expand(c.text), c.expanded) << c.text;
}

TEST(UrlExpansion, StopsAtTheLimitAfterACompleteStep)
{
	ASSERT_EQ(load(EXAMPLE_MAP).status, 0);
	std::vector<char> buffer(EXPANSION_BUFFER_SIZE, 'x');
	std::string big(EXPANSION_LIMIT + 1000, 'a');
	EXPECT_EQ(expand_url_macros(table, big.data(), big.size(), buffer.data()), EXPANSION_LIMIT);
	EXPECT_EQ(buffer[EXPANSION_LIMIT], '\0');

	// The step that crosses the limit is written whole, then nothing more.
	std::string url = "/redfish/v1/Systems/1/Processors";
	std::string text = std::string(EXPANSION_LIMIT - 1, 'a') + "%L13%L13";
	size_t n = expand_url_macros(table, text.data(), text.size(), buffer.data());
	EXPECT_EQ(n, EXPANSION_LIMIT - 1 + url.size());
	EXPECT_EQ(std::string(buffer.data() + EXPANSION_LIMIT - 1, url.size()), url);
	EXPECT_EQ(buffer[n], '\0');
}

// The straightforward abbreviation: every entry from 255 down at every
// position.  The loader's table is read back from the percent file.
struct reference_table {
	std::vector<std::string> url = std::vector<std::string>(256);
	std::vector<bool> present = std::vector<bool>(256);
};

std::string reference_abbreviate(const reference_table &t, const std::string &s)
{
	std::string out;
	size_t n = s.size();
	for (size_t i = 0; i < n;) {
		if (s[i] == '"') {
			out += "\\\"";
			i++;
			continue;
		}
		bool matched = false;
		for (unsigned id = 255; id >= 1 && !matched; id--) {
			const std::string &u = t.url[id];
			if (t.present[id] && !u.empty() && i + u.size() <= n && s.compare(i, u.size(), u) == 0) {
				out += "%L" + std::to_string(id);
				i += u.size();
				matched = true;
			}
		}
		if (matched)
			continue;
		if (s.compare(i, 21, "/redfish/v1/Chassis/1") == 0) {
			out += "%C";
			i += 21;
		} else if (s.compare(i, 9, "Tarnwhelk") == 0) {
			out += "%I1";
			i += 9;
		} else {
			out += s[i++];
		}
	}
	return out;
}

TEST(UrlAbbreviation, AgreesWithTheStraightforwardScan)
{
	std::mt19937 rng(20261206);
	auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
	const std::string alphabet = "ab/1\"T";
	for (int round = 0; round < 150; round++) {
		const char *prefix = round % 3 ? "/redfish/v1" : "/r";
		std::string map;
		std::vector<bool> listed(256);
		size_t lines = 1 + pick(round % 5 ? 40 : 300);
		for (size_t k = 0; k < lines; k++) {
			unsigned id = pick(4) ? static_cast<unsigned>(pick(40)) : static_cast<unsigned>(pick(256));
			unsigned parent = pick(3) ? static_cast<unsigned>(pick(id < 254 ? id + 2 : 256)) : static_cast<unsigned>(pick(256));
			std::string name;
			for (size_t c = pick(5); c > 0; c--)
				name += alphabet[pick(alphabet.size())];
			char head[32];
			snprintf(head, sizeof head, pick(2) ? "%x %x " : "0x%X %X ", id, parent);
			map += head + name + "\n";
			listed[id] = true;
		}
		loaded l = load(map, prefix);
		ASSERT_EQ(l.status, 0);
		reference_table t;
		for (unsigned id = 1; id < 256; id++) {
			t.url[id] = url_of(l, id);
			t.present[id] = listed[id] && t.url[id] != "%L" + std::to_string(id);
		}
		std::vector<std::string> pieces = {"/redfish/v1/Chassis/1", "Tarnwhelk", "\"", "1", "/", "x"};
		for (unsigned id = 1; id < 256; id++)
			if (listed[id])
				pieces.push_back(t.url[id]);
		for (int k = 0; k < 40; k++) {
			std::string s;
			size_t count = pick(k == 0 ? 400 : 30);
			for (size_t p = 0; p < count; p++) {
				const std::string &u = pieces[pick(pieces.size())];
				s += pick(4) ? u : u.substr(0, pick(u.size() + 1));
			}
			const char *got = abbreviate(s.c_str());
			ASSERT_NE(got, nullptr);
			ASSERT_EQ(std::string(got), reference_abbreviate(t, s))
				<< "map:\n" << map << "text: " << s;
		}
	}
}

}  // namespace

namespace {

// Expansion step by step, as the rules read, for texts far below the limit.
std::string reference_expand(const std::vector<std::string> &url, const std::string &t)
{
	std::string out;
	size_t L = t.size();
	for (size_t i = 0; i < L;) {
		if (i + 2 < L && t[i] == '%' && t[i + 1] == 'L') {
			size_t j = i + 2;
			while (j < L && isdigit(static_cast<unsigned char>(t[j])))
				j++;
			std::string digits = t.substr(i + 2, j - i - 2);
			size_t first = digits.find_first_not_of('0');
			digits = first == std::string::npos ? "0" : digits.substr(first);
			if (digits.size() > 3 || std::stoul(digits) > 255) {
				out += "%L";
				i += 2;
			} else {
				unsigned id = static_cast<unsigned>(std::stoul(digits));
				out += id ? url[id] : "";
				i = j;
			}
		} else if (i + 2 <= L && t.compare(i, 2, "%C") == 0) {
			out += "/redfish/v1/Chassis/1";
			i += 2;
		} else if (i + 2 < L && t.compare(i, 3, "%I1") == 0) {
			out += "Tarnwhelk";
			i += 3;
		} else if (i + 2 < L && t.compare(i, 3, "W\\/") == 0) {
			out += "W/";
			i += 3;
		} else {
			out += t[i++];
		}
	}
	return out;
}

TEST(UrlExpansion, AgreesWithTheRulesOnRandomText)
{
	loaded l = load(EXAMPLE_MAP);
	ASSERT_EQ(l.status, 0);
	std::vector<std::string> url(256);
	for (unsigned id = 1; id < 256; id++)
		url[id] = url_of(l, id);
	std::mt19937 rng(61);
	const std::string alphabet = "%LCI1W\\/0125689x";
	for (int k = 0; k < 3000; k++) {
		std::string t;
		for (size_t c = rng() % 24; c > 0; c--)
			t += alphabet[rng() % alphabet.size()];
		ASSERT_EQ(expand(t), reference_expand(url, t)) << t;
	}
}

}  // namespace
