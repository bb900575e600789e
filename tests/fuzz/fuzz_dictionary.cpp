// Registers the input as a schema dictionary and as an annotation dictionary
// in a fresh context, checks the shape of every accepted property tree and
// looks every property up by name again.
#include "../../librde/bej_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition)
{
	if (!condition)
		__builtin_trap();
}

// The effective child list of every reachable node must obey the shape
// rules that encoding and decoding rely on, and every named child must be
// found again by name in a scope of its parent.
void walk(const rde_bej_context *context, const rde_bej_property *root)
{
	// Shared lists can make the effective tree cyclic: visit a bounded
	// number of nodes, through a stack of value scopes kept in a value tree.
	rde_bej_value *top = alloc_bej_value(nullptr, root, nullptr);
	check(top != nullptr);
	rde_bej_value *scope = top;
	unsigned budget = 4096;
	while (scope && budget) {
		const rde_bej_property *p = scope->property;
		unsigned type = p->data_type();
		unsigned count = 0, unnamed = 0;
		for (const rde_bej_property *c = p->first_child(); c; c = c->stailq) {
			check(c->initialized && c->dictionary == p->dictionary);
			count++;
			if (!c->name) {
				unnamed++;
				check(type == RDE_BEJ_DATA_TYPE_ARRAY || type == RDE_BEJ_DATA_TYPE_CHOICE);
			}
			if (type == RDE_BEJ_DATA_TYPE_ENUM)
				check(c->data_type() == RDE_BEJ_DATA_TYPE_STRING && c->name);
		}
		if (count)
			check(type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY ||
			      type == RDE_BEJ_DATA_TYPE_ENUM || type == RDE_BEJ_DATA_TYPE_CHOICE);
		if (type == RDE_BEJ_DATA_TYPE_ARRAY) {
			check(count <= 1 && unnamed == count);
			check(find_property_by_name(context, nullptr, scope, nullptr) == p->first_child());
		} else if (type == RDE_BEJ_DATA_TYPE_SET) {
			for (const rde_bej_property *c = p->first_child(); c; c = c->stailq) {
				check(c->name != nullptr);
				const rde_bej_property *annotated = c;
				const rde_bej_property *found =
					find_property_by_name(context, c->name, scope, &annotated);
				if (std::string(c->name).find('@') == std::string::npos)
					check(found && found->name && std::string(found->name) == c->name);
			}
		}

		// Descend into the first set or array child not visited yet from
		// this scope, else go back up.
		const rde_bej_property *next = nullptr;
		const rde_bej_property *c = scope->children_last ? scope->children_last->property->stailq
								  : p->first_child();
		for (; c; c = c->stailq) {
			if (c->data_type() == RDE_BEJ_DATA_TYPE_SET ||
			    c->data_type() == RDE_BEJ_DATA_TYPE_ARRAY) {
				next = c;
				break;
			}
		}
		budget--;
		if (next) {
			rde_bej_value *child = alloc_bej_value(scope, next, nullptr);
			check(child != nullptr);
			scope = child;
		} else {
			scope = scope->parent;
		}
	}
	rde_bej_value_free(top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const bool quiet = [] {
		setenv("LIBRDE_LOG_LEVEL", "quiet", 1);
		rde_bej_init();
		return true;
	}();
	(void)quiet;

	rde_bej_context *context = rde_bej_context_new();
	check(context != nullptr);
	if (rde_bej_add_dictionary(context, 0, "/redfish/v1/Fuzz", data, size) == 0) {
		rde_bej_dictionary *d = rde_bej_dictionary_first(context);
		check(d && rde_bej_dictionary_get_schema_type(d) == 0 && d->root);
		walk(context, d->root);
		// The same bytes once more are refused as a duplicate.
		check(rde_bej_add_dictionary(context, 0, nullptr, data, size) == -EEXIST);
	}
	if (rde_bej_add_dictionary(context, 2, nullptr, data, size) == 0) {
		const rde_bej_dictionary *d = context->annotation_dictionary;
		check(d && d == rde_bej_dictionary_first(context));
		walk(context, d->root);
		// Annotations through the annotation dictionary itself.
		rde_bej_value *scope = alloc_bej_value(nullptr, d->root, nullptr);
		check(scope != nullptr);
		for (const rde_bej_property *c = d->root->first_child(); c; c = c->stailq) {
			if (!c->name || d->root->data_type() != RDE_BEJ_DATA_TYPE_SET)
				continue;
			const rde_bej_property *annotated = nullptr;
			std::string name = std::string("x") + c->name;
			find_property_by_name(context, name.c_str(), scope, &annotated);
			find_property_by_name(context, name.c_str(), scope, nullptr);
		}
		rde_bej_value_free(scope);
	}
	rde_bej_context_free(context);
	return 0;
}
