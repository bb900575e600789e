// URL macros called directly, for what the command cannot show well: abbreviation
// held to a plain scan of the table over short and long strings, expansion's rules
// and limit, and what decode makes of an abbreviated string.
#include "abbreviation.h"
#include "expansion.h"
#include "paths.h"
#include "url_round_trip.h"
#include "url_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

namespace {

url_table table;
abbreviation_index index;
abbreviation_buffer buffer;

void load(const std::string &map, const char *prefix = "/redfish/v1")
{
	std::string path = make_temp_dir() + "/map";
	write_file(path, map);
	ASSERT_EQ(0, load_pdr_url_map(table, path.c_str(), prefix, nullptr));
	build_abbreviation_index(index, table);
}

std::string abbreviate(const std::string &s)
{
	return std::string(abbreviate_urls(index, s.c_str(), s.size(), buffer));
}

// Abbreviation as the rules read: at each position a quote, else the URL of
// the highest present id found there, else one of the fixed texts.  The
// text ends at its first NUL.
std::string plain_scan(std::string s)
{
	s.resize(strlen(s.c_str()));
	std::string out;
	for (size_t i = 0; i < s.size();) {
		unsigned id = 255;
		auto found = [&](const pdr_url_entry &e) {
			return e.present && e.url_length && s.compare(i, e.url_length, e.url) == 0;
		};
		while (id > 0 && !found(table.entries[id]))
			id--;
		std::string macro = "%L" + std::to_string(id), text = table.entries[id].url;
		if (s[i] == '"')
			macro = "\\\"", text = "\"";
		else if (id == 0 && s.compare(i, 21, "/redfish/v1/Chassis/1") == 0)
			macro = "%C", text = "/redfish/v1/Chassis/1";
		else if (id == 0 && s.compare(i, 9, "Tarnwhelk") == 0)
			macro = "%I1", text = "Tarnwhelk";
		else if (id == 0)
			macro = text = s.substr(i, 1);
		out += macro;
		i += text.size();
	}
	return out;
}

// And decode shows each text as it was (or passes it over by design).
TEST(UrlAbbreviation, AgreesWithAPlainScanOfTheTableAndDecodeUndoesIt)
{
	int same = 0;
	std::mt19937 rng(20261206);
	auto pick = [&](size_t n) { return static_cast<unsigned>(rng() % n); };
	for (int round = 0; round < 150; round++) {
		std::string map;
		for (size_t k = 1 + pick(round % 5 ? 40 : 300); k > 0; k--) {
			unsigned id = pick(4) ? pick(40) : pick(256);
			char line[32];
			snprintf(line, sizeof line, pick(2) ? "%x %x " : "0x%X %X ", id,
				 pick(3) ? pick(id < 254 ? id + 2 : 256) : pick(256));
			// Short names, and now and then a long one (at most the 29
			// characters a name may have): a long label.
			map += line +
			       (pick(8) ? std::string("ab/1\"T").substr(pick(6), pick(5))
					: std::string(9 + pick(21), "ab"[pick(2)])) +
			       "\n";
		}
		load(map, round % 3 ? "/redfish/v1" : "/r");
		// Plain text between the rules comes in runs of every length.
		std::vector<std::string> pieces = {"/redfish/v1/Chassis/1", "Tarnwhelk", "\"", "1",
						   "xyz-xyz-xyz-xyz-xyz-xyz-xyz-xyz-xyz-xyz-"};
		pieces.insert(pieces.end(), {"%L", "W", "\\", "\n"});  // a macro's start, escapes
		if (round % 5 == 0)
			pieces.push_back(std::string("x\0y", 3));  // the text ends early
		for (const pdr_url_entry &e : table.entries)
			if (e.present)
				pieces.push_back(e.url);
		for (int k = 0; k < 40; k++) {
			std::string s;
			for (size_t p = pick(k == 0 ? 400 : 30); p > 0; p--) {
				// A piece whole, cut short, or with one byte changed:
				// every byte of a label must be compared.
				std::string u = pieces[pick(pieces.size())];
				unsigned how = pick(8);
				if (how < 2)
					u.resize(pick(u.size() + 1));
				else if (how == 2 && !u.empty())
					u[pick(u.size())] = '#';
				s += u;
			}
			ASSERT_EQ(abbreviate(s), plain_scan(s)) << "map:\n" << map << "text: " << s;
			std::optional<bool> back = url_round_trip(table, index, s, buffer);
			ASSERT_NE(back, false) << "map:\n" << map << "text: " << s;
			same += back.value_or(false);
		}
	}
	EXPECT_GT(same, 400) << "of 6000";
}

TEST(UrlAbbreviation, IndexNeverBuiltChangesNothing)
{
	static abbreviation_index never_built;  // all zeros
	EXPECT_EQ(abbreviate_urls(never_built, "/redfish/v1 \"x\"", 15, buffer),
		  "/redfish/v1 \"x\"");
}

TEST(UrlExpansion, FollowsTheRulesUpToTheLimit)
{
	load("5 1 Systems\n6 5 1\n");
	static std::vector<char> out(EXPANSION_BUFFER_SIZE);
	auto expand = [](const std::string &text) {
		return std::string(out.data(),
				   expand_url_macros(table, text.data(), text.size(), out.data()));
	};
	EXPECT_EQ(expand("%L005!%L0x%L300 %L0256 %L1000"),
		  "/redfish/v1/Systems!x%L300 %L0256 %L1000");
	EXPECT_EQ(expand("%I %L") + expand("%I") + expand("%") + expand("W") + expand("%L5"),
		  "%I %L%I%W/redfish/v1/Systems")
		<< "cut short by the end";
	EXPECT_EQ(expand("a%C"), "a/redfish/v1/Chassis/1") << "two characters at the end";
	EXPECT_EQ(expand("W\\/x W\\nx W\\\\/ Wx W\\"), "W/x W\\nx W\\\\/ Wx W\\")
		<< "only W\\/ loses its backslash";

	// The step that crosses the limit is written whole, then nothing more.
	std::string text = std::string(EXPANSION_LIMIT - 1, 'a') + "%L6%L6";
	EXPECT_EQ(expand(text).substr(EXPANSION_LIMIT - 2), "a/redfish/v1/Systems/1");
}

}  // namespace
