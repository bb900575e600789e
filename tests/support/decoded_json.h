// json-c values of a decoded tree, made the plain way: the reference that
// decode's JSON text is held to, and a tree that tests can compare.
#ifndef TESTS_SUPPORT_DECODED_JSON_H
#define TESTS_SUPPORT_DECODED_JSON_H

#include "bej_to_json.h"
#include "url_table.h"

#include <json-c/json.h>
#include <librde/rde_bej.h>

#include <string>

// The json-c value of a tree that prepare_bej_tree() accepted (strings as
// they stand, a member name repeated in a set as json_object_object_add
// treats it); nullptr for a null.  The caller releases it.
json_object *decoded_json(rde_bej_value *value);

// A prepared tree's JSON text both ways, each expanded with table: as
// decode writes it, and as json-c prints decoded_json() pretty.
struct decoded_texts {
	std::string written, reference;
};
decoded_texts texts_of(rde_bej_value *tree, const member_replacements &replacements,
		       const url_table &table);

#endif
