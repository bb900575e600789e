// Decode's JSON text: a prepared value tree written the way json-c prints
// it pretty, straight into the expansion of the URL macros.
#ifndef BEJCONV_JSON_TEXT_H
#define BEJCONV_JSON_TEXT_H

#include "bej_to_json.h"
#include "expansion.h"

#include <librde/rde_bej.h>

// The process-wide format of real numbers in JSON text.
inline constexpr const char *REAL_FORMAT = "%.15g";

// Writes the text of root, a tree that prepare_bej_tree() accepted, to out;
// stops early once out is full.
void write_json_text(rde_bej_value *root, const member_replacements &replacements,
		     url_expander &out);

#endif
