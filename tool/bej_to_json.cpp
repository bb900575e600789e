// The first pass over a decoded tree, in stream order.  It reads every
// value through the library's getters, so that a refusal shows here with the
// getter's log line and this unit's message, and the writer that follows
// has nothing left that can fail.  Nesting is bounded by the decoder, which
// refuses deeper trees, so the recursion is too.
#include "bej_to_json.h"

#include "program.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

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

// The names met so far in one set, in an open-addressing hash table: the
// first member of a name and the last one met.
struct name_slot {
	uint64_t hash;
	rde_bej_value *first;
	rde_bej_value *last;
};

int out_of_memory()
{
	report_reason(strerror(ENOMEM));
	return -ENOMEM;
}

class tree_check {
public:
	explicit tree_check(member_replacements *replacements) : replacements_(replacements) {}
	tree_check(const tree_check &) = delete;
	tree_check &operator=(const tree_check &) = delete;
	~tree_check() { free(slots_); }

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
		return set && count > 1 ? note_repeated_names(container, count) : 0;
	}

	// An empty table of at least 2 * count slots, a power of two; its size,
	// or 0 when it finds no memory.
	size_t clear_slots(size_t count)
	{
		size_t size = 8;
		while (size < 2 * count)
			size *= 2;
		if (size > slot_capacity_) {
			free(slots_);
			slots_ = static_cast<name_slot *>(calloc(size, sizeof *slots_));
			slot_capacity_ = slots_ ? size : 0;
			return slot_capacity_;
		}
		memset(slots_, 0, size * sizeof *slots_);
		return size;
	}

	// Finds the members of a set whose names repeat: the first holder of a
	// name takes the last one's value, the later ones are left out.
	int note_repeated_names(rde_bej_value *set, size_t count)
	{
		size_t size = clear_slots(count);
		if (size == 0)
			return out_of_memory();
		for (rde_bej_value *member = rde_bej_get_first_child(set); member;
		     member = rde_bej_get_next_sibling(member)) {
			member_key key = key_of(member);
			uint64_t hash = key_hash(key);
			size_t s = hash & (size - 1);
			while (slots_[s].first &&
			       (slots_[s].hash != hash || !same_key(key_of(slots_[s].first), key)))
				s = (s + 1) & (size - 1);
			if (!slots_[s].first) {
				slots_[s] = {hash, member, member};
				continue;
			}
			slots_[s].last = member;
			if (replacements_->replace(member, nullptr) != 0)
				return out_of_memory();
		}
		for (size_t s = 0; s < size; s++)
			if (slots_[s].first != slots_[s].last &&
			    replacements_->replace(slots_[s].first, slots_[s].last) != 0)
				return out_of_memory();
		return 0;
	}

	member_replacements *replacements_;
	name_slot *slots_ = nullptr;  // kept from set to set
	size_t slot_capacity_ = 0;
};

}  // namespace

member_replacements::~member_replacements() { free(records_); }

int member_replacements::replace(rde_bej_value *member, rde_bej_value *value)
{
	if (count_ == capacity_) {
		size_t capacity = capacity_ ? 2 * capacity_ : 16;
		auto *grown = static_cast<record *>(realloc(records_, capacity * sizeof *records_));
		if (!grown)
			return -ENOMEM;
		records_ = grown;
		capacity_ = capacity;
	}
	records_[count_++] = {member, value};
	return 0;
}

void member_replacements::seal()
{
	std::sort(records_, records_ + count_, [](const record &a, const record &b) {
		return std::less<const rde_bej_value *>()(a.member, b.member);
	});
}

rde_bej_value *member_replacements::look_up(rde_bej_value *member) const
{
	const record *begin = records_, *end = records_ + count_;
	const record *found = std::lower_bound(
		begin, end, member, [](const record &r, rde_bej_value *m) {
			return std::less<const rde_bej_value *>()(r.member, m);
		});
	return found != end && found->member == member ? found->value : member;
}

int prepare_bej_tree(rde_bej_value *root, member_replacements *replacements)
{
	int status = tree_check(replacements).value(root);
	replacements->seal();
	return status;
}
