#include "mockups.h"

#include "paths.h"

#include <librde/rde_bej.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

namespace {

using bytes = std::vector<uint8_t>;
using entry = rde_bej_dictionary_entry;

std::optional<entry> at(const bytes &dictionary, long index)
{
	entry e;
	if (index < 0 || rde_bej_read_dictionary_entry(dictionary.data(), dictionary.size(),
						       static_cast<unsigned>(index), &e, nullptr))
		return std::nullopt;
	return e;
}

// The child of parent named name; the list ends before the first sequence
// number that does not rise.
std::optional<entry> child(const bytes &dictionary, const entry &parent, std::string_view name)
{
	for (unsigned k = 0, last = 0; k < parent.child_count; k++) {
		std::optional<entry> c = at(dictionary, long{parent.first_child} + k);
		if (!c || (k > 0 && c->sequence_number <= last))
			break;
		if (c->name && name == c->name)
			return c;
		last = c->sequence_number;
	}
	return std::nullopt;
}

// A property: the dictionary it lives in and its entry there.
struct property {
	const bytes *in;
	entry e;
};

struct preparer {
	const bytes &annotation;

	// "Prop@Annotation" needs Prop in the set and "@Annotation" in the
	// annotation dictionary; "@Annotation" alone only the latter.
	std::optional<property> resolve(const property &set, std::string_view key)
	{
		size_t at_sign = key.find('@');
		std::optional<entry> found = child(*set.in, set.e, key.substr(0, at_sign));
		if (at_sign == std::string_view::npos)
			return found ? std::optional<property>{{set.in, *found}} : std::nullopt;
		std::optional<entry> root = at(annotation, 0);
		if ((at_sign > 0 && !found) || !root ||
		    !(found = child(annotation, *root, key.substr(at_sign))))
			return std::nullopt;
		return property{&annotation, *found};
	}

	json_object *members(json_object *object, const property &set)
	{
		json_object *out = json_object_new_object();
		json_object_object_foreach(object, key, member) {
			std::optional<property> p = resolve(set, key);
			json_object *kept = nullptr;
			if (p && keep(member, *p, &kept))
				json_object_object_add(out, key, kept);
			else
				json_object_put(kept);
		}
		return out;
	}

	// Whether the dictionary takes v for p; *out gets the value to keep.
	bool keep(json_object *v, const property &p, json_object **out)
	{
		unsigned type = p.e.format >> 4;
		auto take = [&](bool taken) { return *out = json_object_get(v), taken; };
		switch (json_object_get_type(v)) {
		case json_type_null:
			return (p.e.format & RDE_BEJ_FORMAT_NULLABLE) != 0;
		case json_type_boolean:
			return take(type == RDE_BEJ_DATA_TYPE_BOOLEAN);
		case json_type_double:
			return take(type == RDE_BEJ_DATA_TYPE_REAL);
		case json_type_string:
			return take(type == RDE_BEJ_DATA_TYPE_STRING ||
				    (type == RDE_BEJ_DATA_TYPE_ENUM &&
				     child(*p.in, p.e, json_object_get_string(v))));
		case json_type_int:  // as the converter reads it: signed, 64 bits
			*out = type == RDE_BEJ_DATA_TYPE_REAL
				       ? json_object_new_double(
						 static_cast<double>(json_object_get_int64(v)))
				       : json_object_new_int64(json_object_get_int64(v));
			return type == RDE_BEJ_DATA_TYPE_INTEGER || type == RDE_BEJ_DATA_TYPE_REAL;
		case json_type_object:
			*out = type == RDE_BEJ_DATA_TYPE_SET ? members(v, p) : nullptr;
			return *out != nullptr;
		case json_type_array:
			if (type != RDE_BEJ_DATA_TYPE_ARRAY)
				return false;
			*out = json_object_new_array();
			for (size_t i = 0; i < json_object_array_length(v); i++) {
				json_object *kept = nullptr;
				std::optional<entry> item = at(*p.in, p.e.first_child);
				if (item &&
				    keep(json_object_array_get_idx(v, i), {p.in, *item}, &kept))
					json_object_array_add(*out, kept);
				else
					json_object_put(kept);
			}
			return true;
		}
		return false;
	}
};

// The dictionary a mockup's "@odata.type" names ("#Chassis.v1_2_0.Chassis"
// is Chassis_v1.bin), "" when there is none.
std::string dictionary_of(const std::string &dir, const std::string &path)
{
	json_object *doc = json_object_from_file(path.c_str());
	json_object *type = nullptr;
	std::string file;
	if (json_object_object_get_ex(doc, "@odata.type", &type)) {
		std::string t = json_object_get_string(type);
		t = t.substr(t.starts_with('#') ? 1 : 0);
		file = dir + "/dictionaries/" + t.substr(0, t.find('.')) + "_v1.bin";
	}
	json_object_put(doc);
	return file_exists(file) ? file : "";
}

}  // namespace

const std::vector<reference_mockup> &reference_mockups()
{
	static const std::vector<reference_mockup> all = [] {
		std::vector<reference_mockup> list;
		std::string dir = redfish_dir();
		if (dir.empty())
			return list;
		for (auto &f : std::filesystem::recursive_directory_iterator(dir + "/mockups"))
			if (f.is_regular_file() && f.path().extension() == ".json")
				list.push_back({f.path().string(), ""});
		std::sort(list.begin(), list.end(),
			  [](const auto &a, const auto &b) { return a.path < b.path; });
		for (auto &m : list)
			m.dictionary = dictionary_of(dir, m.path);
		return list;
	}();
	return all;
}

std::string reference_annotation() { return redfish_dir() + "/dictionaries/annotation.bin"; }

json_object *prepare_mockup(const reference_mockup &mockup)
{
	if (mockup.dictionary.empty())
		return nullptr;
	static const bytes annotation = read_bytes(reference_annotation());
	bytes schema = read_bytes(mockup.dictionary);
	json_object *doc = json_object_from_file(mockup.path.c_str());
	std::optional<entry> root = at(schema, 0);
	json_object *prepared = doc && root ? preparer{annotation}.members(doc, {&schema, *root})
					    : nullptr;
	json_object_put(doc);
	return prepared;
}
