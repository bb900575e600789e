// The dictionary decompiler: dictionary bytes -> JSON description.
//
// The property tree is the one librde builds when it registers the bytes,
// written one property a line, children indented below it, in the format that
// compile() reads: names, types, flags, sequence numbers where they are not
// the list positions, enum options, and "id" / "children_of" for the child
// lists that several properties share.
#include "common.h"
#include "dictc.h"

#include <json-c/json.h>

#include <map>
#include <memory>
#include <set>

namespace dictc {
namespace {

// compile() takes about 120 property levels (two JSON levels each).
constexpr unsigned MAX_DEPTH = 120;
constexpr size_t LINE_WIDTH = 100;

std::string quote(const char *text)
{
	json_object *s = json_object_new_string(text);
	std::string quoted = s ? json_object_to_json_string_ext(s, JSON_C_TO_STRING_NOSLASHESCAPE)
			       : "\"\"";
	json_object_put(s);
	return quoted;
}

using property = rde_bej_property;

// A property's children built under it, in order.
std::vector<const property *> own_children(const property *p)
{
	std::vector<const property *> children;
	for (const property *c = rde_bej_property_get_first_child(p); c;
	     c = rde_bej_property_get_next_sibling(c))
		children.push_back(c);
	return children;
}

class describer {
public:
	describer(const property *root, const rde_bej_dictionary_header &header)
	    : root_(root), header_(header)
	{
		name_shared_lists();
	}
	std::string root();

private:
	void name_shared_lists();
	std::vector<std::string> members(const property *p, unsigned position);
	void property_line(const property *p, unsigned position, const std::string &indent);
	void body(const property *p, unsigned position, const std::string &indent);
	void list(const property *p, const std::string &indent, const std::string &separator);
	void options(const std::vector<const property *> &children, const std::string &indent);

	const property *root_;
	const rde_bej_dictionary_header &header_;
	std::map<const property *, std::string> labels_;  // owners of shared lists
	std::string out_;
};

std::string join(const std::vector<std::string> &parts, const std::string &separator)
{
	std::string text;
	for (const std::string &p : parts)
		text += (text.empty() ? "" : separator) + p;
	return text;
}

// Every list that another property shares gets a label from its owner's
// name, made unique with a number: "Status", "Status~2".  Labels go in the
// order of the sharers' entries.
void describer::name_shared_lists()
{
	std::map<unsigned, const property *> sources;  // by the sharer's entry
	walk_properties(root_, [&](const property *p, unsigned) {
		if (const property *source = rde_bej_property_get_children_source(p))
			sources[rde_bej_property_get_entry(p)] = source;
	});
	std::set<std::string> taken;
	for (const auto &[entry, source] : sources) {
		if (labels_.count(source))
			continue;
		const char *name = rde_bej_property_get_name(source);
		std::string label = name ? name : "item";
		for (unsigned i = 2; taken.count(label); i++)
			label = (name ? name : "item") + std::string("~") + std::to_string(i);
		taken.insert(label);
		labels_[source] = label;
	}
}

// The root's members one a line, the header's after its name; the type only
// when it is not the usual set.
std::string describer::root()
{
	std::vector<std::string> m = members(root_, 0);
	if (rde_bej_property_get_type(root_) == RDE_BEJ_DATA_TYPE_SET)
		m.erase(m.begin() + 1);
	std::string version = version_text(header_.schema_version);
	if (!version.empty())
		m.insert(m.begin() + 1, "\"version\": \"" + version + "\"");
	if (header_.version_tag)
		m.push_back("\"version_tag\": " + std::to_string(header_.version_tag));
	if (header_.dictionary_flags)
		m.push_back("\"dictionary_flags\": " + std::to_string(header_.dictionary_flags));
	out_ = "{\n  " + join(m, ",\n  ");
	list(root_, "  ", ",\n  ");
	out_ += "\n}\n";
	return out_;
}

// The members of a property's object before its list, the name first.
std::vector<std::string> describer::members(const property *p, unsigned position)
{
	std::vector<std::string> m;
	if (const char *name = rde_bej_property_get_name(p))
		m.push_back("\"name\": " + quote(name));
	unsigned type_code = rde_bej_property_get_type(p);
	std::string type = rde_bej_data_type_name(type_code);
	m.push_back("\"type\": " +
		    (type == "unknown" ? std::to_string(type_code) : "\"" + type + "\""));
	unsigned flags = rde_bej_property_get_flags(p);
	if (flags & RDE_BEJ_FORMAT_NULLABLE)
		m.push_back("\"nullable\": true");
	if (flags & 0x0B)
		m.push_back("\"flags\": " + std::to_string(flags & 0x0B));
	uint16_t number = rde_bej_property_get_sequence_number(p);
	if (number != position)
		m.push_back("\"sequence_number\": " + std::to_string(number));
	if (labels_.count(p))
		m.push_back("\"id\": " + quote(labels_.at(p).c_str()));
	if (const property *source = rde_bej_property_get_children_source(p))
		m.push_back("\"children_of\": " + quote(labels_.at(source).c_str()));
	return m;
}

void describer::property_line(const property *p, unsigned position, const std::string &indent)
{
	out_ += indent;
	body(p, position, indent);
}

void describer::body(const property *p, unsigned position, const std::string &indent)
{
	out_ += "{ " + join(members(p, position), ", ");
	list(p, indent, ", ");
	out_ += " }";
}

// The property's own children after its members: "options", an "item" on
// the same line, or "children" indented one step further than the property.
void describer::list(const property *p, const std::string &indent, const std::string &separator)
{
	std::vector<const property *> children = own_children(p);
	if (rde_bej_property_get_children_source(p) || children.empty())
		return;
	unsigned type = rde_bej_property_get_type(p);
	if (type == RDE_BEJ_DATA_TYPE_ENUM) {
		out_ += separator + "\"options\": ";
		options(children, indent + "    ");
		return;
	}
	if (type == RDE_BEJ_DATA_TYPE_ARRAY && children.size() == 1) {
		out_ += separator + "\"item\": ";
		body(children[0], 0, indent);
		return;
	}
	out_ += separator + "\"children\": [\n";
	for (size_t i = 0; i < children.size(); i++) {
		property_line(children[i], (unsigned)i, indent + "  ");
		out_ += i + 1 < children.size() ? ",\n" : "\n";
	}
	out_ += indent + "]";
}

// The options on the line when they fit, else from the next line on, as
// many to a line as fit.
void describer::options(const std::vector<const property *> &children, const std::string &indent)
{
	std::vector<std::string> items;
	for (size_t i = 0; i < children.size(); i++) {
		const char *name = rde_bej_property_get_name(children[i]);
		uint16_t number = rde_bej_property_get_sequence_number(children[i]);
		unsigned flags = rde_bej_property_get_flags(children[i]);
		std::string item = quote(name ? name : "");
		std::string numbered = number == i
					       ? ""
					       : ", \"sequence_number\": " + std::to_string(number);
		std::string flagged = flags ? ", \"flags\": " + std::to_string(flags) : "";
		if (!numbered.empty() || !flagged.empty())
			item = "{ \"name\": " + item + numbered + flagged + " }";
		items.push_back(item + (i + 1 < children.size() ? "," : ""));
	}
	std::string all = "[" + join(items, " ") + "]";
	size_t column = out_.size() - (out_.rfind('\n') + 1);
	if (column + all.size() + 2 <= LINE_WIDTH) {
		out_ += all;
		return;
	}
	out_ += "[";
	column = LINE_WIDTH;
	for (const std::string &item : items) {
		if (column + 1 + item.size() > LINE_WIDTH) {
			out_ += "\n" + indent + item;
			column = indent.size() + item.size();
		} else {
			out_ += " " + item;
			column += 1 + item.size();
		}
	}
	out_ += "]";
}

}  // namespace

bool decompile(const void *bytes, size_t size, std::string *text, std::string *error)
{
	std::unique_ptr<rde_bej_context, void (*)(rde_bej_context *)> context(rde_bej_context_new(),
									      rde_bej_context_free);
	rde_bej_dictionary_header header{};
	if (!context ||
	    rde_bej_context_set_options(context.get(), RDE_BEJ_ACCEPT_SEQUENCE_GAPS) != 0 ||
	    rde_bej_add_dictionary(context.get(), 0, nullptr, bytes, size) != 0 ||
	    rde_bej_read_dictionary_header(bytes, size, &header, nullptr) != 0) {
		*error = "not a dictionary librde accepts";
		return false;
	}
	const property *root = rde_bej_dictionary_get_root(rde_bej_dictionary_first(context.get()));
	unsigned deepest = 0;
	walk_properties(root, [&](const property *, unsigned depth) {
		deepest = depth > deepest ? depth : deepest;
	});
	if (deepest > MAX_DEPTH) {
		*error = "properties nested deeper than " + std::to_string(MAX_DEPTH) + " levels";
		return false;
	}
	*text = describer(root, header).root();
	return true;
}

}  // namespace dictc
