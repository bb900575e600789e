// Reads the input as a dictionary's property tree and finds every child
// again by its number; when librde takes the input, decompiles it, and when
// the description compiles, checks that it describes the same tree.
#include "dictc.h"
#include "schema_tree.h"

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
	dictc::schema_tree tree;
	std::string error, text, again;
	std::vector<uint8_t> bytes;
	if (!tree.read(data, size, &error))
		return 0;
	for (uint16_t index : tree.walk_order())
		for (uint16_t c : tree.children(index))
			if (tree.child(index, uint64_t{tree.node(c).entry.sequence_number}) != c)
				__builtin_trap();
	// Not every description compiles (two siblings of one name, say).
	if (dictc::decompile(data, size, &text, &error) && dictc::compile(text, &bytes, &error) &&
	    (!dictc::decompile(bytes.data(), bytes.size(), &again, &error) || again != text))
		__builtin_trap();
	return 0;
}
