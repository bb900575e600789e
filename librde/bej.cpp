// Contexts and dictionaries: registration of dictionary bytes (their
// property tree is tree.cpp's) and the lookups of properties by name.
#include "bej_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Logs "Failed to parse the dictionary" after the reason, frees the partly
// registered record and passes the status on.
int fail_registration(rde_bej_dictionary *dictionary, int status)
{
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to parse the dictionary");
	free_dictionary(dictionary);
	return status;
}

// A new record with its own copies of the URI and of the bytes.
int new_record(const rde_bej_context *context, int32_t schema_type, const char *uri,
	       const void *data, size_t size, rde_bej_dictionary **result)
{
	auto *dictionary = static_cast<rde_bej_dictionary *>(
		std::calloc(1, sizeof(rde_bej_dictionary)));
	if (!dictionary) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate dictionary's buffer");
		return -ENOMEM;
	}
	if (uri) {
		size_t length = std::strlen(uri) + 1;
		dictionary->uri = static_cast<char *>(std::malloc(length));
		if (!dictionary->uri) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Failed to allocate dictionary's URI buffer");
			free_dictionary(dictionary);
			return -ENOMEM;
		}
		std::memcpy(dictionary->uri, uri, length);
	}
	dictionary->schema_type = schema_type;
	dictionary->accept_sequence_gaps = (context->options & RDE_BEJ_ACCEPT_SEQUENCE_GAPS) != 0;
	if (!copy_dictionary_bytes(dictionary, data, size)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate dictionary's data buffer");
		free_dictionary(dictionary);
		return -ENOMEM;
	}
	*result = dictionary;
	return 0;
}

bool is_registered(const rde_bej_context *context, const rde_bej_dictionary *dictionary)
{
	for (const rde_bej_dictionary *d = context->dictionaries; d; d = d->next) {
		if (d->schema_type == dictionary->schema_type &&
		    std::strcmp(d->name, dictionary->name) == 0)
			return true;
	}
	return false;
}

// The newest dictionary goes first.
void insert(rde_bej_context *context, rde_bej_dictionary *dictionary)
{
	rde_bej_log(RDE_BEJ_LOG_DEBUG, "Adding dictionary '%s'", dictionary->name);
	dictionary->next = context->dictionaries;
	if (context->dictionaries)
		context->dictionaries->prev = dictionary;
	context->dictionaries = dictionary;
	if (dictionary->schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION)
		context->annotation_dictionary = dictionary;
}

}  // namespace

extern "C" rde_bej_context *rde_bej_context_new(void)
{
	auto *context = static_cast<rde_bej_context *>(std::calloc(1, sizeof(rde_bej_context)));
	if (!context)
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate internal BEJ structures");
	return context;
}

extern "C" void rde_bej_context_free(rde_bej_context *context)
{
	if (!context)
		return;
	while (rde_bej_dictionary *dictionary = context->dictionaries) {
		context->dictionaries = dictionary->next;
		if (context->dictionaries)
			context->dictionaries->prev = nullptr;
		free_dictionary(dictionary);
	}
	context->annotation_dictionary = nullptr;
	std::free(context);
}

extern "C" int rde_bej_context_set_options(rde_bej_context *context, unsigned options)
{
	if (!context || (options & ~unsigned{RDE_BEJ_ACCEPT_SEQUENCE_GAPS}) != 0) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unknown context options: 0x%x", options);
		return -EINVAL;
	}
	context->options = options;
	return 0;
}

// The duplicate test comes after the whole parse, so a malformed duplicate
// is refused for what is wrong with it.
extern "C" int rde_bej_add_dictionary(rde_bej_context *context, int32_t schema_type,
				      const char *uri, const void *data, size_t size)
{
	if (!context || (!data && size != 0)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid arguments to add a dictionary");
		return -EINVAL;
	}
	if (schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION && context->annotation_dictionary) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Annotation dictionary has already been added");
		return -EINVAL;
	}
	rde_bej_dictionary *dictionary = nullptr;
	int status = new_record(context, schema_type, uri, data, size, &dictionary);
	if (status)
		return status;
	status = build_property_tree(dictionary, nullptr);
	if (status)
		return fail_registration(dictionary, status);
	if (is_registered(context, dictionary)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Dictionary named '%s' already exists",
			    dictionary->name);
		free_dictionary(dictionary);
		return -EEXIST;
	}
	insert(context, dictionary);
	return 0;
}

extern "C" rde_bej_dictionary *rde_bej_dictionary_first(const rde_bej_context *context)
{
	return context ? context->dictionaries : nullptr;
}

extern "C" rde_bej_dictionary *rde_bej_dictionary_next(const rde_bej_dictionary *dictionary)
{
	return dictionary ? dictionary->next : nullptr;
}

extern "C" const char *rde_bej_dictionary_get_name(const rde_bej_dictionary *dictionary)
{
	return dictionary ? dictionary->name : nullptr;
}

extern "C" int32_t rde_bej_dictionary_get_schema_type(const rde_bej_dictionary *dictionary)
{
	return dictionary ? dictionary->schema_type : -1;
}

bool split_annotation_name(std::string_view name, std::string_view *property,
			   std::string_view *annotation)
{
	size_t at = name.find('@');
	if (at == std::string_view::npos)
		return false;
	*property = std::string_view(name.data(), at);
	*annotation = std::string_view(name.data() + at, name.size() - at);
	return true;
}

int find_dictionary(const rde_bej_context *context, const char *name, int32_t schema_type,
		    rde_bej_dictionary **result)
{
	for (rde_bej_dictionary *d = context ? context->dictionaries : nullptr; d; d = d->next) {
		if (d->schema_type == schema_type && name && std::strcmp(d->name, name) == 0) {
			*result = d;
			return 0;
		}
	}
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Couldn't find dictionary named %s", name ? name : "(none)");
	return -ENOENT;
}

namespace {

// The first node of the list starting at `first` named exactly `name`.
// Candidates are told apart by their length before any byte is compared.
const rde_bej_property *find_child(const rde_bej_property *first, std::string_view name)
{
	for (const rde_bej_property *p = first; p; p = p->stailq) {
		if (p->name && p->name_length == name.size() &&
		    std::memcmp(p->name, name.data(), name.size()) == 0)
			return p;
	}
	return nullptr;
}

}  // namespace

const rde_bej_property *find_property_by_name(const rde_bej_context *context, const char *name,
					      const rde_bej_value *scope,
					      const rde_bej_property **annotated_property)
{
	if (annotated_property)
		*annotated_property = nullptr;
	if (!scope || !scope->property)
		return nullptr;
	const rde_bej_property *set = scope->property;

	if (set->data_type() == RDE_BEJ_DATA_TYPE_ARRAY) {
		if (name) {
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Array items must be unnamed");
			return nullptr;
		}
		const rde_bej_property *item = set->first_child();
		if (!item) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Array property '%s' doesn't have any children",
				    shown_name(set->name));
			return nullptr;
		}
		return item;
	}

	if (!name) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Only array items are allowed to be unnamed");
		return nullptr;
	}
	// One scan finds the "@" of an annotation name, or the end of a plain
	// name and with it the length that candidates are compared by.
	const char *at = name;
	while (*at != '\0' && *at != '@')
		at++;
	std::string_view property_part(name, static_cast<size_t>(at - name));
	if (*at == '\0')
		return find_child(set->first_child(), property_part);
	std::string_view annotation_part(at);

	if (!context || !context->annotation_dictionary) {
		rde_bej_log(
			RDE_BEJ_LOG_ERROR,
			"Tried to access an annotation property, while no annotation dictionary has been registered");
		return nullptr;
	}
	if (!property_part.empty() && annotated_property) {
		const rde_bej_property *annotated = find_child(set->first_child(), property_part);
		if (!annotated) {
			rde_bej_log(
				RDE_BEJ_LOG_ERROR,
				"Couldn't find annotated property of property annotation named '%s'",
				name);
			return nullptr;
		}
		*annotated_property = annotated;
	}
	return find_child(context->annotation_dictionary->root->first_child(), annotation_part);
}
