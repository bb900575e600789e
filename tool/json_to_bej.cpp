// The walk from a parsed JSON document to builder calls.  The JSON type of
// each value chooses the builder call; for strings the dictionary decides
// between an enumeration option and a string.  The builder checks every
// name and type, so this walk keeps no state of its own and undoes nothing:
// the first failure travels back up unchanged and the caller discards the
// builder.
#include "json_to_bej.h"

#include "program.h"

#include <cerrno>
#include <cstdio>

namespace {

// What the walk works with: the builder it fills, and the index and buffer
// that string values are abbreviated with.
struct json_walk {
	rde_bej_builder *builder;
	const abbreviation_index &index;
	bool consume;  // releases each object and array once the builder holds it
	abbreviation_buffer abbreviated;
};

int convert_json_value(json_walk &walk, const char *name, json_object *value, json_type type,
		       uint32_t scope_type);

// The data type of the builder's current scope.  It cannot fail: the walk
// always has a builder.
uint32_t scope_type(const json_walk &walk)
{
	uint32_t type = 0;
	rde_bej_get_scope_type(walk.builder, &type);
	return type;
}

// Whether the walk releases a value of this type once the builder holds it:
// an object or an array, when releasing; scalars go with the container that
// holds them.
bool releases(const json_walk &walk, json_type type)
{
	return walk.consume && (type == json_type_object || type == json_type_array);
}

// Adds a string: an enumeration option or an abbreviated string, by the
// dictionary type of its property.  scope_type is that of the builder's
// current scope, which its caller asked once for all its members.
int convert_json_string(json_walk &walk, const char *name, json_object *value, uint32_t scope_type)
{
	rde_bej_builder *builder = walk.builder;
	// The scope's own type only stands when the builder's root is a single
	// leaf property (a locator naming it); inside a set or an array the
	// string belongs to the property that the name selects there.
	uint32_t type = scope_type;
	if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY) {
		int status = rde_bej_get_property_type(builder, name, &type);
		if (status != 0)
			return status;
	}

	// json-c ends the text with a NUL after its length.
	const char *text = json_object_get_string(value);
	switch (type) {
	case RDE_BEJ_DATA_TYPE_ENUM:
		// Option names are matched as written, never abbreviated.
		return rde_bej_add_enum(builder, name, text);
	case RDE_BEJ_DATA_TYPE_STRING:
		return rde_bej_add_string(
			builder, name,
			abbreviate_urls(walk.index, text,
					static_cast<size_t>(json_object_get_string_len(value)),
					walk.abbreviated)
				.data());
	default:
		// A string for an integer, boolean, real, ... property; the
		// enclosing member reports it.
		return -EINVAL;
	}
}

// Adds the members of object to the builder's current scope, opening no
// set for the object itself.
int convert_json_object(json_walk &walk, json_object *object)
{
	// json-c keeps members in the order their keys first appear.
	lh_table *members = json_object_get_object(object);
	uint32_t scope = scope_type(walk);
	for (lh_entry *e = lh_table_head(members), *next; e; e = next) {
		next = lh_entry_next(e);
		const char *key = static_cast<const char *>(lh_entry_k(e));
		auto *member = static_cast<json_object *>(lh_entry_v(e));
		json_type type = json_object_get_type(member);
		int status = convert_json_value(walk, key, member, type, scope);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert property '%s'\n", program_name, key);
			return status;
		}
		if (releases(walk, type))
			lh_table_delete_entry(members, e);
	}
	return 0;
}

// Adds the elements of array, in index order, as unnamed values.
int convert_json_elements(json_walk &walk, json_object *array)
{
	size_t length = json_object_array_length(array);
	uint32_t scope = scope_type(walk);
	for (size_t i = 0; i < length; i++) {
		json_object *element = json_object_array_get_idx(array, i);
		json_type type = json_object_get_type(element);
		int status = convert_json_value(walk, nullptr, element, type, scope);
		if (status != 0)
			return status;
		if (releases(walk, type))
			json_object_array_put_idx(array, i, nullptr);
	}
	return 0;
}

// Adds value, of the given JSON type, under name (nullptr for an array item
// or the top level) to the builder's current scope, of scope_type.
int convert_json_value(json_walk &walk, const char *name, json_object *value, json_type type,
		       uint32_t scope_type)
{
	rde_bej_builder *builder = walk.builder;
	int status;
	switch (type) {
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
		if ((status = rde_bej_set_begin(builder, name)) != 0 ||
		    (status = convert_json_object(walk, value)) != 0)
			return status;
		return rde_bej_set_end(builder);
	case json_type_array:
		if ((status = rde_bej_array_begin(builder, name)) != 0 ||
		    (status = convert_json_elements(walk, value)) != 0)
			return status;
		return rde_bej_array_end(builder);
	case json_type_string:
		return convert_json_string(walk, name, value, scope_type);
	default:
		fprintf(stderr, "%s: found unknown JSON type\n", program_name);
		return -EINVAL;
	}
}

int walk_document(json_walk &walk, json_object *root)
{
	json_type type = json_object_get_type(root);
	switch (type) {
	case json_type_object:
		return convert_json_object(walk, root);
	case json_type_array:
		return convert_json_elements(walk, root);
	default:
		return convert_json_value(walk, nullptr, root, type, scope_type(walk));
	}
}

}  // namespace

int convert_json_document(rde_bej_builder *builder, const abbreviation_index &index,
			  json_object *root)
{
	json_walk walk{builder, index, false, {}};
	return walk_document(walk, root);
}

int consume_json_document(rde_bej_builder *builder, const abbreviation_index &index,
			  json_object *root)
{
	json_walk walk{builder, index, true, {}};
	return walk_document(walk, root);
}
