// Fuzzes the converter's encode: the first byte chooses the dictionaries (low
// two bits) and a locator or none, the rest is the JSON text.  The text
// decoded comes back from a second round as it is: the first makes every
// change (a leaf's array unwrapped, a nulled member moved last, reals kept to
// six fraction digits and shown with fifteen significant ones).
#include "round_trip.h"

#include <cstdio>

namespace {

#define EX EXAMPLES_DIR "/"
#define TOOL TESTS_SOURCE_DIR "/tool/"
const std::pair<round_trip::profile, std::vector<const char *>> SETS[] = {
	{{EX "Chassis.json", EX "annotation.json", EX "pdr_url_map"},
	 {"Status", "Status/Health", "Fans/0", "Links/ManagedBy", "Id"}},
	{{TOOL "cases/schema.json", TOOL "cases/annotation.json", EX "pdr_url_map"},
	 {"Status/Health", "Status", "Items/0", "Related"}},
	{{TOOL "json_text/schema.json", TOOL "json_text/annotation.json", TOOL "json_text/map"},
	 {}},
	// Not the leaves Bytestring and Link: an empty object makes either,
	// but decode refuses a bytestring and shows a link as an integer.
	{{TOOL "leaf_shapes/schema.json", TOOL "cases/annotation.json", EX "pdr_url_map"},
	 {"Set", "Array", "Null", "Integer", "Enum", "String", "Real", "Boolean", "Choice",
	  "Annotation", "Expansion"}},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
	stderr = fopen("/dev/null", "w");  // the converter's messages; libFuzzer keeps its own
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	auto [profile, locators] = SETS[data[0] & 3];
	if (size_t k = (data[0] >> 2) % (locators.size() + 1))
		profile.locator = locators[k - 1];
	std::string json(reinterpret_cast<const char *>(data) + 1, size - 1);
	round_trip::require_settles(profile, json, round_trip::lossy(json));
	return 0;
}
