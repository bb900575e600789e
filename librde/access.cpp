// Access to decoded trees: navigation, names and the typed getters.  Nothing
// here changes a tree.
#include "bej_internal.h"

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace {

// A 64-bit integer as a double, from its two 32-bit halves: the sum of two
// exact parts, rounded once as a direct conversion rounds, that needs no
// 64-bit conversion routine on a 32-bit target.
double to_double(uint64_t x)
{
	return static_cast<double>(static_cast<uint32_t>(x >> 32)) * 4294967296.0 +
	       static_cast<double>(static_cast<uint32_t>(x));
}
double to_double(int64_t x)
{
	return static_cast<double>(static_cast<int32_t>(x >> 32)) * 4294967296.0 +
	       static_cast<double>(static_cast<uint32_t>(x));
}

// Position of a child among its parent's children, counted from 0.  The
// decoder asks about the child it has just appended, which is the last.
unsigned long long position_of(const rde_bej_value *child)
{
	const rde_bej_value *parent = child->parent;
	if (parent->children_last == child)
		return parent->child_count - 1;
	unsigned long long position = 0;
	for (const rde_bej_value *v = parent->children_first; v && v != child; v = v->next)
		position++;
	return position;
}

bool has_name(const rde_bej_value *value) { return value->property && value->property->name; }

// Whether a getter of type refuses the node: true, after its log line,
// when the node has another type.
bool getter_refuses(const rde_bej_value *value, unsigned type, const char *shown_name)
{
	if (value->type == type)
		return false;
	rde_bej_log(RDE_BEJ_LOG_ERROR,
		    "Invalid format for property '%s' (expected %s, received %s)", shown_name,
		    rde_bej_data_type_name(type), rde_bej_data_type_name(value->type));
	return true;
}

bool getter_refuses(const rde_bej_value *value, unsigned type)
{
	if (value->type == type)
		return false;
	value_display_name buffer;
	return getter_refuses(value, type, describe_value(value, &buffer));
}

}  // namespace

const char *describe_value(const rde_bej_value *value, value_display_name *buffer)
{
	if (!value)
		return "";
	if (has_name(value))
		return value->property->name;

	// Walk up through the unnamed steps to the nearest named value,
	// collecting each step's position (-1: a root, whose position is not
	// known).  Deep chains of unnamed steps keep their innermost positions.
	constexpr int MAX_STEPS = 8;
	long long positions[MAX_STEPS];
	int steps = 0;
	const char *base = "";
	for (const rde_bej_value *v = value;; v = v->parent) {
		if (has_name(v)) {
			base = v->property->name;
			break;
		}
		if (steps == MAX_STEPS) {
			base = "...";
			break;
		}
		if (!v->parent) {
			// An unnamed root (a locator naming an array item): the
			// array it belongs to is known from the schema only.
			positions[steps++] = -1;
			for (const rde_bej_property *p = v->property; p; p = p->parent) {
				if (p->name) {
					base = p->name;
					break;
				}
			}
			break;
		}
		positions[steps++] = static_cast<long long>(position_of(v));
	}

	size_t size = sizeof buffer->text;
	int used = std::snprintf(buffer->text, size, "%s", base);
	for (int i = steps - 1; i >= 0 && used >= 0 && static_cast<size_t>(used) < size; i--) {
		int more = positions[i] < 0 ? std::snprintf(buffer->text + used, size - used, "[]")
					    : std::snprintf(buffer->text + used, size - used,
							    "[%lld]", positions[i]);
		if (more < 0)
			break;
		used += more;
	}
	return buffer->text;
}

extern "C" const char *rde_bej_get_name(const rde_bej_value *value)
{
	return value && value->property ? value->property->name : nullptr;
}

extern "C" uint32_t rde_bej_get_type(const rde_bej_value *value)
{
	return value ? value->type : uint32_t{RDE_BEJ_DATA_TYPE_NULL};
}

extern "C" bool rde_bej_is_property_annotation(const rde_bej_value *value)
{
	return value && value->annotated_property;
}

extern "C" const char *rde_bej_get_annotated_name(const rde_bej_value *value)
{
	return value && value->annotated_property ? value->annotated_property->name : nullptr;
}

extern "C" rde_bej_value *rde_bej_get_first_child(const rde_bej_value *value)
{
	if (!value || !value->property)
		return nullptr;
	unsigned type = value->property->data_type();
	if (type != RDE_BEJ_DATA_TYPE_SET && type != RDE_BEJ_DATA_TYPE_ARRAY) {
		value_display_name buffer;
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Property '%s' is not an array/set, but %s",
			    describe_value(value, &buffer), rde_bej_data_type_name(type));
		return nullptr;
	}
	return value->children_first;
}

extern "C" rde_bej_value *rde_bej_get_next_sibling(const rde_bej_value *value)
{
	if (!value)
		return nullptr;
	if (!value->parent) {
		value_display_name buffer;
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Selected property '%s' is a root object",
			    describe_value(value, &buffer));
		return nullptr;
	}
	return value->next;
}

extern "C" int rde_bej_get_integer(const rde_bej_value *value, int64_t *out)
{
	if (getter_refuses(value, RDE_BEJ_DATA_TYPE_INTEGER))
		return -EINVAL;
	// Only a nine-byte integer carries an unsigned number of 2^63 or more.
	if (!value->negative && value->payload.integer.value < 0) {
		rde_bej_log(RDE_BEJ_LOG_ERROR,
			    "Tried to access unsigned integer with MSB set as signed integer");
		return -ERANGE;
	}
	*out = value->payload.integer.value;
	return 0;
}

extern "C" int rde_bej_get_boolean(const rde_bej_value *value, bool *out)
{
	if (getter_refuses(value, RDE_BEJ_DATA_TYPE_BOOLEAN))
		return -EINVAL;
	*out = value->payload.boolean != 0;
	return 0;
}

extern "C" int rde_bej_get_string(rde_bej_value *value, char **out)
{
	if (getter_refuses(value, RDE_BEJ_DATA_TYPE_STRING))
		return -EINVAL;
	*out = value->payload.string;
	return 0;
}

// The number is whole.(leading zeros)(fraction) times ten to the exponent.
extern "C" int rde_bej_get_real(const rde_bej_value *value, double *out)
{
	if (getter_refuses(value, RDE_BEJ_DATA_TYPE_REAL,
			   has_name(value) ? value->property->name : "null"))
		return -EINVAL;
	const rde_bej_real &real = real_of(value);
	double result = to_double(real.whole) * std::pow(10.0, to_double(real.exponent));
	if (real.fraction != 0) {
		double sign = real.whole < 0 ? -1.0 : 1.0;
		double fraction = to_double(real.fraction);
		double digits = std::floor(std::log10(fraction)) + 1.0;
		// In doubles: hostile counts and exponents cannot overflow, they
		// only drive the result to zero or infinity.
		double scale = to_double(real.leading_zero_count) - to_double(real.exponent) +
			       digits;
		double power = std::pow(10.0, scale);
		// A tiny number with many fraction digits (-1.234567e-305) would
		// lose them to an infinite 10^scale: its exponent is applied apart.
		if (std::isinf(power) && real.exponent < 0) {
			double places = to_double(real.leading_zero_count) + digits;
			result += sign * fraction / std::pow(10.0, places) *
				  std::pow(10.0, to_double(real.exponent));
		} else {
			result += sign * fraction / power;
		}
	}
	*out = result;
	return 0;
}

extern "C" int rde_bej_get_enum(const rde_bej_value *value, const char **out)
{
	if (getter_refuses(value, RDE_BEJ_DATA_TYPE_ENUM))
		return -EINVAL;
	const rde_bej_property *option = value->property->first_child();
	while (option && option->sequence_number != value->payload.enum_option)
		option = option->stailq;
	// The decoder stores only options the dictionary has.
	RDE_ASSERT(option != nullptr);
	*out = option->name;
	return 0;
}

extern "C" int rde_bej_get_resource_link(const rde_bej_value *value, uint32_t *out)
{
	if (getter_refuses(value, RDE_BEJ_DATA_TYPE_RESOURCE_LINK))
		return -EINVAL;
	*out = value->payload.resource_link;
	return 0;
}
