// Fuzzes the decoder and the decoded value access: every input is decoded as
// a BEJ encoding and, when it decodes, its whole tree is read back through
// the accessors and released.
//
// Two schema dictionaries are registered: the bundled example (schema type
// 0, when examples/ has it) and the decoder vectors' schema (schema type 1),
// with the example annotation dictionary (or the vectors' one).  Each input
// is decoded with schema type 0, and once more with the schema type its own
// header names, so that a mutated class byte still reaches the body.  The
// header's flags byte, which the decoder does not examine, picks a locator
// for the vectors' schema.  The tuple reader walks every input too, with and
// without its header, and must take whatever the decoder takes.
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
std::string names[2];             // by schema type
rde_bej_locator *locators[3];     // none, Status/Health, Items/[0]

bool read_file(const std::string &path, std::vector<uint8_t> *bytes)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		return false;
	bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	return !bytes->empty();
}

bool register_bytes(int32_t schema_type, const std::vector<uint8_t> &bytes)
{
	return rde_bej_add_dictionary(context, schema_type, nullptr, bytes.data(), bytes.size()) == 0;
}

bool register_description(int32_t schema_type, const std::string &path)
{
	std::vector<uint8_t> text, bytes;
	std::string error;
	if (!read_file(path, &text))
		return false;
	return dictc::compile(std::string(text.begin(), text.end()), &bytes, &error) &&
	       register_bytes(schema_type, bytes);
}

const char *name_of(int32_t schema_type)
{
	for (rde_bej_dictionary *d = rde_bej_dictionary_first(context); d;
	     d = rde_bej_dictionary_next(d)) {
		if (rde_bej_dictionary_get_schema_type(d) == schema_type)
			return rde_bej_dictionary_get_name(d);
	}
	return "";
}

// Reads every node of the tree with every accessor; the getters of other
// types refuse, which is part of what is exercised.
void walk(rde_bej_value *value)
{
	for (; value; value = rde_bej_get_next_sibling(value)) {
		(void)rde_bej_get_name(value);
		(void)rde_bej_get_annotated_name(value);
		(void)rde_bej_is_property_annotation(value);
		int64_t integer;
		bool boolean;
		double real;
		uint32_t link;
		char *string;
		const char *option;
		(void)rde_bej_get_integer(value, &integer);
		(void)rde_bej_get_boolean(value, &boolean);
		(void)rde_bej_get_real(value, &real);
		(void)rde_bej_get_resource_link(value, &link);
		(void)rde_bej_get_enum(value, &option);
		if (rde_bej_get_string(value, &string) == 0 && string[0] != '\0')
			string[0] = static_cast<char>(string[0] | 0);  // writable in place
		uint32_t type = rde_bej_get_type(value);
		if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY)
			walk(rde_bej_get_first_child(value));
		else
			(void)rde_bej_get_first_child(value);
	}
}

struct input {
	const uint8_t *data;
	size_t size;
};

// Every tuple handed out lies inside the input.
int check_tuple(const rde_bej_tuple *t, void *user_data)
{
	const input *in = static_cast<const input *>(user_data);
	if (t->offset >= t->value_offset || t->value_offset > in->size ||
	    t->length > in->size - t->value_offset || t->value != in->data + t->value_offset)
		__builtin_trap();
	return 0;
}

int read_tuples(const uint8_t *data, size_t size, bool header)
{
	input in{data, size};
	rde_bej_read_error error{};
	int status = header ? rde_bej_read_encoding(data, size, nullptr, check_tuple, &in, &error)
			    : rde_bej_read_tuples(data, size, check_tuple, &in, &error);
	if (status != 0 && (error.offset > size || !error.reason))
		__builtin_trap();
	return status;
}

void decode(const uint8_t *data, size_t size, int32_t schema_type, const rde_bej_locator *locator)
{
	const char *name = schema_type == 0 || schema_type == 1 ? names[schema_type].c_str() : "";
	rde_bej_value *root = nullptr;
	if (rde_bej_decode(context, name, schema_type, data, size, locator, &root) != 0)
		return;
	if (read_tuples(data, size, true) != 0)
		__builtin_trap();
	(void)rde_bej_get_next_sibling(root);
	walk(root);
	rde_bej_value_free(root);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
	rde_bej_init();
	context = rde_bej_context_new();
	if (!context)
		std::abort();

	std::vector<uint8_t> bytes;
	const std::string vectors = TESTS_SOURCE_DIR "/vectors/decode";
	if (read_file(EXAMPLES_DIR "/Chassis.bin", &bytes))
		register_bytes(0, bytes);
	if (!register_description(1, vectors + "/schema.json"))
		std::abort();
	if (!(read_file(EXAMPLES_DIR "/annotation.bin", &bytes) &&
	      register_bytes(RDE_BEJ_SCHEMA_TYPE_ANNOTATION, bytes)) &&
	    !register_description(RDE_BEJ_SCHEMA_TYPE_ANNOTATION, vectors + "/annotation.json"))
		std::abort();
	names[0] = name_of(0);
	names[1] = name_of(1);

	const rde_bej_locator_component health[] = {{"Status", 0}, {"Health", 0}};
	const rde_bej_locator_component item[] = {{"Items", 0}, {nullptr, 0}};
	if (rde_bej_locator_build_ext(context, names[1].c_str(), 1, health, 2, &locators[1]) ||
	    rde_bej_locator_build_ext(context, names[1].c_str(), 1, item, 2, &locators[2]))
		std::abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	read_tuples(data, size, true);
	if (size > 7)
		read_tuples(data + 7, size - 7, false);
	decode(data, size, 0, nullptr);
	if (size > 6 && data[6] != 0) {
		const rde_bej_locator *locator = data[6] == 1 ? locators[data[4] % 3] : nullptr;
		decode(data, size, data[6], locator);
	}
	return 0;
}
