// The first pass over a decoded tree, in stream order.  It reads every
// value through the library's getters, so that a refusal shows here with the
// getter's log line and this unit's message, and the writer that follows
// has nothing left that can fail.  Nesting is bounded by the decoder, which
// refuses deeper trees, so the recursion is too.
#include "bej_to_json.h"

#include "program.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace {

// A set member's JSON name: the annotated property's name (for a property
// annotation; empty otherwise) followed by the member's own name, which for
// an annotation begins with the at sign.
struct member_key {
	std::string_view annotated;
	std::string_view name;

	size_t size() const { return annotated.size() + name.size(); }
	char operator[](size_t i) const
	{
		return i < annotated.size() ? annotated[i] : name[i - annotated.size()];
	}
};

member_key key_of(const rde_bej_value *member)
{
	const char *annotated = rde_bej_get_annotated_name(member);
	return {annotated ? annotated : "", rde_bej_get_name(member)};
}

bool same_key(const member_key &a, const member_key &b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); i++)
		if (a[i] != b[i])
			return false;
	return true;
}

uint64_t key_hash(const member_key &key)
{
	uint64_t hash = 14695981039346656037u;  // FNV-1a
	for (size_t i = 0; i < key.size(); i++)
		hash = (hash ^ static_cast<unsigned char>(key[i])) * 1099511628211u;
	return hash;
}

// JSON has no place for a member without a name, and an annotation's name
// alone ("@odata.count") would claim to annotate the enclosing set.  Neither
// can come from a dictionary that registration accepted; both are refused
// rather than printed with a key the stream does not hold.
int check_key(const rde_bej_value *member)
{
	const char *name = rde_bej_get_name(member);
	if (!name) {
		fprintf(stderr, "%s: found a set member without a name\n", program_name);
		return -EINVAL;
	}
	if (rde_bej_is_property_annotation(member) && !rde_bej_get_annotated_name(member)) {
		fprintf(stderr, "%s: found annotation '%s' of a property without a name\n",
			program_name, name);
		return -EINVAL;
	}
	return 0;
}

// Undoes the encoder's quoting in place: a backslash directly before a
// double quote is dropped; every other character, a lone backslash
// included, stays.  The text never grows.
void unescape_quotes(char *text)
{
	char *in = strchr(text, '\\');  // most strings hold none
	if (!in)
		return;
	char *out = in;
	for (; *in; in++) {
		if (in[0] == '\\' && in[1] == '"')
			in++;
		*out++ = *in;
	}
	*out = '\0';
}

// Prints message when status is a getter's refusal; returns status.
int refused(int status, const char *message)
{
	if (status != 0)
		fprintf(stderr, message, program_name);
	return status;
}

int check_scalar(rde_bej_value *value, uint32_t type)
{
	switch (type) {
	case RDE_BEJ_DATA_TYPE_INTEGER: {
		int64_t number;
		return refused(rde_bej_get_integer(value, &number),
			       "%s: failed to convert BEJ integer to JSON\n");
	}
	case RDE_BEJ_DATA_TYPE_ENUM: {
		const char *option;
		return refused(rde_bej_get_enum(value, &option),
			       "%s: failed to convert BEJ enum to JSON\n");
	}
	case RDE_BEJ_DATA_TYPE_STRING: {
		char *text = nullptr;
		int status = refused(rde_bej_get_string(value, &text),
				     "%s: failed to convert BEJ string to JSON\n");
		if (status == 0)
			unescape_quotes(text);
		return status;
	}
	case RDE_BEJ_DATA_TYPE_REAL: {
		double number;
		return refused(rde_bej_get_real(value, &number),
			       "%s: failed to convert BEJ real to JSON\n");
	}
	case RDE_BEJ_DATA_TYPE_BOOLEAN: {
		bool flag;
		return refused(rde_bej_get_boolean(value, &flag),
			       "%s: failed to convert BEJ boolean to JSON\n");
	}
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK: {
		uint32_t id;
		return refused(rde_bej_get_resource_link(value, &id),
			       "%s: failed to convert BEJ resource link to JSON\n");
	}
	default:
		fprintf(stderr, "%s: unsupported data type: %d\n", program_name,
			static_cast<int>(type));
		return -EOPNOTSUPP;
	}
}

class tree_check {
public:
	explicit tree_check(member_replacements *replacements) : replacements_(replacements) {}

	int value(rde_bej_value *value)
	{
		uint32_t type = rde_bej_get_type(value);
		if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY)
			return children(value, type == RDE_BEJ_DATA_TYPE_SET);
		if (type == RDE_BEJ_DATA_TYPE_NULL)
			return 0;
		return check_scalar(value, type);
	}

private:
	// Each child's value, then (in a set) its name, as the text shows them.
	int children(rde_bej_value *container, bool set)
	{
		size_t count = 0;
		for (rde_bej_value *child = rde_bej_get_first_child(container); child;
		     child = rde_bej_get_next_sibling(child), count++) {
			int status = value(child);
			if (status == 0 && set)
				status = check_key(child);
			if (status != 0)
				return status;
		}
		if (set && count > 1)
			note_repeated_names(container, count);
		return 0;
	}

	// Finds the members of a set whose names repeat, with a hash table of
	// the members met so far: the first holder of a name takes the last
	// one's value, the later ones are left out.
	void note_repeated_names(rde_bej_value *set, size_t count)
	{
		size_t size = 8;
		while (size < 2 * count)
			size *= 2;
		slots_.assign(size, slot{});
		for (rde_bej_value *member = rde_bej_get_first_child(set); member;
		     member = rde_bej_get_next_sibling(member)) {
			member_key key = key_of(member);
			uint64_t hash = key_hash(key);
			for (size_t s = hash & (size - 1);; s = (s + 1) & (size - 1)) {
				slot &held = slots_[s];
				if (!held.member) {
					held = {hash, member};
					break;
				}
				if (held.hash == hash && same_key(key_of(held.member), key)) {
					replacements_->replace(held.member, member);
					replacements_->replace(member, nullptr);
					break;
				}
			}
		}
	}

	struct slot {
		uint64_t hash;
		rde_bej_value *member;
	};

	member_replacements *replacements_;
	std::vector<slot> slots_;  // kept from set to set
};

}  // namespace

int prepare_bej_tree(rde_bej_value *root, member_replacements *replacements)
{
	try {
		tree_check check(replacements);
		return check.value(root);
	} catch (const std::bad_alloc &) {
		fprintf(stderr, "%s: %s\n", program_name, strerror(ENOMEM));
		return -ENOMEM;
	}
}
