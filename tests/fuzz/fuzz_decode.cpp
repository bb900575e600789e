// Fuzzes the decoder, the value access and the tuple reader: each input is
// decoded against the bundled example (schema type 0) and the decoder
// vectors' schema (1, the flags byte picking a locator) and read back; the
// tuple reader stays inside the input and takes what the decoder takes.
#include <librde/rde_bej.h>

#include "dictc.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

rde_bej_context *context;
rde_bej_locator *locators[3];  // none, Status/Health, Items/[0]

void require(bool condition)
{
	if (!condition)
		__builtin_trap();
}

std::vector<uint8_t> bytes_of(const std::string &path, bool description)
{
	std::ifstream in(path, std::ios::binary);
	std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {}), compiled;
	std::string error;
	if (!description)
		return bytes;
	require(dictc::compile(std::string(bytes.begin(), bytes.end()), &compiled, &error));
	return compiled;
}

int check_tuple(const rde_bej_tuple *t, void *input)
{
	auto *in = static_cast<const std::vector<uint8_t> *>(input);
	require(t->offset < t->value_offset && t->value_offset <= in->size() &&
		t->length <= in->size() - t->value_offset &&
		t->value == in->data() + t->value_offset);
	return 0;
}

void walk(rde_bej_value *value)
{
	for (; value; value = rde_bej_get_next_sibling(value)) {
		int64_t integer;
		bool boolean;
		double real;
		uint32_t link;
		char *string;
		const char *option;
		(void)rde_bej_get_name(value);
		(void)rde_bej_get_annotated_name(value);
		(void)rde_bej_is_property_annotation(value);
		(void)rde_bej_get_integer(value, &integer);
		(void)rde_bej_get_boolean(value, &boolean);
		(void)rde_bej_get_real(value, &real);
		(void)rde_bej_get_resource_link(value, &link);
		(void)rde_bej_get_enum(value, &option);
		if (rde_bej_get_string(value, &string) == 0 && string[0] != '\0')
			string[0] = static_cast<char>(string[0] | 0);  // writable in place
		walk(rde_bej_get_first_child(value));
	}
}

void decode(const std::vector<uint8_t> &input, int32_t schema_type, const rde_bej_locator *locator)
{
	const char *names[] = {"Chassis", "Root"};
	rde_bej_value *root = nullptr;
	if (rde_bej_decode(context, schema_type < 2 ? names[schema_type] : "", schema_type,
			   input.data(), input.size(), locator, &root) != 0)
		return;
	require(rde_bej_read_encoding(input.data(), input.size(), nullptr, check_tuple,
				      const_cast<std::vector<uint8_t> *>(&input), nullptr) == 0);
	walk(root);
	rde_bej_value_free(root);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
	rde_bej_init();
	context = rde_bej_context_new();
	const std::string vectors = TESTS_SOURCE_DIR "/vectors/decode";
	const std::vector<uint8_t> dictionaries[] = {
		bytes_of(EXAMPLES_DIR "/Chassis.bin", false),
		bytes_of(vectors + "/schema.json", true),
		bytes_of(EXAMPLES_DIR "/annotation.bin", false)};
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
	decode(input, 0, nullptr);
	if (size > 6 && data[6] != 0)
		decode(input, data[6], data[6] == 1 ? locators[data[4] % 3] : nullptr);
	return 0;
}
