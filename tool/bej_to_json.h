// The walk from a decoded value tree to json-c values (decode).
#ifndef BEJCONV_BEJ_TO_JSON_H
#define BEJCONV_BEJ_TO_JSON_H

#include <json-c/json.h>
#include <librde/rde_bej.h>

// Converts value and everything below it.  Returns 0 and the new json-c
// value in *json (nullptr for a BEJ null), or a negative errno and nothing.
int convert_bej_value(rde_bej_value *value, json_object **json);

#endif
