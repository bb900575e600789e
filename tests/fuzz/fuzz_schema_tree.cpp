// Reads the input as a dictionary's property tree (librde's view) and finds
// every child again by its number; when librde takes the input, decompiles
// it, and when the description compiles, checks that it describes the same
// tree.
#include "common.h"
#include "dictc.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
	rde_bej_init();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	rde_bej_dictionary_view *view = rde_bej_dictionary_view_new(data, size);
	walk_properties(
		rde_bej_dictionary_view_get_root(view), [](const rde_bej_property *p, unsigned) {
			if (rde_bej_property_get_type(p) == RDE_BEJ_DATA_TYPE_ARRAY ||
			    rde_bej_property_get_children_source(p))
				return;
			for (const rde_bej_property *c = rde_bej_property_get_first_child(p); c;
			     c = rde_bej_property_get_next_sibling(c))
				if (rde_bej_property_find_child(
					    p, rde_bej_property_get_sequence_number(c)) != c)
					__builtin_trap();
		});
	rde_bej_dictionary_view_free(view);
	std::string error, text, again;
	std::vector<uint8_t> bytes;
	// Not every description compiles (two siblings of one name, say).
	if (dictc::decompile(data, size, &text, &error) && dictc::compile(text, &bytes, &error) &&
	    (!dictc::decompile(bytes.data(), bytes.size(), &again, &error) || again != text))
		__builtin_trap();
	return 0;
}
