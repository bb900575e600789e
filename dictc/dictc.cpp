// The dictionary compiler: JSON description -> dictionary bytes.
//
// The description is read into a tree of `prop` records, checked, laid out
// breadth first (root entry at offset 12, then each child range as one
// contiguous run of entries, names after the last entry) and written out.
// Per-property "raw" overrides are applied last.
#include "dictc.h"

#include <json-c/json.h>
#include <librde/rde_bej.h>

#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>

namespace dictc {
namespace {

// JSON nesting allowed in a description: about 120 property levels (two
// JSON levels each).
constexpr int MAX_JSON_DEPTH = 256;

constexpr unsigned HEADER_SIZE = 12;
constexpr unsigned ENTRY_SIZE = 10;
constexpr unsigned MAX_OFFSET = 65535;
// A name's length byte counts the terminating NUL.
constexpr size_t MAX_NAME = 254;

// A printable data type name, or nullptr for the reserved codes (the
// library's table names those "unknown").
const char *type_name(uint8_t type)
{
	const char *name = rde_bej_data_type_name(type);
	return std::strcmp(name, "unknown") == 0 ? nullptr : name;
}

std::string type_label(uint8_t type)
{
	if (const char *name = type_name(type))
		return name;
	return "type " + std::to_string(type);
}

struct raw_overrides {
	std::optional<int64_t> format, sequence_number, child_pointer_offset, child_count,
		name_length, name_offset;
	std::optional<std::string> name_bytes;
};

struct prop {
	std::string path;         // for messages
	std::string parent_path;  // the path a name is appended to
	bool named = false;
	std::string name;
	uint8_t type = RDE_BEJ_DATA_TYPE_SET;
	uint8_t flags = 0;  // low nibble of the format byte
	uint16_t sequence_number = 0;
	bool numbered = false;     // "sequence_number" given
	std::vector<prop *> kids;  // own child range, in order
	std::string label;         // "id"
	std::string children_of;   // label whose child range this one shares
	const prop *share = nullptr;
	raw_overrides raw;
	size_t first = 0;  // entry index of the first own child
	uint16_t name_length = 0, name_offset = 0;
};

struct top_raw {
	std::optional<int64_t> entry_count, dictionary_size, truncate;
	std::vector<uint8_t> append;
};

// The integer overrides of "raw", with their largest values and the field
// of Record they set.
template <typename Record>
struct int_override {
	const char *key;
	int64_t max;
	std::optional<int64_t> Record::*field;
};
constexpr int_override<raw_overrides> ENTRY_OVERRIDES[] = {
	{"format", 255, &raw_overrides::format},
	{"sequence_number", 65535, &raw_overrides::sequence_number},
	{"child_pointer_offset", 65535, &raw_overrides::child_pointer_offset},
	{"child_count", 65535, &raw_overrides::child_count},
	{"name_length", 255, &raw_overrides::name_length},
	{"name_offset", 65535, &raw_overrides::name_offset},
};

constexpr int_override<top_raw> TOP_OVERRIDES[] = {
	{"entry_count", 65535, &top_raw::entry_count},
	{"dictionary_size", 0xFFFFFFFFll, &top_raw::dictionary_size},
	{"truncate", INT64_MAX, &top_raw::truncate},
};

// Whether properties of this data type may have children.
bool has_children(uint8_t type)
{
	return type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY ||
	       type == RDE_BEJ_DATA_TYPE_ENUM || type == RDE_BEJ_DATA_TYPE_CHOICE;
}

// What a property object holds besides its name, gathered before the lists
// are read so that they can be checked against the type.
struct prop_members {
	bool has_type = false, has_nullable = false, nullable = false;
	int64_t flags = 0;
	json_object *kids = nullptr, *item = nullptr, *options = nullptr, *raw = nullptr;
};

class compiler {
public:
	bool run(std::string_view text, std::vector<uint8_t> *out);
	std::string error;

private:
	// The outcome of reading one member of an object.
	enum class member { done, failed, unknown };

	std::vector<std::unique_ptr<prop>> storage_;
	std::map<std::string, prop *> labels_;
	std::vector<prop *> all_;
	std::vector<prop *> extras_;
	prop *root_ = nullptr;
	top_raw top_;
	uint8_t version_tag_ = 0, dictionary_flags_ = 0;
	// Without a "version" the word says "unversioned", as the published
	// collection dictionaries do.
	uint32_t schema_version_ = 0xFFFFFFFF;

	bool fail(const std::string &where, const std::string &what)
	{
		error = where.empty() ? what : where + ": " + what;
		return false;
	}
	static member outcome(bool ok) { return ok ? member::done : member::failed; }
	prop *make(const std::string &path)
	{
		storage_.push_back(std::make_unique<prop>());
		prop *p = storage_.back().get();
		p->path = path;
		all_.push_back(p);
		return p;
	}

	bool get_int(json_object *v, const std::string &where, const char *key, int64_t lo,
		     int64_t hi, int64_t *out);
	bool parse_type(json_object *v, const std::string &where, uint8_t *type);
	bool parse_raw(json_object *v, const std::string &where, prop *p, bool top);
	member parse_entry_override(const char *key, json_object *val, const std::string &where,
				    raw_overrides *r);
	member parse_top_override(const char *key, json_object *val, const std::string &where);
	template <typename Record, size_t N>
	member set_override(const int_override<Record> (&table)[N], const char *key,
			    json_object *val, const std::string &where, Record *record);
	bool parse_hex(json_object *v, const std::string &where);
	bool parse_version(json_object *v, const std::string &where);
	bool parse_name(json_object *v, const std::string &where, const char *what,
			std::string *name);
	bool parse_prop(json_object *obj, prop *p, bool root, bool item, int depth);
	bool parse_prop_name(json_object *obj, prop *p, bool root, bool item);
	member parse_member(const char *key, json_object *val, prop *p, bool root, prop_members *m);
	bool keep_list(const std::string &k, json_object *val, prop *p, prop_members *m);
	bool parse_label(json_object *val, prop *p);
	member parse_root_member(const char *key, json_object *val, prop *p);
	bool check_members(prop *p, const prop_members &m, bool root);
	bool parse_kids(json_object *kids, prop *p, int depth);
	bool parse_item(json_object *item, prop *p, int depth);
	bool parse_options(json_object *options, prop *p);
	bool parse_option(json_object *option, size_t i, prop *c);
	bool parse_number(json_object *val, prop *p);
	bool number_kids(prop *p);
	bool resolve_shares();
	bool layout(std::vector<uint8_t> *out);
	bool place_entries(std::vector<prop *> *order);
	bool place_names(const std::vector<prop *> &order, std::vector<uint8_t> *out);
	void write_entries(const std::vector<prop *> &order, std::vector<uint8_t> *out);
	void write_header(size_t count, std::vector<uint8_t> *out);
	bool replace_tail(std::vector<uint8_t> *out);
};

bool compiler::get_int(json_object *v, const std::string &where, const char *key, int64_t lo,
		       int64_t hi, int64_t *out)
{
	if (!v || json_object_get_type(v) != json_type_int)
		return fail(where, std::string("'") + key + "' must be an integer");
	int64_t n = json_object_get_int64(v);
	// Values past the 64-bit range are clamped by the reader and then
	// fail the range check like any other.
	if (n < lo || n > hi)
		return fail(where, std::string("'") + key + "' must be between " +
					   std::to_string(lo) + " and " + std::to_string(hi) +
					   ", not " + json_object_to_json_string(v));
	*out = n;
	return true;
}

bool compiler::parse_name(json_object *v, const std::string &where, const char *what,
			  std::string *name)
{
	if (!v || json_object_get_type(v) != json_type_string)
		return fail(where, std::string(what) + " must be a string");
	size_t len = (size_t)json_object_get_string_len(v);
	const char *s = json_object_get_string(v);
	if (len == 0)
		return fail(
			where,
			std::string(what) +
				" must not be empty (omit the name or use null for an unnamed property)");
	if (memchr(s, 0, len))
		return fail(where, std::string(what) + " must not contain a NUL character");
	if (len > MAX_NAME)
		return fail(where, std::string(what) + " is longer than " +
					   std::to_string(MAX_NAME) + " bytes");
	name->assign(s, len);
	return true;
}

bool compiler::parse_type(json_object *v, const std::string &where, uint8_t *type)
{
	if (v && json_object_get_type(v) == json_type_int) {
		int64_t n;
		if (!get_int(v, where, "type", 0, 15, &n))
			return false;
		*type = (uint8_t)n;
		return true;
	}
	if (!v || json_object_get_type(v) != json_type_string)
		return fail(where, "'type' must be a type name or a number 0 to 15");
	const char *s = json_object_get_string(v);
	for (uint8_t t = 0; t < 16; t++)
		if (type_name(t) && strcmp(type_name(t), s) == 0 &&
		    strlen(s) == (size_t)json_object_get_string_len(v)) {
			*type = t;
			return true;
		}
	return fail(where, std::string("unknown type name '") + s + "'");
}

bool compiler::parse_version(json_object *v, const std::string &where)
{
	// "MAJOR.MINOR.UPDATE", each 0 to 99, stored like the published
	// dictionaries: one byte per field, a number below 10 as 0xF0 | n and
	// 10 to 99 as packed decimal (0x10 * tens + ones), the major number in
	// the most significant byte and 0 in the least:
	// "1.3.0" -> 0xF1F3F000, "1.14.0" -> 0xF114F000.
	const std::string bad = "'version' must look like \"1.3.0\" (three numbers 0 to 99)";
	if (!v || json_object_get_type(v) != json_type_string)
		return fail(where, bad);
	std::string s(json_object_get_string(v), (size_t)json_object_get_string_len(v));
	uint32_t word = 0;
	size_t pos = 0;
	for (int field = 0; field < 3; field++) {
		size_t digits = 0;
		unsigned n = 0;
		while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && digits < 3) {
			n = n * 10 + (unsigned)(s[pos] - '0');
			pos++;
			digits++;
		}
		if (digits == 0 || digits > 2)
			return fail(where, bad);
		if (field < 2) {
			if (pos >= s.size() || s[pos] != '.')
				return fail(where, bad);
			pos++;
		}
		// By value, so that "1.03.0" and "1.3.0" give the same word.
		uint32_t byte = n < 10 ? 0xF0u | n : ((n / 10) << 4) | (n % 10);
		word |= byte << (24 - 8 * field);
	}
	if (pos != s.size())
		return fail(where, bad);
	schema_version_ = word;
	return true;
}

bool compiler::parse_hex(json_object *v, const std::string &where)
{
	if (!v || json_object_get_type(v) != json_type_string)
		return fail(where, "'append_hex' must be a string of hex bytes such as \"00 ff\"");
	std::string s(json_object_get_string(v), (size_t)json_object_get_string_len(v));
	auto digit = [](char c) -> int {
		if (c >= '0' && c <= '9')
			return c - '0';
		if (c >= 'a' && c <= 'f')
			return c - 'a' + 10;
		if (c >= 'A' && c <= 'F')
			return c - 'A' + 10;
		return -1;
	};
	// Bytes are pairs of hex digits; blanks may separate the pairs.
	size_t i = 0;
	while (i < s.size()) {
		if (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r') {
			i++;
			continue;
		}
		int hi = digit(s[i]);
		int lo = i + 1 < s.size() ? digit(s[i + 1]) : -1;
		if (hi < 0 || lo < 0)
			return fail(
				where,
				"'append_hex' must hold pairs of hex digits, bad text at position " +
					std::to_string(i));
		top_.append.push_back((uint8_t)(hi << 4 | lo));
		i += 2;
	}
	return true;
}

bool compiler::parse_raw(json_object *v, const std::string &where0, prop *p, bool top)
{
	const std::string where = where0 + ": raw";
	if (!v || json_object_get_type(v) != json_type_object)
		return fail(where0, "'raw' must be an object");
	json_object_object_foreach(v, key, val) {
		member m = parse_entry_override(key, val, where, &p->raw);
		if (m == member::unknown && top)
			m = parse_top_override(key, val, where);
		if (m == member::unknown)
			return fail(where, "unknown key '" + std::string(key) + "'");
		if (m == member::failed)
			return false;
	}
	return true;
}

// Sets the field of record that key names in the table; unknown when the
// table has no such key.
template <typename Record, size_t N>
compiler::member compiler::set_override(const int_override<Record> (&table)[N], const char *key,
					json_object *val, const std::string &where, Record *record)
{
	for (const auto &o : table)
		if (strcmp(key, o.key) == 0) {
			int64_t n;
			if (!get_int(val, where, key, 0, o.max, &n))
				return member::failed;
			record->*o.field = n;
			return member::done;
		}
	return member::unknown;
}

compiler::member compiler::parse_entry_override(const char *key, json_object *val,
						const std::string &where, raw_overrides *r)
{
	member m = set_override(ENTRY_OVERRIDES, key, val, where, r);
	if (m != member::unknown || strcmp(key, "name_bytes") != 0)
		return m;
	if (!val || json_object_get_type(val) != json_type_string)
		return outcome(fail(where, "'name_bytes' must be a string"));
	size_t len = (size_t)json_object_get_string_len(val);
	if (len > 255)
		return outcome(fail(where, "'name_bytes' is longer than 255 bytes"));
	r->name_bytes = std::string(json_object_get_string(val), len);
	return member::done;
}

compiler::member compiler::parse_top_override(const char *key, json_object *val,
					      const std::string &where)
{
	member m = set_override(TOP_OVERRIDES, key, val, where, &top_);
	if (m != member::unknown)
		return m;
	if (strcmp(key, "append_hex") == 0)
		return outcome(parse_hex(val, where));
	if (strcmp(key, "extra_entries") != 0)
		return member::unknown;
	if (!val || json_object_get_type(val) != json_type_array)
		return outcome(fail(where, "'extra_entries' must be an array of properties"));
	size_t n_extra = json_object_array_length(val);
	for (size_t i = 0; i < n_extra; i++) {
		prop *e = make("extra_entries[" + std::to_string(i) + "]");
		extras_.push_back(e);
		if (!parse_prop(json_object_array_get_idx(val, i), e, false, false, 1))
			return member::failed;
	}
	return member::done;
}

bool compiler::parse_prop(json_object *obj, prop *p, bool root, bool item, int depth)
{
	if (!obj || json_object_get_type(obj) != json_type_object)
		return fail(p->path, "a property must be a JSON object");
	if (depth > MAX_JSON_DEPTH)
		return fail(p->path, "properties nested too deeply");
	// The name comes first so that every later message can carry it.
	if (!parse_prop_name(obj, p, root, item))
		return false;
	prop_members m;
	json_object_object_foreach(obj, key, val) {
		member r = parse_member(key, val, p, root, &m);
		if (r == member::unknown && root)
			r = parse_root_member(key, val, p);
		if (r == member::unknown)
			return fail(p->path, "unknown key '" + std::string(key) + "'");
		if (r == member::failed)
			return false;
	}
	if (!check_members(p, m, root))
		return false;
	if (m.kids && !parse_kids(m.kids, p, depth))
		return false;
	if (m.item && !parse_item(m.item, p, depth))
		return false;
	if (m.options && !parse_options(m.options, p))
		return false;
	if (p->kids.size() > 65535)
		return fail(p->path, "more than 65535 children");
	return number_kids(p) && (!m.raw || parse_raw(m.raw, p->path, p, root));
}

bool compiler::parse_prop_name(json_object *obj, prop *p, bool root, bool item)
{
	json_object *v = nullptr;
	if (!json_object_object_get_ex(obj, "name", &v) || !v) {
		if (root)
			return fail("description", "missing 'name' (the dictionary's name)");
		return true;
	}
	// Array lookups take the one child as the item whatever its name, so a
	// named item is refused; raw "name_bytes" can still make one.
	if (item)
		return fail(p->path, "an array's 'item' is unnamed; remove its 'name'");
	if (!parse_name(v, p->path, "'name'", &p->name))
		return false;
	p->named = true;
	if (root)
		p->path = p->name;
	else if (p->parent_path.empty())
		p->path += " '" + p->name + "'";
	else
		p->path = p->parent_path + "/" + p->name;
	return true;
}

// One member of a property object; the name has been read already.
compiler::member compiler::parse_member(const char *key, json_object *val, prop *p, bool root,
					prop_members *m)
{
	const std::string k = key;
	if (k == "name")
		return member::done;
	if (k == "type") {
		m->has_type = true;
		return outcome(parse_type(val, p->path, &p->type));
	}
	if (k == "nullable") {
		if (!val || json_object_get_type(val) != json_type_boolean)
			return outcome(fail(p->path, "'nullable' must be true or false"));
		m->has_nullable = true;
		m->nullable = json_object_get_boolean(val);
		return member::done;
	}
	if (k == "flags")
		return outcome(get_int(val, p->path, key, 0, 15, &m->flags));
	if (k == "children" || k == "item" || k == "options")
		return outcome(keep_list(k, val, p, m));
	if (k == "id")
		return outcome(parse_label(val, p));
	if (k == "children_of" && !root)
		return outcome(parse_name(val, p->path, "'children_of'", &p->children_of));
	if (k == "raw") {
		m->raw = val;
		return member::done;
	}
	if (k == "sequence_number")
		return outcome(parse_number(val, p));
	return member::unknown;
}

bool compiler::parse_number(json_object *val, prop *p)
{
	int64_t n;
	if (!get_int(val, p->path, "sequence_number", 0, 65535, &n))
		return false;
	p->sequence_number = (uint16_t)n;
	p->numbered = true;
	return true;
}

// Children are numbered by their position in the list unless they give
// their own number; either way the numbers must rise.
bool compiler::number_kids(prop *p)
{
	for (size_t i = 0; i < p->kids.size(); i++) {
		prop *c = p->kids[i];
		if (!c->numbered)
			c->sequence_number = (uint16_t)i;
		uint16_t previous = i ? p->kids[i - 1]->sequence_number : 0;
		if (i && c->sequence_number <= previous)
			return fail(c->path, "sequence number " +
						     std::to_string(c->sequence_number) +
						     " is not above the previous sibling's (" +
						     std::to_string(previous) + ")");
	}
	return true;
}

// "children", "item" and "options" are read once every member is known.
bool compiler::keep_list(const std::string &k, json_object *val, prop *p, prop_members *m)
{
	if (k == "children") {
		m->kids = val;
		return val || fail(p->path, "'children' must be an array of properties");
	}
	if (k == "item") {
		m->item = val;
		return val || fail(p->path, "'item' must be a property");
	}
	m->options = val;
	return val || fail(p->path, "'options' must be an array of strings");
}

bool compiler::parse_label(json_object *val, prop *p)
{
	if (!parse_name(val, p->path, "'id'", &p->label))
		return false;
	if (labels_.count(p->label))
		return fail(p->path, "'id' \"" + p->label + "\" is already used by " +
					     labels_[p->label]->path);
	labels_[p->label] = p;
	return true;
}

// The members only the top level has: the header.
compiler::member compiler::parse_root_member(const char *key, json_object *val, prop *p)
{
	const std::string k = key;
	int64_t n;
	if (k == "version")
		return outcome(parse_version(val, p->path));
	if (k == "version_tag" || k == "dictionary_flags") {
		if (!get_int(val, p->path, key, 0, 255, &n))
			return member::failed;
		(k == "version_tag" ? version_tag_ : dictionary_flags_) = (uint8_t)n;
		return member::done;
	}
	return member::unknown;
}

// The flags, and whether the lists given suit the property's type.
bool compiler::check_members(prop *p, const prop_members &m, bool root)
{
	if (!m.has_type && !root)
		return fail(p->path, "missing 'type'");
	// "nullable": false together with flag bit 2 contradicts itself.
	if (m.has_nullable && !m.nullable && (m.flags & 4))
		return fail(p->path, "'flags' sets the nullable bit (4) but 'nullable' is false");
	p->flags = (uint8_t)(m.flags | (m.nullable ? 4 : 0));

	const std::string tname = type_label(p->type);
	if (m.kids && p->type != RDE_BEJ_DATA_TYPE_SET && p->type != RDE_BEJ_DATA_TYPE_CHOICE)
		return fail(p->path,
			    "'children' is for set and choice properties, not " + tname +
				    (p->type == RDE_BEJ_DATA_TYPE_ARRAY  ? " (use 'item')"
				     : p->type == RDE_BEJ_DATA_TYPE_ENUM ? " (use 'options')"
									 : ""));
	if (m.item && p->type != RDE_BEJ_DATA_TYPE_ARRAY)
		return fail(p->path, "'item' is for array properties, not " + tname);
	if (m.options && p->type != RDE_BEJ_DATA_TYPE_ENUM)
		return fail(p->path, "'options' is for enum properties, not " + tname);
	if (p->children_of.empty())
		return true;
	if (m.kids || m.item || m.options)
		return fail(p->path, "'children_of' cannot be combined with its own "
				     "'children', 'item' or 'options'");
	if (!has_children(p->type))
		return fail(p->path, "'children_of' is for set, array, enum and choice "
				     "properties, not " +
					     tname);
	return true;
}

bool compiler::parse_kids(json_object *kids, prop *p, int depth)
{
	if (json_object_get_type(kids) != json_type_array)
		return fail(p->path, "'children' must be an array of properties");
	size_t n = json_object_array_length(kids);
	std::set<std::string> seen;
	for (size_t i = 0; i < n; i++) {
		// Unnamed children are known by their position, named ones by
		// their name once it has been read.
		prop *c = make(p->path + "[" + std::to_string(i) + "]");
		c->parent_path = p->path;
		p->kids.push_back(c);
		json_object *o = json_object_array_get_idx(kids, i);
		if (!parse_prop(o, c, false, false, depth + 2))
			return false;
		// A second sibling of the same name could never be found by name,
		// so it is refused rather than silently shadowed.
		if (c->named && !seen.insert(c->name).second)
			return fail(c->path, "a sibling of the same name is listed before it");
		// Only array items and choice options may go without a name.
		if (!c->named && p->type != RDE_BEJ_DATA_TYPE_CHOICE)
			return fail(c->path, "unnamed property inside " + type_label(p->type) +
						     " '" + p->name +
						     "' (only choices may have unnamed children)");
	}
	return true;
}

bool compiler::parse_item(json_object *item, prop *p, int depth)
{
	prop *c = make(p->path + "[item]");
	p->kids.push_back(c);
	return parse_prop(item, c, false, true, depth + 1);
}

bool compiler::parse_options(json_object *options, prop *p)
{
	if (json_object_get_type(options) != json_type_array)
		return fail(p->path, "'options' must be an array of strings");
	size_t n = json_object_array_length(options);
	std::set<std::string> seen;
	for (size_t i = 0; i < n; i++) {
		prop *c = make(p->path);
		if (!parse_option(json_object_array_get_idx(options, i), i, c))
			return false;
		if (!seen.insert(c->name).second)
			return fail(p->path, "option '" + c->name + "' is listed twice");
		c->named = true;
		c->type = RDE_BEJ_DATA_TYPE_STRING;
		c->path += " option '" + c->name + "'";
		p->kids.push_back(c);
	}
	return true;
}

// An option is its name, or an object with its name, and its sequence
// number and format flags where they are not the usual ones.
bool compiler::parse_option(json_object *option, size_t i, prop *c)
{
	const std::string what = "option " + std::to_string(i);
	if (json_object_get_type(option) != json_type_object)
		return parse_name(option, c->path, what.c_str(), &c->name);
	json_object_object_foreach(option, key, val) {
		const std::string k = key;
		int64_t flags;
		if (k == "name" && !parse_name(val, c->path, what.c_str(), &c->name))
			return false;
		if (k == "sequence_number" && !parse_number(val, c))
			return false;
		if (k == "flags" && !get_int(val, c->path, key, 0, 15, &flags))
			return false;
		if (k == "flags")
			c->flags = (uint8_t)flags;
		else if (k != "name" && k != "sequence_number")
			return fail(c->path, what + ": unknown key '" + k + "'");
	}
	return !c->name.empty() || fail(c->path, what + ": missing 'name'");
}

bool compiler::resolve_shares()
{
	for (prop *p : all_) {
		if (p->children_of.empty())
			continue;
		// Follow a chain of shares to the property that owns the range.
		const prop *t = p;
		size_t steps = 0;
		while (!t->children_of.empty()) {
			auto it = labels_.find(t->children_of);
			if (it == labels_.end())
				return fail(t->path,
					    "'children_of' names \"" + t->children_of +
						    "\", which no property has as its 'id'");
			t = it->second;
			if (++steps > all_.size())
				return fail(p->path,
					    "'children_of' labels refer to each other in a loop");
		}
		p->share = t;
		// The shared range must suit this property's own type.
		const auto &kids = t->kids;
		for (const prop *c : kids) {
			if (p->type == RDE_BEJ_DATA_TYPE_SET && !c->named)
				return fail(p->path,
					    "'children_of' \"" + p->children_of +
						    "\" brings unnamed children into a set");
			if (p->type == RDE_BEJ_DATA_TYPE_ENUM &&
			    c->type != RDE_BEJ_DATA_TYPE_STRING)
				return fail(p->path,
					    "'children_of' \"" + p->children_of +
						    "\" brings non-string children into an enum");
			if (p->type == RDE_BEJ_DATA_TYPE_ARRAY && (c->named || kids.size() > 1))
				return fail(
					p->path,
					"'children_of' \"" + p->children_of +
						"\" must lead to a single unnamed item for an array");
		}
	}
	return true;
}

void put16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
	b[at] = (uint8_t)v;
	b[at + 1] = (uint8_t)(v >> 8);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
	put16(b, at, v & 0xFFFF);
	put16(b, at + 2, v >> 16);
}

bool compiler::layout(std::vector<uint8_t> *out)
{
	std::vector<prop *> order;
	if (!place_entries(&order))
		return false;
	std::vector<uint8_t> &b = *out;
	b.assign(HEADER_SIZE + ENTRY_SIZE * order.size(), 0);
	if (!place_names(order, &b))
		return false;
	write_entries(order, &b);
	write_header(order.size(), &b);
	return replace_tail(&b);
}

// Breadth first: the root, then every child range in the order its owner
// was placed; extra entries follow the whole tree.
bool compiler::place_entries(std::vector<prop *> *out)
{
	std::vector<prop *> &order = *out;
	order.assign(1, root_);
	bool extras_placed = false;
	for (size_t i = 0;; i++) {
		if (i == order.size()) {
			if (extras_placed || extras_.empty())
				break;
			order.insert(order.end(), extras_.begin(), extras_.end());
			extras_placed = true;
		}
		prop *p = order[i];
		if (!p->kids.empty()) {
			p->first = order.size();
			order.insert(order.end(), p->kids.begin(), p->kids.end());
		}
		if (order.size() > 65535)
			return fail(p->path, "the dictionary would have more than 65535 entries");
		if (HEADER_SIZE + ENTRY_SIZE * (order.size() - 1) > MAX_OFFSET)
			return fail(p->path, "too many entries: entry " +
						     std::to_string(order.size() - 1) +
						     " would lie past offset 65535");
	}
	return true;
}

// Names follow the entries; identical names share one copy.
bool compiler::place_names(const std::vector<prop *> &order, std::vector<uint8_t> *out)
{
	std::vector<uint8_t> &b = *out;
	std::map<std::string, size_t> name_at;
	for (prop *p : order) {
		size_t at = b.size(), len = 0;
		if (p->raw.name_bytes) {
			len = p->raw.name_bytes->size();
			b.insert(b.end(), p->raw.name_bytes->begin(), p->raw.name_bytes->end());
		} else if (p->named) {
			len = p->name.size() + 1;
			auto [it, added] = name_at.emplace(p->name, at);
			at = it->second;
			if (added) {
				b.insert(b.end(), p->name.begin(), p->name.end());
				b.push_back(0);
			}
		} else {
			at = 0;
		}
		if (at > MAX_OFFSET)
			return fail(p->path, "its name would lie at offset " + std::to_string(at) +
						     ", past 65535: too many entries or names");
		p->name_offset = (uint16_t)at;
		p->name_length = (uint8_t)len;
	}
	return true;
}

void compiler::write_entries(const std::vector<prop *> &order, std::vector<uint8_t> *out)
{
	std::vector<uint8_t> &b = *out;
	for (size_t i = 0; i < order.size(); i++) {
		const prop *p = order[i];
		const prop *owner = p->share ? p->share : p;
		uint32_t child_offset = 0, child_count = (uint32_t)owner->kids.size();
		if (child_count)
			child_offset = HEADER_SIZE + ENTRY_SIZE * (uint32_t)owner->first;
		const raw_overrides &r = p->raw;
		size_t at = HEADER_SIZE + ENTRY_SIZE * i;
		b[at] = (uint8_t)r.format.value_or(p->type << 4 | p->flags);
		put16(b, at + 1, (uint32_t)r.sequence_number.value_or(p->sequence_number));
		put16(b, at + 3, (uint32_t)r.child_pointer_offset.value_or(child_offset));
		put16(b, at + 5, (uint32_t)r.child_count.value_or(child_count));
		b[at + 7] = (uint8_t)r.name_length.value_or(p->name_length);
		put16(b, at + 8, (uint32_t)r.name_offset.value_or(p->name_offset));
	}
}

void compiler::write_header(size_t count, std::vector<uint8_t> *out)
{
	std::vector<uint8_t> &b = *out;
	b[0] = version_tag_;
	b[1] = dictionary_flags_;
	put16(b, 2, (uint32_t)top_.entry_count.value_or((int64_t)count));
	put32(b, 4, schema_version_);
	put32(b, 8, (uint32_t)top_.dictionary_size.value_or((int64_t)b.size()));
}

// Cutting comes before appending, so a test can replace the tail.
bool compiler::replace_tail(std::vector<uint8_t> *out)
{
	std::vector<uint8_t> &b = *out;
	if (top_.truncate) {
		if ((uint64_t)*top_.truncate > b.size())
			return fail(root_->path, "raw: 'truncate' " +
							 std::to_string(*top_.truncate) +
							 " is longer than the dictionary (" +
							 std::to_string(b.size()) + " bytes)");
		b.resize((size_t)*top_.truncate);
	}
	b.insert(b.end(), top_.append.begin(), top_.append.end());
	return true;
}

bool compiler::run(std::string_view text, std::vector<uint8_t> *out)
{
	if (text.size() > (size_t)INT_MAX)
		return fail("description", "too large");
	json_tokener *tok = json_tokener_new_ex(MAX_JSON_DEPTH);
	if (!tok)
		return fail("description", "out of memory");
	// Plain JSON only: no trailing commas, single quotes or comments that
	// the lenient reader would let through.
	json_tokener_set_flags(tok, JSON_TOKENER_STRICT);
	json_object *doc = json_tokener_parse_ex(tok, text.data(), (int)text.size());
	json_tokener_error jerr = json_tokener_get_error(tok);
	size_t end = json_tokener_get_parse_end(tok);
	json_tokener_free(tok);
	std::unique_ptr<json_object, int (*)(json_object *)> hold(doc, json_object_put);
	if (jerr == json_tokener_continue)
		return fail("description", "the JSON text ends too early");
	if (jerr != json_tokener_success)
		return fail("description", std::string("not valid JSON: ") +
						   json_tokener_error_desc(jerr) + " near byte " +
						   std::to_string(end));
	while (end < text.size() &&
	       (text[end] == ' ' || text[end] == '\t' || text[end] == '\n' || text[end] == '\r'))
		end++;
	if (end != text.size())
		return fail("description",
			    "unexpected text after the JSON value at byte " + std::to_string(end));
	if (!doc || json_object_get_type(doc) != json_type_object)
		return fail("description", "must be a JSON object");

	root_ = make("description");
	if (!parse_prop(doc, root_, true, false, 0))
		return false;
	if (!resolve_shares())
		return false;
	return layout(out);
}

}  // namespace

bool compile(std::string_view description, std::vector<uint8_t> *out, std::string *error)
{
	std::string ignored;
	if (!error)
		error = &ignored;
	if (!out) {
		*error = "no output buffer given";
		return false;
	}
	try {
		compiler c;
		std::vector<uint8_t> bytes;
		if (!c.run(description, &bytes)) {
			*error = c.error;
			return false;
		}
		*out = std::move(bytes);
		return true;
	} catch (const std::bad_alloc &) {
		*error = "out of memory";
		return false;
	}
}

}  // namespace dictc
