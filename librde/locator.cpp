// Locators: a property path resolved against one dictionary, and its
// encoded form (a length, then one sequence-number field per step).
#include "bej_internal.h"
#include "cursor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

// One path step: a property name, or (name.data() nullptr) an array index.
struct path_step {
	std::string_view name;
	uint16_t index;
};

// Resolves one path step below `current`.  Returns the step's property, or
// nullptr after logging why the step is refused.
const rde_bej_property *resolve_step(const rde_bej_property *current, const path_step &step)
{
	const rde_bej_property *first = current->first_child();
	if (!step.name.data()) {
		if (first && first->name) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Invalid locator component: not an array item");
			return nullptr;
		}
		if (first)
			return first;
		// An item step below a property without children has no name to
		// show: the message names the step by its index.
		char text[16];
		std::snprintf(text, sizeof text, "[%u]", static_cast<unsigned>(step.index));
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid locator component: %s", text);
		return nullptr;
	}
	for (const rde_bej_property *child = first; child; child = child->stailq) {
		// Unnamed children are an array's item or a choice's options: a
		// named step cannot go below either, so it is refused the same way.
		if (!child->name)
			break;
		if (child->name_length == step.name.size() &&
		    std::memcmp(child->name, step.name.data(), step.name.size()) == 0)
			return child;
	}
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid locator component: %.*s",
		    static_cast<int>(step.name.size()), step.name.data());
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

// Resolves step i of the path into the locator's component i, below the
// component before it or the root.
int resolve_component(rde_bej_locator *locator, uint32_t i, const path_step &step)
{
	const rde_bej_property *current = i ? locator->components[i - 1].property
					    : locator->dictionary->root;
	const rde_bej_property *property = resolve_step(current, step);
	if (!property)
		return -EINVAL;
	locator->components[i] = {property, step.name.data() ? uint16_t{0} : step.index};
	return 0;
}

// A step of the component records: the name or the index.
int resolve_components(rde_bej_locator *locator, const rde_bej_locator_component *components)
{
	for (uint32_t i = 0; i < locator->count; i++) {
		const rde_bej_locator_component &c = components[i];
		if (c.name && c.index) {
			rde_bej_log(
				RDE_BEJ_LOG_ERROR,
				"Invalid locator components format: non-zero sequence number is "
				"only valid for array items (%s)",
				c.name);
			return -EINVAL;
		}
		path_step step{c.name ? std::string_view(c.name) : std::string_view(), c.index};
		if (int status = resolve_component(locator, i, step))
			return status;
	}
	return 0;
}

// A step of a path text ("Status/Health", "Members/0"): an index when the
// segment begins with a number from 0 to 65535, read like "%hu" ("2abc" is
// 2), else a name (also a number an index cannot hold).
path_step path_text_step(const char *segment, size_t length)
{
	char *end = nullptr;
	errno = 0;
	long long value = std::strtoll(segment, &end, 10);
	if (end == segment || errno == ERANGE || value < 0 || value > UINT16_MAX)
		return {std::string_view(segment, length), 0};
	return {std::string_view(), static_cast<uint16_t>(value)};
}

int resolve_path_text(rde_bej_locator *locator, const char *path)
{
	const char *segment = path;
	for (uint32_t i = 0; i < locator->count; i++) {
		const char *slash = std::strchr(segment, '/');
		size_t length = slash ? static_cast<size_t>(slash - segment) : std::strlen(segment);
		if (int status = resolve_component(locator, i, path_text_step(segment, length)))
			return status;
		segment += length + 1;
	}
	return 0;
}

// A new locator of count components in the dictionary (name, schema_type);
// the caller resolves them.
int new_locator(rde_bej_context *context, const char *name, int32_t schema_type, size_t count,
		rde_bej_locator **result)
{
	rde_bej_dictionary *dictionary = nullptr;
	int status = find_dictionary(context, name, schema_type, &dictionary);
	if (status)
		return status;
	auto *locator = static_cast<rde_bej_locator *>(std::calloc(1, sizeof(rde_bej_locator)));
	if (!locator || count > UINT32_MAX) {
		std::free(locator);
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate locator buffer");
		return -ENOMEM;
	}
	locator->dictionary = dictionary;
	locator->count = static_cast<uint32_t>(count);
	if (count) {
		locator->components = static_cast<rde_bej_locator_resolved *>(
			std::calloc(count, sizeof(rde_bej_locator_resolved)));
		if (!locator->components) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Failed to allocate locator's component buffer");
			rde_bej_locator_free(locator);
			return -ENOMEM;
		}
	}
	*result = locator;
	return 0;
}

// Gives the resolved locator its path when every step is named, and hands
// it out; on failure releases it.
int finish_locator(rde_bej_locator *locator, int status, rde_bej_locator **result)
{
	bool named = true;
	for (uint32_t i = 0; status == 0 && i < locator->count; i++)
		named = named && locator->components[i].property->name;
	if (status == 0 && named) {
		status = build_path(locator);
		if (status)
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to build locator's path");
	}
	if (status) {
		rde_bej_locator_free(locator);
		return status;
	}
	*result = locator;
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
	rde_bej_locator *result = nullptr;
	int status = new_locator(context, name, schema_type, count, &result);
	if (status)
		return status;
	return finish_locator(result, resolve_components(result, components), locator);
}

extern "C" int rde_bej_locator_build_path(rde_bej_context *context, const char *name,
					  int32_t schema_type, const char *path,
					  rde_bej_locator **locator)
{
	if (!context || !name || !path || !locator) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Invalid arguments to build a locator");
		return -EINVAL;
	}
	size_t count = 1;
	for (const char *p = path; *p; p++)
		count += *p == '/';
	rde_bej_locator *result = nullptr;
	int status = new_locator(context, name, schema_type, count, &result);
	if (status)
		return status;
	return finish_locator(result, resolve_path_text(result, path), locator);
}

extern "C" const rde_bej_property *rde_bej_locator_get_property(const rde_bej_locator *locator)
{
	if (!locator)
		return nullptr;
	return locator->count ? locator->components[locator->count - 1].property
			      : locator->dictionary->root;
}

// An array-item step is encoded like a named step, by its property's (the
// item's) sequence-number field; its index stays in the locator only.
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
