// The walk from a parsed JSON document to builder calls (encode).
#ifndef BEJCONV_JSON_TO_BEJ_H
#define BEJCONV_JSON_TO_BEJ_H

#include <json-c/json.h>
#include <librde/rde_bej.h>

// Adds value under name (nullptr for an array item or the top level) to the
// builder's current scope.  Returns 0 or the first negative errno met.
int convert_json_value(rde_bej_builder *builder, const char *name, json_object *value);

// Adds the members of object to the builder's current scope, opening no set
// for the object itself.  Returns 0 or the first negative errno met.
int convert_json_object(rde_bej_builder *builder, json_object *object);

// Adds a string: an enumeration option or an abbreviated string, by the
// dictionary type of its property.  Returns 0 or a negative errno.
int convert_json_string(rde_bej_builder *builder, const char *name, json_object *value);

#endif
