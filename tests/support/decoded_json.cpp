#include "decoded_json.h"

#include "expansion.h"
#include "json_text.h"

#include <cstdlib>

json_object *decoded_json(rde_bej_value *value)
{
	uint32_t type = rde_bej_get_type(value);
	if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY) {
		bool set = type == RDE_BEJ_DATA_TYPE_SET;
		json_object *out = set ? json_object_new_object() : json_object_new_array();
		for (rde_bej_value *c = rde_bej_get_first_child(value); c;
		     c = rde_bej_get_next_sibling(c)) {
			const char *annotated = set ? rde_bej_get_annotated_name(c) : nullptr;
			std::string key = std::string(annotated ? annotated : "") +
					  (set ? rde_bej_get_name(c) : "");
			set ? json_object_object_add(out, key.c_str(), decoded_json(c))
			    : json_object_array_add(out, decoded_json(c));
		}
		return out;
	}
	union {
		int64_t integer;
		const char *option;
		char *text;
		double real;
		bool flag;
		uint32_t id;
	} v{};
	switch (type) {
	case RDE_BEJ_DATA_TYPE_INTEGER:
		return rde_bej_get_integer(value, &v.integer), json_object_new_int64(v.integer);
	case RDE_BEJ_DATA_TYPE_ENUM:
		return rde_bej_get_enum(value, &v.option), json_object_new_string(v.option);
	case RDE_BEJ_DATA_TYPE_STRING:
		return rde_bej_get_string(value, &v.text), json_object_new_string(v.text);
	case RDE_BEJ_DATA_TYPE_REAL:
		return rde_bej_get_real(value, &v.real), json_object_new_double(v.real);
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		return rde_bej_get_boolean(value, &v.flag), json_object_new_boolean(v.flag);
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		return rde_bej_get_resource_link(value, &v.id), json_object_new_int64(v.id);
	default:
		return nullptr;
	}
}

decoded_texts texts_of(rde_bej_value *tree, const member_replacements &replacements,
		       const url_table &table)
{
	static char *buffer = static_cast<char *>(calloc(EXPANSION_BUFFER_SIZE, 1));
	decoded_texts texts;
	url_expander out(table, buffer);
	write_json_text(tree, replacements, out);
	texts.written.assign(buffer, out.finish());

	json_object *json = decoded_json(tree);
	size_t length = 0;
	const char *text = json_object_to_json_string_length(json, JSON_C_TO_STRING_PRETTY,
							     &length);
	texts.reference.assign(buffer, expand_url_macros(table, text, length, buffer));
	json_object_put(json);
	return texts;
}
