// The converter's own encode and decode, run in this process on the files of
// a private folder, and the round trip through both.
#ifndef TESTS_FUZZ_ROUND_TRIP_H
#define TESTS_FUZZ_ROUND_TRIP_H

#include "dictc.h"
#include "driver.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace round_trip {

inline bool require(bool condition) { return condition || (__builtin_trap(), false); }

inline std::string read(const std::string &path)
{
	return (std::stringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

// The folder of this process, with a '/' after it; removed at exit.
inline const std::string &folder()
{
	static char name[] = "/tmp/fuzz_round_trip.XXXXXX";
	static const std::string dir = (require(mkdtemp(name) &&
						!atexit([] { std::filesystem::remove_all(name); })),
					std::string(name) + "/");
	return dir;
}

// The dictionary file compiled from a description.
inline std::string compiled(const std::string &description)
{
	std::string path = folder() + std::to_string(std::hash<std::string>()(description));
	std::vector<uint8_t> bytes;
	std::string error;
	if (!std::filesystem::exists(path)) {
		require(dictc::compile(read(description), &bytes, &error));
		std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end());
	}
	return path;
}

// The dictionary descriptions, the map, the locator and the schema type.
struct profile {
	const char *schema, *annotation, *map, *locator;
	int schema_type;
};

// Runs an action: true and its output, or false, leaving no output file (nor
// a leak).  An encode writes the whole percent file first, its last line last.
inline bool convert(const profile &p, const std::string &action, const std::string &input,
		    std::string *output)
{
	const std::string &dir = folder();
	std::ofstream(dir + "in", std::ios::binary) << input;
	std::filesystem::remove(dir + "percent");
	// clang-format off
	std::vector<std::string> args = {"bejconv", "-o", dir + "out", "-p", dir + "percent",
		"-m", p.map, "-s", compiled(p.schema), "-a", compiled(p.annotation),
		"-t", std::to_string(p.schema_type), action, dir + "in"};
	// clang-format on
	if (p.locator)
		args.insert(args.begin() + 1, {"-l", p.locator});
	std::vector<char *> argv;
	for (std::string &arg : args)
		argv.push_back(arg.data());
	bool done = bejconv_main(int(argv.size()), argv.data()) == 0;
	*output = read(dir + "out");
	require(done || !std::filesystem::exists(dir + "out"));
	require(action != "encode" || read(dir + "percent").ends_with("\n%I1: Tarnwhelk\n"));
	return done;
}

// Whether rounds may change a text by design: decode reads what follows a
// literal '%' (also \u0025, also in a name) as a macro ("%Load" gives "oad").
// A map URL followed by a digit comes back as "%L" and both numbers, the
// macro of an absent entry in the maps used here: a '%' after one round.
inline bool lossy(const std::string &text)
{
	return text.find('%') != text.npos || text.find("\\u0025") != text.npos;
}

// A text that the encoder takes comes back from a round (an encode, and a
// decode that must take what the encode made) as it stays: a second round
// gives the same text again, unless either text is lossy.
inline void require_settles(const profile &p, const std::string &text, bool lossy_text)
{
	auto round = [&p](const std::string &in, std::string *out) {
		std::string bytes;
		return convert(p, "encode", in, &bytes) &&
		       require(convert(p, "decode", bytes, out));
	};
	std::string once, twice;
	if (round(text, &once) && !lossy_text && !lossy(once))
		require(round(once, &twice) && twice == once);
}

}  // namespace round_trip

#endif
