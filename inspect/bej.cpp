// rde-inspect bej: every tuple of a BEJ encoding on a line, indented by its
// depth, with the property librde resolves it to, and its value.  The
// tuples come from librde's reader, which stops at the first malformed
// byte; everything before it is shown.
#include "inspect.h"

#include <librde/rde_bej.h>

#include <cinttypes>
#include <cstdio>
#include <memory>

namespace {

using context_ptr = std::unique_ptr<rde_bej_context, void (*)(rde_bej_context *)>;
using locator_ptr = std::unique_ptr<rde_bej_locator, void (*)(rde_bej_locator *)>;

// Registers a dictionary that librde accepts with sequence gaps (it logs
// why it does not).
bool load(rde_bej_context *context, const char *path, int32_t schema_type)
{
	std::vector<uint8_t> bytes;
	if (!read_input(path, &bytes))
		return false;
	if (rde_bej_add_dictionary(context, schema_type, nullptr, bytes.data(), bytes.size()) != 0)
		return complain(std::string(path) + ": not a dictionary librde accepts");
	return true;
}

// The property a tuple stands for, or none.
struct place {
	const rde_bej_property *property = nullptr;
	std::string path;
	unsigned type = 0;  // the tuple's data type
};

// The name of a property for paths: its name, "#N" (its entry) when it has none.
std::string label(const rde_bej_property *p)
{
	const char *name = rde_bej_property_get_name(p);
	return name ? name : "#" + std::to_string(rde_bej_property_get_entry(p));
}

// The property the locator names as bejconv -l reads it, or the root.
bool find_root(rde_bej_context *context, const char *locator, place *root, locator_ptr *owner)
{
	rde_bej_dictionary *schema = rde_bej_dictionary_first(context);
	while (rde_bej_dictionary_get_schema_type(schema) != 0)
		schema = rde_bej_dictionary_next(schema);
	const char *name = rde_bej_dictionary_get_name(schema);
	root->property = rde_bej_dictionary_get_root(schema);
	root->path = name;
	if (!locator)
		return true;
	rde_bej_locator *built = nullptr;
	if (rde_bej_locator_build_path(context, name, 0, locator, &built) != 0)
		return complain(std::string("failed to build the locator '") + locator + "'");
	owner->reset(built);
	root->property = rde_bej_locator_get_property(built);
	root->path += std::string("/") + locator;
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

// Adds an enumeration value to the tuple's facts: the option's name and
// number, with a note when the property has no such option.
std::string add_option(uint64_t option, const place &p, json_object *f, std::string *note)
{
	// An array's item is no option, whatever its number.
	const rde_bej_property *o = p.property && rde_bej_property_get_type(p.property) !=
							    RDE_BEJ_DATA_TYPE_ARRAY
					    ? rde_bej_property_find_child(p.property, option)
					    : nullptr;
	const char *name = o ? rde_bej_property_get_name(o) : nullptr;
	put(f, "value", name ? json_object_new_string(name) : nullptr);
	put(f, "option", json_object_new_uint64(option));
	if (!name && note->empty())
		*note = "no option numbered " + std::to_string(option);
	return " = " + std::string(name ? name : "?") + " (option " + std::to_string(option) + ")";
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
	case RDE_BEJ_DATA_TYPE_ENUM:
		return add_option(t.data.enum_option, p, f, note);
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
	reader(const inspect_options &o, const rde_bej_context *context, const place &root)
	    : options_(o), context_(context), root_(root)
	{}
	~reader() { json_object_put(tuples_); }
	int run(const std::vector<uint8_t> &bytes);

private:
	static int on_tuple(const rde_bej_tuple *t, void *self);
	place resolve(const rde_bej_tuple &t, const place *parent, std::string *note);
	void record(const rde_bej_tuple &t, const place &p, const std::string &note);

	const inspect_options &options_;
	const rde_bej_context *context_;
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

// Resolves a tuple through librde as the decoder does; the inner tuple of an
// annotation has no parent property, nor has a tuple below one that did
// not resolve, which only an annotation's number can still resolve.
place reader::resolve(const rde_bej_tuple &t, const place *parent, std::string *note)
{
	place p = parent ? place{} : root_;
	p.type = t.format >> 4;
	if (!parent)
		return p;
	bool inner = parent->type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION;
	const rde_bej_property *scope = nullptr;
	if (inner || parent->property || t.selector)
		scope = rde_bej_tuple_scope(context_, inner ? nullptr : parent->property, &t);
	bool element = scope && !inner &&
		       rde_bej_property_get_type(scope) == RDE_BEJ_DATA_TYPE_ARRAY;
	p.property = scope ? rde_bej_property_find_child(scope, t.sequence_number) : nullptr;
	std::string name = p.property ? label(p.property) : inner ? "@?" : "?";
	p.path = parent->path +
		 (element ? "[" + std::to_string(t.index) + "]" : (inner ? "" : "/") + name);
	if (!p.property)
		*note = !scope && t.selector
				? "no annotation dictionary"
				: "no property numbered " + std::to_string(t.sequence_number);
	return p;
}

// Adds the tuple's facts to the JSON array or its line to the text.
void reader::record(const rde_bej_tuple &t, const place &p, const std::string &note)
{
	json_object *f = json_object_new_object();
	const char *type = rde_bej_data_type_name(p.type);
	const char *name = p.property ? rde_bej_property_get_name(p.property) : nullptr;
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
	unsigned expected = p.property ? rde_bej_property_get_type(p.property) : p.type;
	if (remark.empty() && p.type != expected && p.type != RDE_BEJ_DATA_TYPE_NULL &&
	    p.type != RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION)
		remark = std::string("the dictionary gives ") + rde_bej_data_type_name(expected);
	put(f, "note", remark.empty() ? nullptr : json_object_new_string(remark.c_str()));
	if (options_.json) {
		json_object_array_add(tuples_, f);
		return;
	}
	json_object_put(f);
	char head[24];
	snprintf(head, sizeof head, "%6zu  ", t.offset);
	text_ += head + std::string(2 * t.depth, ' ') + p.path + ": " + type + ", seq " +
		 std::to_string(t.sequence_number) + (t.selector ? ", annotation" : ", schema") +
		 ", format " + format_text(t.format, false) + ", length " +
		 std::to_string(t.length) + value + (remark.empty() ? "" : " [" + remark + "]") +
		 "\n";
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
	context_ptr context(rde_bej_context_new(), rde_bej_context_free);
	locator_ptr locator(nullptr, rde_bej_locator_free);
	place root;
	std::vector<uint8_t> bytes;
	if (!context ||
	    rde_bej_context_set_options(context.get(), RDE_BEJ_ACCEPT_SEQUENCE_GAPS) != 0 ||
	    !load(context.get(), o.schema, 0) ||
	    (o.annotation && !load(context.get(), o.annotation, RDE_BEJ_SCHEMA_TYPE_ANNOTATION)) ||
	    !find_root(context.get(), o.locator, &root, &locator) || !read_input(o.file, &bytes))
		return 1;
	return reader(o, context.get(), root).run(bytes);
}
