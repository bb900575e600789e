// The first pass of decode's conversion from a decoded value tree to JSON
// text: everything that can go wrong is found here, before the map is read.
#ifndef BEJCONV_BEJ_TO_JSON_H
#define BEJCONV_BEJ_TO_JSON_H

#include <librde/rde_bej.h>

#include <cstddef>

// A JSON object keeps one member per name: a later member of the same name
// replaces the earlier one's value and the name keeps its first place.
// This records, for the sets where names repeat, which value goes where.
class member_replacements {
public:
	member_replacements() = default;
	member_replacements(const member_replacements &) = delete;
	member_replacements &operator=(const member_replacements &) = delete;
	~member_replacements();

	// The value to write at member's place: member itself, another member
	// of its set, or nullptr when the member is left out.
	rde_bej_value *value_at(rde_bej_value *member) const
	{
		return count_ == 0 ? member : look_up(member);
	}

	// Records that member shows value instead of itself; each member at
	// most once.  Returns 0 or -ENOMEM.
	int replace(rde_bej_value *member, rde_bej_value *value);

	// Orders the records for value_at(); called once they are all made.
	void seal();

private:
	struct record {
		rde_bej_value *member;
		rde_bej_value *value;
	};

	rde_bej_value *look_up(rde_bej_value *member) const;

	record *records_ = nullptr;
	size_t count_ = 0;
	size_t capacity_ = 0;
};

// Checks the whole tree in the order the values would be written, and
// fails at the first value that JSON cannot show (a bytestring, a choice, a
// member without a name, a getter's refusal) with its message.  Undoes the
// encoder's quoting of string values in place (a backslash before a double
// quote goes) and fills replacements.  Returns 0 or a negative errno.
int prepare_bej_tree(rde_bej_value *root, member_replacements *replacements);

#endif
