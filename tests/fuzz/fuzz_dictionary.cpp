// Fuzzes dictionary reading and registration: the entry reader must keep
// names and child ranges inside the input; the input is registered as a
// schema and as an annotation dictionary, with and without gaps accepted.
#include <librde/rde_bej.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>

namespace {

void require(bool condition)
{
	if (!condition)
		__builtin_trap();
}

void read_entries(const uint8_t *data, size_t size)
{
	rde_bej_dictionary_header header;
	rde_bej_dictionary_entry e;
	rde_bej_read_error error{};
	if (rde_bej_read_dictionary_header(data, size, &header, &error) != 0)
		return require(error.reason && error.offset <= size);
	for (unsigned i = 0; rde_bej_read_dictionary_entry(data, size, i, &e, &error) == 0; i++) {
		const char *end = reinterpret_cast<const char *>(data) + size;
		require(!e.name ||
			(e.name + e.name_length <= end && e.name[e.name_length - 1] == 0));
		require(e.first_child < 0 || e.first_child + e.child_count <= header.entry_count);
	}
	require(error.reason && error.offset <= size);
}

// A dictionary whose root is a set carries the empty resource both ways.
void use(rde_bej_context *context, int32_t schema_type, const uint8_t *data, size_t size)
{
	const char *name = rde_bej_dictionary_get_name(rde_bej_dictionary_first(context));
	rde_bej_dictionary_entry root;
	require(rde_bej_read_dictionary_entry(data, size, 0, &root, nullptr) == 0);
	if (root.format >> 4 != RDE_BEJ_DATA_TYPE_SET)
		return;
	rde_bej_builder *builder = rde_bej_builder_new(context, schema_type, name, nullptr);
	uint8_t *bytes = nullptr;
	size_t length = 0;
	rde_bej_value *value = nullptr;
	require(builder && rde_bej_encode(builder, &bytes, &length) == 0 &&
		rde_bej_decode(context, name, schema_type, bytes, length, nullptr, &value) == 0);
	rde_bej_value_free(value);
	std::free(bytes);
	rde_bej_builder_free(builder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
	rde_bej_init();
	read_entries(data, size);
	for (int32_t schema_type : {0, 2}) {
		for (unsigned options : {0u, unsigned{RDE_BEJ_ACCEPT_SEQUENCE_GAPS}}) {
			rde_bej_context *context = rde_bej_context_new();
			require(rde_bej_context_set_options(context, options) == 0);
			if (rde_bej_add_dictionary(context, schema_type, "/redfish/v1/Fuzz", data,
						   size) == 0) {
				require(rde_bej_add_dictionary(context, schema_type, nullptr, data,
							       size) != 0);
				use(context, schema_type, data, size);
			}
			rde_bej_context_free(context);
		}
	}
	return 0;
}
