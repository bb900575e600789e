// Locators: a property path resolved against one dictionary, and its
// encoded form (a length, then one sequence-number field per step).
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The sequence-number field of a property: its sequence number times two,
// with the dictionary selector in bit 0 (1 for the annotation dictionary).
uint64_t sequence_field(const rde_bej_property *property)
{
	uint64_t field = static_cast<uint64_t>(property->sequence_number) * 2;
	if (property->dictionary->schema_type == RDE_BEJ_SCHEMA_TYPE_ANNOTATION)
		field |= 1;
	return field;
}

// Resolves one path step below `current`.  Returns the step's property, or
// nullptr after logging why the step is refused.
const rde_bej_property *resolve_step(const rde_bej_property *current,
				     const rde_bej_locator_component &step)
{
	const rde_bej_property *first = current->first_child();
	if (!step.name) {
		if (first && first->name) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Invalid locator component: not an array item");
			return nullptr;
		}
		if (!first) {
			// An item step below a property without children has no
			// name to show: the message names the step by its index.
			char text[16];
			std::snprintf(text, sizeof text, "[%u]", static_cast<unsigned>(step.index));
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid locator component: %s", text);
			return nullptr;
		}
		return first;
	}
	for (const rde_bej_property *child = first; child; child = child->stailq) {
		// Unnamed children are an array's item or a choice's options: a
		// named step cannot go below either, so it is refused the same way.
		if (!child->name)
			break;
		if (std::strcmp(child->name, step.name) == 0)
			return child;
	}
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid locator component: %s", step.name);
	return nullptr;
}

// Joins the names of all steps with "/" into a new string; the empty string
// for a locator without steps.
int build_path(rde_bej_locator *locator)
{
	size_t size = 0;
	for (uint32_t i = 0; i < locator->count; i++)
		size += std::strlen(locator->components[i].property->name) + 1;
	char *path = static_cast<char *>(std::calloc(size ? size : 1, 1));
	if (!path) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate locator path");
		return -ENOMEM;
	}
	char *end = path;
	for (uint32_t i = 0; i < locator->count; i++) {
		const char *name = locator->components[i].property->name;
		size_t length = std::strlen(name);
		if (i)
			*end++ = '/';
		std::memcpy(end, name, length);
		end += length;
	}
	locator->path = path;
	return 0;
}

// Resolves every step of the path into the locator's components, from the
// dictionary's root; *named stays true while every step has a name.
int resolve_path(rde_bej_locator *locator, const rde_bej_locator_component *components, bool *named)
{
	const rde_bej_property *current = locator->dictionary->root;
	for (uint32_t i = 0; i < locator->count; i++) {
		const rde_bej_locator_component &step = components[i];
		if (step.name && step.index) {
			rde_bej_log(
				RDE_BEJ_LOG_ERROR,
				"Invalid locator components format: non-zero sequence number is "
				"only valid for array items (%s)",
				step.name);
			return -EINVAL;
		}
		const rde_bej_property *property = resolve_step(current, step);
		if (!property)
			return -EINVAL;
		locator->components[i].property = property;
		locator->components[i].index = step.name ? 0 : step.index;
		*named = *named && property->name;
		current = property;
	}
	return 0;
}

}  // namespace

extern "C" int rde_bej_locator_build_ext(rde_bej_context *context, const char *name,
					 int32_t schema_type,
					 const rde_bej_locator_component *components,
					 uint32_t count, rde_bej_locator **locator)
{
	if (!context || !name || !locator || (count && !components)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid arguments to build a locator");
		return -EINVAL;
	}
	rde_bej_dictionary *dictionary = nullptr;
	int status = find_dictionary(context, name, schema_type, &dictionary);
	if (status)
		return status;

	auto *result = static_cast<rde_bej_locator *>(std::calloc(1, sizeof(rde_bej_locator)));
	if (!result) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate locator buffer");
		return -ENOMEM;
	}
	result->dictionary = dictionary;
	result->count = count;
	if (count) {
		result->components = static_cast<rde_bej_locator_resolved *>(
			std::calloc(count, sizeof(rde_bej_locator_resolved)));
		if (!result->components) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Failed to allocate locator's component buffer");
			rde_bej_locator_free(result);
			return -ENOMEM;
		}
	}

	bool named = true;
	status = resolve_path(result, components, &named);
	if (status) {
		rde_bej_locator_free(result);
		return status;
	}
	if (named) {
		status = build_path(result);
		if (status) {
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to build locator's path");
			rde_bej_locator_free(result);
			return status;
		}
	}
	*locator = result;
	return 0;
}

// An array-item step is encoded like a named step: the sequence-number field
// of its property, the array's item property (sequence number 0).  Array
// elements are written and read with that same field, so a locator into an
// array names the array's element property; the item's index stays in the
// locator record only.
extern "C" int rde_bej_locator_encode(const rde_bej_locator *locator, uint8_t **bytes,
				      size_t *length)
{
	if (!locator || !bytes || !length) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid arguments to encode a locator");
		return -EINVAL;
	}
	// Sizes come from sequence_number * 2: the selector bit never changes
	// the size of an nnint.
	uint64_t content = nnint_size(
		static_cast<uint64_t>(locator->dictionary->root->sequence_number) * 2);
	for (uint32_t i = 0; i < locator->count; i++)
		content += nnint_size(
			static_cast<uint64_t>(locator->components[i].property->sequence_number) *
			2);
	uint64_t total = nnint_size(content) + content;
	uint8_t *buffer = total <= SIZE_MAX ? static_cast<uint8_t *>(std::calloc(total, 1))
					    : nullptr;
	if (!buffer) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate locator buffer");
		return -ENOMEM;
	}

	cursor c{buffer, static_cast<size_t>(total)};
	encode_nnint(content, c);
	encode_nnint(sequence_field(locator->dictionary->root), c);
	for (uint32_t i = 0; i < locator->count; i++)
		encode_nnint(sequence_field(locator->components[i].property), c);
	size_t curlen = c.buffer_length;
	RDE_ASSERT(curlen == 0);

	*bytes = buffer;
	*length = static_cast<size_t>(total);
	return 0;
}

extern "C" void rde_bej_locator_free(rde_bej_locator *locator)
{
	if (!locator)
		return;
	std::free(locator->components);
	std::free(locator->path);
	std::free(locator);
}
