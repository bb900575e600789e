// The walk from a parsed JSON document to builder calls.  The JSON type of
// each value chooses the builder call; for strings the dictionary decides
// between an enumeration option and a string.  The builder checks every
// name and type, so this walk keeps no state and undoes nothing: the first
// failure travels back up unchanged and the caller discards the builder.
#include "json_to_bej.h"

#include "program.h"
#include "url_macros.h"

#include <cerrno>
#include <cstdio>

int convert_json_string(rde_bej_builder *builder, const char *name, json_object *value)
{
	uint32_t type = 0;
	int status = rde_bej_get_scope_type(builder, &type);
	if (status != 0)
		return status;
	// The scope's own type only stands when the builder's root is a single
	// leaf property (a locator naming it); inside a set or an array the
	// string belongs to the property that the name selects there.
	if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY) {
		status = rde_bej_get_property_type(builder, name, &type);
		if (status != 0)
			return status;
	}

	const char *text = json_object_get_string(value);
	switch (type) {
	case RDE_BEJ_DATA_TYPE_ENUM:
		// Option names are matched as written, never abbreviated.
		return rde_bej_add_enum(builder, name, text);
	case RDE_BEJ_DATA_TYPE_STRING:
		return rde_bej_add_string(builder, name, abbreviate_urls(text));
	default:
		// A string for an integer, boolean, real, ... property; the
		// enclosing member reports it.
		return -EINVAL;
	}
}

int convert_json_value(rde_bej_builder *builder, const char *name, json_object *value)
{
	int status;

	switch (json_object_get_type(value)) {
	case json_type_null:
		return rde_bej_add_null(builder, name);
	case json_type_boolean:
		return rde_bej_add_boolean(builder, name, json_object_get_boolean(value) != 0);
	case json_type_double:
		// Six fraction digits: what the builder keeps of a real.
		return rde_bej_add_real(builder, name, 6, json_object_get_double(value));
	case json_type_int:
		return rde_bej_add_integer(builder, name, json_object_get_int64(value));
	case json_type_object:
		status = rde_bej_set_begin(builder, name);
		if (status != 0)
			return status;
		status = convert_json_object(builder, value);
		if (status != 0)
			return status;
		return rde_bej_set_end(builder);
	case json_type_array: {
		status = rde_bej_array_begin(builder, name);
		if (status != 0)
			return status;
		size_t length = json_object_array_length(value);
		for (size_t i = 0; i < length; i++) {
			status = convert_json_value(builder, nullptr,
						    json_object_array_get_idx(value, i));
			if (status != 0)
				return status;
		}
		return rde_bej_array_end(builder);
	}
	case json_type_string:
		return convert_json_string(builder, name, value);
	default:
		fprintf(stderr, "%s: found unknown JSON type\n", program_name);
		return -EINVAL;
	}
}

int convert_json_object(rde_bej_builder *builder, json_object *object)
{
	// Only ever handed objects; anything else has no member table to walk.
	if (json_object_get_type(object) != json_type_object)
		return -EINVAL;
	// json-c keeps members in the order their keys first appear.
	json_object_object_foreach(object, key, member) {
		int status = convert_json_value(builder, key, member);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert property '%s'\n", program_name, key);
			return status;
		}
	}
	return 0;
}
