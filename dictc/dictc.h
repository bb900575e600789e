// rde-dictc: compiles a readable JSON description of a schema into the
// binary dictionary that librde registers, and writes the description of
// a dictionary.  The description format is documented in dictc/FORMAT.md.
#ifndef DICTC_DICTC_H
#define DICTC_DICTC_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dictc {

// Compiles a JSON description into dictionary bytes.  Returns false and
// sets *error (a clear message naming the offending property) when the
// description itself is unusable.
bool compile(std::string_view description, std::vector<uint8_t> *out, std::string *error);

// Writes the description of dictionary bytes that librde registers (with
// sequence gaps accepted; it logs why it does not): the property tree it
// builds (names, types, flags, sequence numbers, enum options and shared
// child lists), which compile() turns into a dictionary of the same schema.
// Returns false and sets *error when not even the root entry can be read.
bool decompile(const void *bytes, size_t size, std::string *text, std::string *error);

}  // namespace dictc

#endif
