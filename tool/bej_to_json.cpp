// The walk from a decoded value tree to json-c values, in the order of the
// BEJ stream.  Each level releases what it was building when anything below
// it fails, so the caller receives either a whole tree or nothing.
#include "bej_to_json.h"

#include "program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Sets and arrays deeper than this are refused.  The walk recurses once per
// level and json-c prints recursively too; no resource comes close to it,
// and a crafted stream must not exhaust the stack.
constexpr unsigned MAX_NESTING = 1024;

int convert_at(rde_bej_value *value, json_object **json, unsigned depth);

// The member key of a set's child: its name, or for a property annotation
// the annotated property's name followed by the annotation's own name
// (which carries the at sign).  Returns a malloc'ed key, or nullptr after a
// message with *status set.
char *member_key(rde_bej_value *child, int *status)
{
	const char *name = rde_bej_get_name(child);
	bool annotation = rde_bej_is_property_annotation(child);
	const char *annotated = annotation ? rde_bej_get_annotated_name(child) : nullptr;

	// JSON has no place for a member without a key, and "@odata.count"
	// alone would turn an annotation of an unnamed property (an array
	// item) into one of the enclosing set.  Both are refused: the decode
	// fails rather than print something the stream does not say.
	if (!name) {
		fprintf(stderr, "%s: found a set member without a name\n", program_name);
		*status = -EINVAL;
		return nullptr;
	}
	if (annotation && !annotated) {
		fprintf(stderr, "%s: found annotation '%s' of a property without a name\n",
			program_name, name);
		*status = -EINVAL;
		return nullptr;
	}

	char *key;
	if (annotation) {
		size_t annotated_length = strlen(annotated);
		size_t name_length = strlen(name);
		size_t size = annotated_length + name_length + 1;
		key = static_cast<char *>(malloc(size));
		if (key) {
			int written = snprintf(key, size, "%s%s", annotated, name);
			if (written < 0 || static_cast<size_t>(written) != size - 1) {
				free(key);
				key = nullptr;
			}
		}
	} else {
		key = strdup(name);
	}
	if (!key) {
		fprintf(stderr, "%s: failed to allocate property's name\n", program_name);
		*status = -ENOMEM;
	}
	return key;
}

int convert_set(rde_bej_value *value, json_object **json, unsigned depth)
{
	json_object *object = json_object_new_object();
	if (!object) {
		fprintf(stderr, "%s: failed to allocate JSON object\n", program_name);
		return -ENOMEM;
	}
	for (rde_bej_value *child = rde_bej_get_first_child(value); child;
	     child = rde_bej_get_next_sibling(child)) {
		json_object *member = nullptr;
		int status = convert_at(child, &member, depth + 1);
		if (status != 0) {
			json_object_put(object);
			return status;
		}
		char *key = member_key(child, &status);
		if (!key) {
			json_object_put(member);
			json_object_put(object);
			return status;
		}
		if (json_object_object_add(object, key, member) != 0) {
			fprintf(stderr, "%s: failed to add JSON object to its parent\n",
				program_name);
			json_object_put(member);
			json_object_put(object);
			free(key);
			return -EINVAL;
		}
		free(key);  // json-c keeps its own copy
	}
	*json = object;
	return 0;
}

int convert_array(rde_bej_value *value, json_object **json, unsigned depth)
{
	json_object *array = json_object_new_array();
	if (!array) {
		fprintf(stderr, "%s: failed to allocate JSON object\n", program_name);
		return -ENOMEM;
	}
	for (rde_bej_value *child = rde_bej_get_first_child(value); child;
	     child = rde_bej_get_next_sibling(child)) {
		json_object *element = nullptr;
		int status = convert_at(child, &element, depth + 1);
		if (status != 0) {
			json_object_put(array);
			return status;
		}
		if (json_object_array_add(array, element) != 0) {
			fprintf(stderr, "%s: failed to add JSON object to its array\n",
				program_name);
			json_object_put(element);
			json_object_put(array);
			return -EINVAL;
		}
	}
	*json = array;
	return 0;
}

// Undoes the quoting of the encoder in place: a backslash directly before a
// double quote is dropped; every other character, a lone backslash
// included, stays.  The text never grows.
void unescape_quotes(char *text)
{
	char *out = text;
	for (const char *in = text; *in; in++) {
		if (in[0] == '\\' && in[1] == '"')
			in++;
		*out++ = *in;
	}
	*out = '\0';
}

// Hands out the new scalar, or -EINVAL without a message when json-c made
// none.
int hand_out(json_object *made, json_object **json)
{
	if (!made)
		return -EINVAL;
	*json = made;
	return 0;
}

int convert_at(rde_bej_value *value, json_object **json, unsigned depth)
{
	uint32_t type = rde_bej_get_type(value);
	int status;

	if (depth > MAX_NESTING &&
	    (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY)) {
		fprintf(stderr, "%s: BEJ value nested more than %u levels deep\n",
			program_name, MAX_NESTING);
		return -EINVAL;
	}

	switch (type) {
	case RDE_BEJ_DATA_TYPE_SET:
		return convert_set(value, json, depth);
	case RDE_BEJ_DATA_TYPE_ARRAY:
		return convert_array(value, json, depth);
	case RDE_BEJ_DATA_TYPE_NULL:
		*json = nullptr;
		return 0;
	case RDE_BEJ_DATA_TYPE_INTEGER: {
		int64_t number = 0;
		status = rde_bej_get_integer(value, &number);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert BEJ integer to JSON\n", program_name);
			return status;
		}
		return hand_out(json_object_new_int64(number), json);
	}
	case RDE_BEJ_DATA_TYPE_ENUM: {
		const char *option = nullptr;
		status = rde_bej_get_enum(value, &option);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert BEJ enum to JSON\n", program_name);
			return status;
		}
		return hand_out(json_object_new_string(option), json);
	}
	case RDE_BEJ_DATA_TYPE_STRING: {
		char *text = nullptr;
		status = rde_bej_get_string(value, &text);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert BEJ string to JSON\n", program_name);
			return status;
		}
		unescape_quotes(text);
		return hand_out(json_object_new_string(text), json);
	}
	case RDE_BEJ_DATA_TYPE_REAL: {
		double number = 0;
		status = rde_bej_get_real(value, &number);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert BEJ real to JSON\n", program_name);
			return status;
		}
		return hand_out(json_object_new_double(number), json);
	}
	case RDE_BEJ_DATA_TYPE_BOOLEAN: {
		bool flag = false;
		status = rde_bej_get_boolean(value, &flag);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert BEJ boolean to JSON\n", program_name);
			return status;
		}
		return hand_out(json_object_new_boolean(flag), json);
	}
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK: {
		uint32_t id = 0;
		status = rde_bej_get_resource_link(value, &id);
		if (status != 0) {
			fprintf(stderr, "%s: failed to convert BEJ resource link to JSON\n",
				program_name);
			return status;
		}
		// Widened, so that ids of 2^31 and more stay positive.
		return hand_out(json_object_new_int64(static_cast<int64_t>(id)), json);
	}
	default:
		fprintf(stderr, "%s: unsupported data type: %d\n", program_name,
			static_cast<int>(type));
		return -EOPNOTSUPP;
	}
}

}  // namespace

int convert_bej_value(rde_bej_value *value, json_object **json)
{
	return convert_at(value, json, 0);
}
