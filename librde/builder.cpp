// The builder: a value tree checked against the schema as it grows, its
// scopes, its type queries and the value setters, with the conversion of a
// double into the BEJ real form.
//
// A builder keeps its first failure: every later setter, scope operation
// and encoding returns that status at once, without a message.
#include "bej_internal.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

bool is_container(const rde_bej_property *property)
{
	unsigned type = property->data_type();
	return type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY;
}

// Named lookups are only meaningful in a set or an array.  A builder rooted
// at a leaf property (through a locator) has a scalar scope: a name given
// there is refused instead of being searched for.
bool scope_takes_names(const rde_bej_value *scope, const char *name)
{
	if (is_container(scope->property))
		return true;
	rde_bej_log(RDE_BEJ_LOG_ERROR, "Property '%s' is a single %s value and has no member '%s'",
		    shown_name(scope->property->name),
		    rde_bej_data_type_name(scope->property->data_type()), name);
	return false;
}

int builder_fail(rde_bej_builder *builder, int status)
{
	RDE_ASSERT(builder->status == 0);
	builder->status = status;
	return status;
}

// A value that changes its data type (a scalar root set to null after
// holding a string) keeps no deferred binding from the old one.
void change_type(rde_bej_value *value, uint32_t type)
{
	if (value->type == type)
		return;
	// A payload of another type is no buffer of this one (a real reuses
	// the one it finds); what the old one pointed to stays in the arena.
	std::memset(&value->payload, 0, sizeof value->payload);
	value->deferred_binding = 0;
	value->type = type;
}

// The member of scope that a name resolving to property (annotating
// `annotated`, when that is given; any member of property otherwise)
// already made, or nullptr.
rde_bej_value *find_member(rde_bej_value *scope, const rde_bej_property *property,
			   const rde_bej_property *annotated)
{
	for (rde_bej_value *v = scope->children_first; v; v = v->next)
		if (v->property == property && (!annotated || v->annotated_property == annotated))
			return v;
	return nullptr;
}

// The name a setter's message shows: the one given, or without one the
// scope's own (the setter then fills the scope itself).
const char *value_name(const char *name, const rde_bej_value *v)
{
	return shown_name(name ? name : v->property->name);
}

// Whether name is the property's whole name.
bool name_equals(const rde_bej_property *property, const char *name)
{
	size_t k = 0;
	while (k < property->name_length && name[k] == property->name[k])
		k++;
	return k == property->name_length && name[k] == '\0';
}

// The property a name selects in scope, and the property it annotates when
// asked for.
const rde_bej_property *find_named(const rde_bej_builder *builder, const rde_bej_value *scope,
				   const char *name, const rde_bej_property **annotated)
{
	if (name && !scope_takes_names(scope, name))
		return nullptr;
	return find_property_by_name(builder->context, name, scope, annotated);
}

// The property a name selects in scope, with the property it annotates; a
// name rde_bej_get_property_type has just resolved there is taken from it.
const rde_bej_property *resolve(rde_bej_builder *builder, const rde_bej_value *scope,
				const char *name, const rde_bej_property **annotated)
{
	const auto &last = builder->resolved;
	if (name && name == last.name && scope->property == last.scope &&
	    name_equals(last.property, name)) {
		*annotated = nullptr;
		return last.property;
	}
	return find_named(builder, scope, name, annotated);
}

int get_bej_value(rde_bej_builder *builder, const char *name, uint32_t type, rde_bej_value **result)
{
	rde_bej_value *scope = builder->current;
	bool array = scope->property->data_type() == RDE_BEJ_DATA_TYPE_ARRAY;
	rde_bej_value *candidate = !array && !name ? scope : nullptr;

	if (!candidate) {
		const rde_bej_property *annotated = nullptr;
		const rde_bej_property *property = resolve(builder, scope, name, &annotated);
		if (!property) {
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Could not find property '%s'",
				    shown_name(name));
			return -EINVAL;
		}
		if (!array)
			candidate = find_member(scope, property, annotated);
		if (!candidate)
			candidate = alloc_bej_value(scope, builder->arena, property, annotated);
		if (!candidate) {
			rde_bej_log(RDE_BEJ_LOG_ERROR,
				    "Failed to create BEJ value object for property '%s'",
				    shown_name(name));
			return -ENOMEM;
		}
	}

	const rde_bej_property *property = candidate->property;
	if (type == RDE_BEJ_DATA_TYPE_NULL) {
		if (!property->nullable()) {
			rde_bej_log(RDE_BEJ_LOG_ERROR, "Property '%s' is not nullable",
				    shown_name(property->name));
			return -EINVAL;
		}
	} else if (property->data_type() != type) {
		// Without a name the value is the scope itself: show its name.
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Invalid format for property '%s' (expected %s, received %s)",
			    shown_name(name ? name : property->name),
			    rde_bej_data_type_name(property->data_type()),
			    rde_bej_data_type_name(type));
		return -EINVAL;
	}
	change_type(candidate, type);
	*result = candidate;
	return 0;
}

// Shared shape of the setters: refuse on a failed builder, find or create
// the value, fail the builder on a refusal.
int setter_value(rde_bej_builder *builder, const char *name, uint32_t type, rde_bej_value **value)
{
	if (builder->status)
		return builder->status;
	int status = get_bej_value(builder, name, type, value);
	return status ? builder_fail(builder, status) : 0;
}

int scope_begin(rde_bej_builder *builder, const char *name, uint32_t type)
{
	if (!builder)
		return -EINVAL;
	if (builder->status)
		return builder->status;
	int depth = 0;
	for (const rde_bej_value *v = builder->current; v != builder->root; v = v->parent)
		depth++;
	rde_bej_value *value = nullptr;
	int status = get_bej_value(builder, name, type, &value);
	if (status)
		return builder_fail(builder, status);
	if (value != builder->current && depth + 1 > MAX_SCOPE_DEPTH) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Nesting of property '%s' exceeds %d levels",
			    shown_name(value->property->name), MAX_SCOPE_DEPTH);
		return builder_fail(builder, -EINVAL);
	}
	builder->current = value;
	return 0;
}

int scope_end(rde_bej_builder *builder, uint32_t type, const char *kind)
{
	if (!builder)
		return -EINVAL;
	if (builder->status)
		return builder->status;
	if (builder->current == builder->root || builder->current->type != type) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unexpected call to rde_bej_%s_end", kind);
		return builder_fail(builder, -EINVAL);
	}
	builder->current = builder->current->parent;
	return 0;
}

// A whole double in [0, 2^64) as an integer, from its two 32-bit halves,
// with no 64-bit conversion routine either.
uint64_t whole_to_uint64(double whole)
{
	double high = std::floor(whole / 4294967296.0);
	return static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32 |
	       static_cast<uint32_t>(whole - high * 4294967296.0);
}

constexpr double TWO_POW_63 = 9223372036854775808.0;
constexpr double TWO_POW_64 = 18446744073709551616.0;

uint64_t decimal_digits(uint64_t x)
{
	uint64_t digits = 1;
	for (uint64_t power = 10; digits < 20 && x >= power; power *= 10)
		digits++;
	return digits;
}

// Converts v into whole part, leading zeros, fraction digits and exponent,
// keeping `precision` fraction digits.  Returns false for a number the real
// form cannot hold (not finite, a whole part beyond 64 bits, or more
// fraction digits than 64 bits hold).
bool convert_real(double v, uint32_t precision, rde_bej_real *real)
{
	if (!std::isfinite(v))
		return false;
	int exponent = 0;  // down to about -324
	if (v < 0 && std::fabs(v) < 1) {
		exponent = static_cast<int>(std::floor(std::log10(std::fabs(v))));
		// Scaled in two steps when 10^-e alone would not be finite (the
		// smallest subnormal numbers).
		if (-exponent > 300)
			v = v * 1e300 * std::pow(10.0, static_cast<double>(-exponent - 300));
		else
			v = v * std::pow(10.0, static_cast<double>(-exponent));
		// log10 may round up to the next power of ten for a magnitude
		// just below it; one more step keeps the magnitude in [1, 10) so
		// that the whole part carries the sign.
		if (std::fabs(v) < 1) {
			exponent--;
			v *= 10;
		}
	}
	if (!(std::fabs(v) < TWO_POW_63))
		return false;
	double a = std::fabs(v);
	double whole_part = std::floor(a);
	uint64_t magnitude = whole_to_uint64(whole_part);
	int64_t whole = v < 0 ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
	double f0 = a - whole_part;

	uint64_t fraction = 0;
	uint64_t leading_zero_count = 0;
	if (f0 != 0) {
		double p10 = std::pow(10.0, static_cast<double>(precision));
		if (!std::isfinite(p10 * 10))
			return false;
		double x = std::floor(std::floor(f0 * p10 * 10) / 10 + 0.5);
		if (x >= p10) {
			// The fraction rounded up to a whole unit (1.9999999 at six
			// digits) carries into the whole part, away from zero.
			whole += v < 0 ? -1 : 1;
			// A scaled number that carries to ten (-0.99999999 becomes
			// -10e-1) is written as -1e0 instead.
			if (exponent < 0 && (whole == 10 || whole == -10)) {
				whole = whole < 0 ? -1 : 1;
				exponent++;
			}
		} else if (!(x < TWO_POW_64)) {
			return false;
		} else {
			fraction = whole_to_uint64(x);
			if (fraction)
				leading_zero_count = precision - decimal_digits(fraction);
		}
	}
	real->whole = whole;
	real->exponent = exponent;
	real->fraction = fraction;
	real->leading_zero_count = leading_zero_count;
	return true;
}

}  // namespace

// A locator without components starts at the dictionary's root; one
// resolved in another dictionary is refused.
extern "C" rde_bej_builder *rde_bej_builder_new(rde_bej_context *context, uint32_t schema_type,
						const char *name, const rde_bej_locator *locator)
{
	rde_bej_dictionary *dictionary = nullptr;
	if (context && name) {
		for (rde_bej_dictionary *d = context->dictionaries; d; d = d->next) {
			if (static_cast<uint32_t>(d->schema_type) == schema_type &&
			    std::strcmp(d->name, name) == 0) {
				dictionary = d;
				break;
			}
		}
	}
	if (!dictionary) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Could not find dictionary for a resource named '%s'",
			    shown_name(name));
		return nullptr;
	}
	if (locator && locator->dictionary != dictionary) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Locator does not belong to the resource named '%s'",
			    name);
		return nullptr;
	}
	auto *builder = static_cast<rde_bej_builder *>(std::calloc(1, sizeof(rde_bej_builder)));
	if (!builder) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate BEJ builder object");
		return nullptr;
	}
	const rde_bej_property *property = dictionary->root;
	if (locator && locator->count)
		property = locator->components[locator->count - 1].property;
	builder->root = alloc_bej_value(nullptr, nullptr, property, nullptr);
	if (!builder->root || !attach_arena(builder->root, arena_blocks::heap)) {
		rde_bej_value_free(builder->root);
		std::free(builder);
		return nullptr;
	}
	builder->arena = tree_arena(builder->root);
	builder->context = context;
	builder->dictionary = dictionary;
	builder->current = builder->root;
	builder->status = 0;
	return builder;
}

extern "C" void rde_bej_builder_free(rde_bej_builder *builder)
{
	if (!builder)
		return;
	rde_bej_value_free(builder->root);
	std::free(builder);
}

extern "C" int rde_bej_get_scope_type(rde_bej_builder *builder, uint32_t *type)
{
	if (!builder || !type)
		return -EINVAL;
	*type = builder->current->property->data_type();
	return 0;
}

extern "C" int rde_bej_get_property_type(rde_bej_builder *builder, const char *name, uint32_t *type)
{
	if (!builder || !type)
		return -EINVAL;
	const rde_bej_value *scope = builder->current;
	const rde_bej_property *property = find_named(builder, scope, name, nullptr);
	if (!property) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unable to find a property named '%s' in '%s'",
			    shown_name(name), shown_name(scope->property->name));
		return -EINVAL;
	}
	if (name)
		builder->resolved = {scope->property, name, property};
	*type = property->data_type();
	return 0;
}

extern "C" int rde_bej_set_begin(rde_bej_builder *builder, const char *name)
{
	return scope_begin(builder, name, RDE_BEJ_DATA_TYPE_SET);
}

extern "C" int rde_bej_array_begin(rde_bej_builder *builder, const char *name)
{
	return scope_begin(builder, name, RDE_BEJ_DATA_TYPE_ARRAY);
}

extern "C" int rde_bej_set_end(rde_bej_builder *builder)
{
	return scope_end(builder, RDE_BEJ_DATA_TYPE_SET, "set");
}

extern "C" int rde_bej_array_end(rde_bej_builder *builder)
{
	return scope_end(builder, RDE_BEJ_DATA_TYPE_ARRAY, "array");
}

extern "C" int rde_bej_add_integer(rde_bej_builder *builder, const char *name, int64_t value)
{
	if (!builder)
		return -EINVAL;
	rde_bej_value *v = nullptr;
	int status = setter_value(builder, name, RDE_BEJ_DATA_TYPE_INTEGER, &v);
	if (status)
		return status;
	v->payload.integer.value = value;
	v->negative = value < 0 ? 1 : 0;
	return 0;
}

extern "C" int rde_bej_add_boolean(rde_bej_builder *builder, const char *name, bool value)
{
	if (!builder)
		return -EINVAL;
	rde_bej_value *v = nullptr;
	int status = setter_value(builder, name, RDE_BEJ_DATA_TYPE_BOOLEAN, &v);
	if (status)
		return status;
	v->payload.boolean = value ? 1 : 0;
	return 0;
}

extern "C" int rde_bej_add_string(rde_bej_builder *builder, const char *name, const char *value)
{
	if (!builder)
		return -EINVAL;
	if (builder->status)
		return builder->status;
	if (!value)
		return builder_fail(builder, -EINVAL);
	rde_bej_value *v = nullptr;
	int status = setter_value(builder, name, RDE_BEJ_DATA_TYPE_STRING, &v);
	if (status)
		return status;
	v->payload.string = nullptr;
	// The length first, then "%" within it: both scans are the C
	// library's fastest, where a scan for either byte is not.
	size_t size = std::strlen(value) + 1;
	v->deferred_binding = std::memchr(value, '%', size - 1) ? 1 : 0;
	char *copy = static_cast<char *>(value_buffer_alloc(builder->arena, size));
	if (!copy) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to copy property's '%s' value",
			    value_name(name, v));
		return builder_fail(builder, -ENOMEM);
	}
	std::memcpy(copy, value, size);
	v->payload.string = copy;
	return 0;
}

extern "C" int rde_bej_add_real(rde_bej_builder *builder, const char *name, uint32_t precision,
				double value)
{
	if (!builder)
		return -EINVAL;
	rde_bej_value *v = nullptr;
	int status = setter_value(builder, name, RDE_BEJ_DATA_TYPE_REAL, &v);
	if (status)
		return status;
	rde_bej_real real{};
	if (!convert_real(value, precision, &real)) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Real value of property '%s' is out of range",
			    value_name(name, v));
		return builder_fail(builder, -EINVAL);
	}
	// The buffer of a real that this one replaces is used again.
	if (!v->payload.real_buffer)
		v->payload.real_buffer = static_cast<rde_bej_real *>(value_buffer_alloc(
			builder->arena, sizeof(rde_bej_real), alignof(rde_bej_real)));
	if (!v->payload.real_buffer) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to copy property's '%s' value",
			    value_name(name, v));
		return builder_fail(builder, -ENOMEM);
	}
	*v->payload.real_buffer = real;
	return 0;
}

extern "C" int rde_bej_add_enum(rde_bej_builder *builder, const char *name, const char *option)
{
	if (!builder)
		return -EINVAL;
	if (builder->status)
		return builder->status;
	if (!option)
		return builder_fail(builder, -EINVAL);
	rde_bej_value *v = nullptr;
	int status = setter_value(builder, name, RDE_BEJ_DATA_TYPE_ENUM, &v);
	if (status)
		return status;
	// Options are stored by sequence number, which is their position in
	// the list unless the dictionary was accepted with gaps.
	for (const rde_bej_property *o = v->property->first_child(); o; o = o->stailq) {
		if (o->name && std::strcmp(o->name, option) == 0) {
			v->payload.enum_option = o->sequence_number;
			return 0;
		}
	}
	return builder_fail(builder, -EINVAL);
}

extern "C" int rde_bej_add_null(rde_bej_builder *builder, const char *name)
{
	if (!builder)
		return -EINVAL;
	if (builder->status)
		return builder->status;
	// A null replaces the whole value the name held, subtree included, and
	// takes the last place among its siblings.
	rde_bej_value *old = nullptr;
	if (rde_bej_find(builder->current, name, &old) == 0) {
		unlink_bej_value(builder->current, old);
		rde_bej_value_free(old);
	}
	rde_bej_value *v = nullptr;
	return setter_value(builder, name, RDE_BEJ_DATA_TYPE_NULL, &v);
}
