// Fuzzes the decoder, the value access and the tuple reader: each input is
// decoded against the bundled example (schema type 0) and the decoder
// vectors' schema (1, the flags byte picking a locator); the tuple reader
// stays inside the input and takes what the decoder takes.  The converter's
// decode reads the tree back, and when its encode takes the text, the text
// comes back from a round as it stays.
#include <librde/rde_bej.h>

#include "round_trip.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using round_trip::require;

rde_bej_context *context;
rde_bej_locator *locators[3];  // none, Status/Health, Items/[0]
const char *const LOCATOR_TEXTS[] = {nullptr, "Status/Health", "Items/0"};
const char *const SCHEMAS[] = {EXAMPLES_DIR "/Chassis.json",
			       TESTS_SOURCE_DIR "/vectors/decode/schema.json"};

std::vector<uint8_t> bytes_of(const char *path)
{
	std::string bytes = round_trip::read(round_trip::compiled(path));
	return {bytes.begin(), bytes.end()};
}

int check_tuple(const rde_bej_tuple *t, void *input)
{
	auto *in = static_cast<const std::vector<uint8_t> *>(input);
	require(t->offset < t->value_offset && t->value_offset <= in->size() &&
		t->length <= in->size() - t->value_offset &&
		t->value == in->data() + t->value_offset);
	return 0;
}

void decode(const std::vector<uint8_t> &input, int32_t schema_type, int locator)
{
	const char *names[] = {"Chassis", "Root"};
	rde_bej_value *root = nullptr;
	if (rde_bej_decode(context, schema_type < 2 ? names[schema_type] : "", schema_type,
			   input.data(), input.size(), locators[locator], &root) != 0)
		return;
	require(rde_bej_read_encoding(input.data(), input.size(), nullptr, check_tuple,
				      const_cast<std::vector<uint8_t> *>(&input), nullptr) == 0);
	rde_bej_value_free(root);
	if (schema_type > 1)
		return;
	// The converter refuses some trees (a bytestring) and its encode some
	// texts (a null where the dictionary has none, a name twice).
	const round_trip::profile profile = {SCHEMAS[schema_type], EXAMPLES_DIR "/annotation.json",
					     EXAMPLES_DIR "/pdr_url_map", LOCATOR_TEXTS[locator],
					     schema_type};
	std::string text;
	if (round_trip::convert(profile, "decode", {input.begin(), input.end()}, &text))
		round_trip::require_settles(profile, text, false);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
	stderr = fopen("/dev/null", "w");  // the converter's messages; libFuzzer keeps its own
	rde_bej_init();
	context = rde_bej_context_new();
	const std::vector<uint8_t> dictionaries[] = {bytes_of(SCHEMAS[0]), bytes_of(SCHEMAS[1]),
						     bytes_of(EXAMPLES_DIR "/annotation.json")};
	for (int32_t type : {0, 1, 2})
		require(rde_bej_add_dictionary(context, type, nullptr, dictionaries[type].data(),
					       dictionaries[type].size()) == 0);
	const rde_bej_locator_component health[] = {{"Status", 0}, {"Health", 0}};
	const rde_bej_locator_component item[] = {{"Items", 0}, {nullptr, 0}};
	require(rde_bej_locator_build_ext(context, "Root", 1, health, 2, &locators[1]) == 0 &&
		rde_bej_locator_build_ext(context, "Root", 1, item, 2, &locators[2]) == 0);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::vector<uint8_t> input(data, data + size);
	rde_bej_read_error error{};
	if (rde_bej_read_encoding(input.data(), size, nullptr, check_tuple,
				  const_cast<std::vector<uint8_t> *>(&input), &error) != 0)
		require(error.offset <= size && error.reason);
	if (size > 7)
		(void)rde_bej_read_tuples(data + 7, size - 7, nullptr, nullptr, nullptr);
	decode(input, 0, 0);
	if (size > 6 && data[6] != 0)
		decode(input, data[6], data[6] == 1 ? data[4] % 3 : 0);
	return 0;
}
