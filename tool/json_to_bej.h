// The walk from a parsed JSON document to builder calls (encode).
#ifndef BEJCONV_JSON_TO_BEJ_H
#define BEJCONV_JSON_TO_BEJ_H

#include "abbreviation.h"

#include <json-c/json.h>
#include <librde/rde_bej.h>

// Adds the document to the builder's root: an object's members go straight
// into it (no set is opened for the object), an array's elements in index
// order (no array is opened), any other value as one unnamed value.  String
// values are abbreviated with index.  Returns 0 or the first
// negative errno met, after the messages of the members it passed through.
int convert_json_document(rde_bej_builder *builder, const abbreviation_index &index,
			  json_object *root);

// The same, consuming the document on the way: each object and array is
// released from its parent once the builder holds it, so that the
// builder's tree reuses its memory.  root itself stays, emptied, for the
// caller to release; no other reference into the document may be used
// afterwards (a shared subtree is emptied too).
int consume_json_document(rde_bej_builder *builder, const abbreviation_index &index,
			  json_object *root);

#endif
