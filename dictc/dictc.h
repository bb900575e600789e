// rde-dictc: compiles a readable JSON description of a schema into the
// binary dictionary that librde registers.  The description format is
// documented in dictc/FORMAT.md.
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

}  // namespace dictc

#endif
