// json-c values of a decoded tree, made the plain way: the reference that
// decode's JSON text is held to, and a tree that tests can compare.
#ifndef TESTS_SUPPORT_DECODED_JSON_H
#define TESTS_SUPPORT_DECODED_JSON_H

#include <json-c/json.h>
#include <librde/rde_bej.h>

// The json-c value of a tree that prepare_bej_tree() accepted (strings as
// they stand, a member name repeated in a set as json_object_object_add
// treats it); nullptr for a null.  The caller releases it.
json_object *decoded_json(rde_bej_value *value);

#endif
