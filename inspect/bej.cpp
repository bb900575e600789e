// rde-inspect bej: every tuple of a BEJ encoding on a line, indented by its
// depth, with the property it stands for resolved the way the decoder
// resolves it, and its value.  The tuples come from librde's reader, which
// stops at the first malformed byte; everything before it is shown.
#include "inspect.h"
#include "schema_tree.h"

#include <librde/rde_bej.h>

#include <cinttypes>
#include <cstdio>

namespace {

using dictc::schema_tree;

struct dictionary {
	std::vector<uint8_t> bytes;
	schema_tree tree;
};

// Reads a dictionary that librde accepts (it logs why it does not).
bool load(const char *path, dictionary *d)
{
	if (!read_input(path, &d->bytes))
		return false;
	std::string error;
	if (!dictc::librde_accepts(d->bytes.data(), d->bytes.size()) ||
	    !d->tree.read(d->bytes.data(), d->bytes.size(), &error))
		return complain(std::string(path) + ": not a dictionary librde accepts");
	return true;
}

// The property a tuple stands for: a node of one of the trees, or none.
struct place {
	const schema_tree *tree = nullptr;
	int node = -1;
	std::string path;
	unsigned type = 0;  // the tuple's data type
};

// The property of the locator's path ("Status/Health", numbers for array
// elements), or the root.
bool find_root(const schema_tree &tree, const char *locator, place *root)
{
	root->tree = &tree;
	root->node = 0;
	root->path = tree.label(0);
	std::string rest = locator ? locator : "";
	while (locator) {
		std::string step = rest.substr(0, rest.find('/'));
		bool element = tree.node((unsigned)root->node).type() == RDE_BEJ_DATA_TYPE_ARRAY &&
			       !step.empty() &&
			       step.find_first_not_of("0123456789") == std::string::npos;
		int c = element ? tree.child((unsigned)root->node, uint64_t{0})
				: tree.child((unsigned)root->node, step);
		if (c < 0)
			return complain(std::string(locator) + ": no property '" + step + "' in '" +
					root->path + "'");
		root->node = c;
		root->path += element ? "[" + step + "]" : "/" + step;
		if (step.size() == rest.size())
			break;
		rest.erase(0, step.size() + 1);
	}
	return true;
}

std::string hex(const uint8_t *bytes, uint64_t length)
{
	std::string text;
	char b[4];
	for (uint64_t i = 0; i < length; i++) {
		snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
		text += b;
	}
	return text;
}

// The decimal text of a real's parts: whole.(zeros)(fraction)e(exponent).
// A fraction behind more than MAX_ZEROS leading zeros is below what any
// double holds and is left out; the parts shown beside it are exact.
std::string real_text(const rde_bej_real_parts &r)
{
	constexpr uint64_t MAX_ZEROS = 400;
	std::string text = std::to_string(r.whole) + ".";
	if (r.leading_zero_count > MAX_ZEROS)
		text += "0";
	else
		text += std::string(r.leading_zero_count, '0') + std::to_string(r.fraction);
	return r.exponent ? text + "e" + std::to_string(r.exponent) : text;
}

json_object *real_parts(const rde_bej_real_parts &r)
{
	json_object *parts = json_object_new_object();
	put(parts, "whole", json_object_new_int64(r.whole));
	put(parts, "leading_zero_count", json_object_new_uint64(r.leading_zero_count));
	put(parts, "fraction", json_object_new_uint64(r.fraction));
	put(parts, "exponent", json_object_new_int64(r.exponent));
	return parts;
}

// Adds the value to the tuple's facts by data type ("value", a bytestring as
// hex text; "members" of sets and arrays; the option number of an enum and
// the parts of a real) and returns it as the line shows it.
std::string add_value(const rde_bej_tuple &t, const place &p, json_object *f, std::string *note)
{
	const auto &d = t.data;
	json_object *v = nullptr;
	switch (p.type) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY:
		put(f, "members", json_object_new_uint64(d.child_count));
		return ", " + std::to_string(d.child_count) +
		       (d.child_count == 1 ? " member" : " members");
	case RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION:
		return "";
	case RDE_BEJ_DATA_TYPE_INTEGER:
		v = d.integer.negative || d.integer.value >= 0
			    ? json_object_new_int64(d.integer.value)
			    : json_object_new_uint64((uint64_t)d.integer.value);
		break;
	case RDE_BEJ_DATA_TYPE_ENUM: {
		int o = p.node >= 0 ? p.tree->child((unsigned)p.node, d.enum_option) : -1;
		const char *name = o >= 0 ? p.tree->node((unsigned)o).entry.name : nullptr;
		put(f, "value", name ? json_object_new_string(name) : nullptr);
		put(f, "option", json_object_new_uint64(d.enum_option));
		if (!name && note->empty())
			*note = "no option numbered " + std::to_string(d.enum_option);
		return " = " + std::string(name ? name : "?") + " (option " +
		       std::to_string(d.enum_option) + ")";
	}
	case RDE_BEJ_DATA_TYPE_STRING:
		v = json_object_new_string_len((const char *)t.value, (int)t.length - 1);
		break;
	case RDE_BEJ_DATA_TYPE_REAL: {
		std::string text = real_text(d.real);
		put(f, "value",
		    json_object_new_double_s(strtod(text.c_str(), nullptr), text.c_str()));
		put(f, "real", real_parts(d.real));
		return " = " + text + " (whole " + std::to_string(d.real.whole) +
		       ", leading zeros " + std::to_string(d.real.leading_zero_count) +
		       ", fraction " + std::to_string(d.real.fraction) + ", exponent " +
		       std::to_string(d.real.exponent) + ")";
	}
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		v = json_object_new_boolean(d.boolean);
		break;
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		v = json_object_new_uint64(d.resource_link);
		break;
	case RDE_BEJ_DATA_TYPE_NULL:
		break;
	default:
		put(f, "value", json_object_new_string(hex(t.value, t.length).c_str()));
		return " = " + hex(t.value, t.length);
	}
	put(f, "value", v);
	return " = " +
	       std::string(json_object_to_json_string_ext(v, JSON_C_TO_STRING_NOSLASHESCAPE));
}

class reader {
public:
	reader(const inspect_options &o, const dictionary *annotation, const place &root)
	    : options_(o), annotation_(annotation), root_(root)
	{}
	~reader() { json_object_put(tuples_); }
	int run(const std::vector<uint8_t> &bytes);

private:
	static int on_tuple(const rde_bej_tuple *t, void *self);
	place resolve(const rde_bej_tuple &t, const place *parent, std::string *note);
	void record(const rde_bej_tuple &t, const place &p, const std::string &note);

	const inspect_options &options_;
	const dictionary *annotation_;
	const place root_;
	std::vector<place> stack_;  // the places of the enclosing tuples
	json_object *tuples_ = json_object_new_array();
	std::string text_;
};

int reader::on_tuple(const rde_bej_tuple *t, void *self)
{
	reader &r = *static_cast<reader *>(self);
	r.stack_.resize(t->depth);
	std::string note;
	place p = r.resolve(*t, t->depth ? &r.stack_.back() : nullptr, &note);
	r.record(*t, p, note);
	r.stack_.push_back(p);
	return 0;
}

// Resolves a tuple as the decoder does: the selector picks the dictionary,
// the sequence number the child (the item, whatever the number, in an
// array); an annotation's inner tuple is a child of the annotation root.
place reader::resolve(const rde_bej_tuple &t, const place *parent, std::string *note)
{
	place p;
	p.type = t.format >> 4;
	if (!parent) {
		p = root_;
		p.type = t.format >> 4;
		return p;
	}
	const schema_tree *annotations = annotation_ ? &annotation_->tree : nullptr;
	bool inner = parent->type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION;
	bool nested = parent->tree == annotations && parent->node > 0 &&
		      !(t.format & RDE_BEJ_FORMAT_TOP_LEVEL_ANNOTATION);
	int scope = parent->node;
	p.tree = parent->tree;
	if (inner || (t.selector && !nested)) {
		p.tree = annotations;
		scope = annotations ? 0 : -1;
	}
	bool element = scope >= 0 && !inner &&
		       p.tree->node((unsigned)scope).type() == RDE_BEJ_DATA_TYPE_ARRAY;
	p.node = scope < 0 ? -1 : p.tree->child((unsigned)scope, element ? 0 : t.sequence_number);
	std::string name = p.node >= 0 ? p.tree->label((unsigned)p.node) : inner ? "@?" : "?";
	p.path = parent->path +
		 (element ? "[" + std::to_string(t.index) + "]" : (inner ? "" : "/") + name);
	if (p.node < 0)
		*note = !p.tree ? "no annotation dictionary"
				: "no property numbered " + std::to_string(t.sequence_number);
	return p;
}

// Adds the tuple's facts to the JSON array or its line to the text.
void reader::record(const rde_bej_tuple &t, const place &p, const std::string &note)
{
	json_object *f = json_object_new_object();
	const char *type = rde_bej_data_type_name(p.type);
	const char *name = p.node >= 0 ? p.tree->node((unsigned)p.node).entry.name : nullptr;
	put(f, "offset", json_object_new_uint64(t.offset));
	put(f, "depth", json_object_new_int((int)t.depth));
	put(f, "path", json_object_new_string(p.path.c_str()));
	put(f, "name", name ? json_object_new_string(name) : nullptr);
	put(f, "type", json_object_new_string(type));
	put(f, "sequence_number", json_object_new_uint64(t.sequence_number));
	put(f, "selector", json_object_new_string(t.selector ? "annotation" : "schema"));
	put(f, "format", json_object_new_int(t.format));
	put(f, "flags", flag_array(t.format & 15, false));
	put(f, "length", json_object_new_uint64(t.length));
	std::string remark = note;
	std::string value = add_value(t, p, f, &remark);
	unsigned expected = p.node >= 0 ? p.tree->node((unsigned)p.node).type() : p.type;
	if (remark.empty() && p.type != expected && p.type != RDE_BEJ_DATA_TYPE_NULL &&
	    p.type != RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION)
		remark = std::string("the dictionary gives ") + rde_bej_data_type_name(expected);
	put(f, "note", remark.empty() ? nullptr : json_object_new_string(remark.c_str()));
	if (options_.json) {
		json_object_array_add(tuples_, f);
		return;
	}
	json_object_put(f);
	char head[48];
	snprintf(head, sizeof head, "%6zu  %*s", t.offset, 2 * (int)t.depth, "");
	text_ += head + p.path + ": " + type + ", seq " + std::to_string(t.sequence_number) +
		 (t.selector ? ", annotation" : ", schema") + ", format " +
		 format_text(t.format, false) + ", length " + std::to_string(t.length) + value +
		 (remark.empty() ? "" : " [" + remark + "]") + "\n";
}

json_object *header_facts(const rde_bej_encoding_header &header, const std::string &remark)
{
	json_object *h = json_object_new_object();
	put(h, "version", json_object_new_uint64(header.version));
	put(h, "flags", json_object_new_int(header.flags));
	put(h, "schema_class", json_object_new_int(header.schema_class));
	put(h, "note", remark.empty() ? nullptr : json_object_new_string(remark.c_str()));
	return h;
}

json_object *error_facts(const rde_bej_read_error &error)
{
	json_object *e = json_object_new_object();
	put(e, "offset", json_object_new_uint64(error.offset));
	put(e, "reason", json_object_new_string(error.reason));
	return e;
}

// Walks the encoding, then prints the header (when it could be read), the
// tuples and, when the bytes break off, where and why.
int reader::run(const std::vector<uint8_t> &bytes)
{
	rde_bej_encoding_header header{};
	rde_bej_read_error error{};
	int status = rde_bej_read_encoding(bytes.data(), bytes.size(), &header, on_tuple, this,
					   &error);
	std::string remark = header.schema_class == options_.schema_type
				     ? ""
				     : "expected schema class " +
					       std::to_string(options_.schema_type);
	if (options_.json) {
		json_object *document = json_object_new_object();
		put(document, "header", header.version ? header_facts(header, remark) : nullptr);
		put(document, "tuples", tuples_);
		tuples_ = nullptr;
		put(document, "error", status ? error_facts(error) : nullptr);
		print_json(document);
	} else {
		if (header.version)
			printf("header: version 0x%08" PRIx32 ", flags 0x%04x, schema class %u%s\n",
			       header.version, header.flags, header.schema_class,
			       remark.empty() ? "" : (" [" + remark + "]").c_str());
		fputs(text_.c_str(), stdout);
		if (status)
			printf("error at offset %zu: %s\n", error.offset, error.reason);
	}
	return status ? 1 : 0;
}

}  // namespace

int inspect_bej(const inspect_options &o)
{
	dictionary schema, annotation;
	place root;
	std::vector<uint8_t> bytes;
	if (!load(o.schema, &schema) || (o.annotation && !load(o.annotation, &annotation)) ||
	    !find_root(schema.tree, o.locator, &root) || !read_input(o.file, &bytes))
		return 1;
	return reader(o, o.annotation ? &annotation : nullptr, root).run(bytes);
}
