// The dictionary decompiler: dictionary bytes -> JSON description.
//
// The property tree is read as librde builds it (schema_tree.h) and written
// one property a line, children indented below it, in the format that
// compile() reads: names, types, flags, sequence numbers where they are not
// the list positions, enum options, and "id" / "children_of" for the child
// lists that several properties share.
#include "dictc.h"
#include "schema_tree.h"

#include <json-c/json.h>

#include <map>
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

class describer {
public:
	explicit describer(const schema_tree &tree) : tree_(tree) { name_shared_lists(); }
	std::string root();

private:
	void name_shared_lists();
	std::vector<std::string> members(unsigned index, unsigned position);
	void property(unsigned index, unsigned position, const std::string &indent);
	void body(unsigned index, unsigned position, const std::string &indent);
	void list(unsigned index, const std::string &indent, const std::string &separator);
	void options(const std::vector<uint16_t> &children, const std::string &indent);

	const schema_tree &tree_;
	std::map<unsigned, std::string> labels_;  // owners of shared lists
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
// name, made unique with a number: "Status", "Status~2".
void describer::name_shared_lists()
{
	std::set<std::string> taken;
	for (const tree_node &n : tree_.nodes()) {
		if (n.source < 0 || labels_.count((unsigned)n.source))
			continue;
		const char *name = tree_.node((unsigned)n.source).entry.name;
		std::string label = name ? name : "item";
		for (unsigned i = 2; taken.count(label); i++)
			label = (name ? name : "item") + std::string("~") + std::to_string(i);
		taken.insert(label);
		labels_[(unsigned)n.source] = label;
	}
}

// The root's members one a line, the header's after its name; the type only
// when it is not the usual set.
std::string describer::root()
{
	const rde_bej_dictionary_header &h = tree_.header();
	std::vector<std::string> m = members(0, 0);
	if (tree_.node(0).type() == RDE_BEJ_DATA_TYPE_SET)
		m.erase(m.begin() + 1);
	std::string version = version_text(h.schema_version);
	if (!version.empty())
		m.insert(m.begin() + 1, "\"version\": \"" + version + "\"");
	if (h.version_tag)
		m.push_back("\"version_tag\": " + std::to_string(h.version_tag));
	if (h.dictionary_flags)
		m.push_back("\"dictionary_flags\": " + std::to_string(h.dictionary_flags));
	out_ = "{\n  " + join(m, ",\n  ");
	list(0, "  ", ",\n  ");
	out_ += "\n}\n";
	return out_;
}

// The members of a property's object before its list, the name first.
std::vector<std::string> describer::members(unsigned index, unsigned position)
{
	const tree_node &n = tree_.node(index);
	std::vector<std::string> m;
	if (n.entry.name)
		m.push_back("\"name\": " + quote(n.entry.name));
	std::string type = rde_bej_data_type_name(n.type());
	m.push_back("\"type\": " +
		    (type == "unknown" ? std::to_string(n.type()) : "\"" + type + "\""));
	if (n.entry.format & RDE_BEJ_FORMAT_NULLABLE)
		m.push_back("\"nullable\": true");
	if (unsigned flags = n.entry.format & 0x0B)
		m.push_back("\"flags\": " + std::to_string(flags));
	if (n.entry.sequence_number != position)
		m.push_back("\"sequence_number\": " + std::to_string(n.entry.sequence_number));
	if (labels_.count(index))
		m.push_back("\"id\": " + quote(labels_.at(index).c_str()));
	if (n.source >= 0)
		m.push_back("\"children_of\": " + quote(labels_.at((unsigned)n.source).c_str()));
	return m;
}

void describer::property(unsigned index, unsigned position, const std::string &indent)
{
	out_ += indent;
	body(index, position, indent);
}

void describer::body(unsigned index, unsigned position, const std::string &indent)
{
	out_ += "{ " + join(members(index, position), ", ");
	list(index, indent, ", ");
	out_ += " }";
}

// The property's own children after its members: "options", an "item" on
// the same line, or "children" indented one step further than the property.
void describer::list(unsigned index, const std::string &indent, const std::string &separator)
{
	const tree_node &n = tree_.node(index);
	if (n.source >= 0 || n.children.empty())
		return;
	if (n.type() == RDE_BEJ_DATA_TYPE_ENUM) {
		out_ += separator + "\"options\": ";
		options(n.children, indent + "    ");
		return;
	}
	if (n.type() == RDE_BEJ_DATA_TYPE_ARRAY && n.children.size() == 1) {
		out_ += separator + "\"item\": ";
		body(n.children[0], 0, indent);
		return;
	}
	out_ += separator + "\"children\": [\n";
	for (size_t i = 0; i < n.children.size(); i++) {
		property(n.children[i], (unsigned)i, indent + "  ");
		out_ += i + 1 < n.children.size() ? ",\n" : "\n";
	}
	out_ += indent + "]";
}

// The options on the line when they fit, else from the next line on, as
// many to a line as fit.
void describer::options(const std::vector<uint16_t> &children, const std::string &indent)
{
	std::vector<std::string> items;
	for (size_t i = 0; i < children.size(); i++) {
		const tree_node &o = tree_.node(children[i]);
		std::string item = quote(o.entry.name ? o.entry.name : "");
		std::string number = o.entry.sequence_number == i
					     ? ""
					     : ", \"sequence_number\": " +
						       std::to_string(o.entry.sequence_number);
		std::string flags = o.entry.format & 15
					    ? ", \"flags\": " + std::to_string(o.entry.format & 15)
					    : "";
		if (!number.empty() || !flags.empty())
			item = "{ \"name\": " + item + number + flags + " }";
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
	schema_tree tree;
	if (!librde_accepts(bytes, size)) {
		*error = "not a dictionary librde accepts";
		return false;
	}
	if (!tree.read(bytes, size, error))
		return false;
	for (const tree_node &n : tree.nodes())
		if (n.depth > MAX_DEPTH) {
			*error = "properties nested deeper than " + std::to_string(MAX_DEPTH) +
				 " levels";
			return false;
		}
	*text = describer(tree).root();
	return true;
}

}  // namespace dictc
