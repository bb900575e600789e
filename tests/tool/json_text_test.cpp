// Decode's JSON text held to json-c's own printer: a compact walk builds
// json-c values from the same decoded tree, json-c prints them pretty, the
// whole-text expansion expands that, and the writer's text must be the same
// bytes.  The trees are random ones, the decoder's test vectors and every
// reference mockup.
#include "bej_internal.h"  // keyless members: no dictionary registration accepts makes them
#include "bej_to_json.h"
#include "capture.h"
#include "dictc.h"
#include "expansion.h"
#include "json_text.h"
#include "json_to_bej.h"
#include "mockups.h"
#include "paths.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>

namespace {

using bytes = std::vector<uint8_t>;

url_table urls;            // the map in json_text/
abbreviation_index index;  // its URLs

// json-c's value of a prepared tree (strings as they stand, a name that a
// set repeats as json_object_object_add treats it); nullptr for a null.
json_object *decoded_json(rde_bej_value *value)
{
	uint32_t type = rde_bej_get_type(value);
	if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY) {
		bool set = type == RDE_BEJ_DATA_TYPE_SET;
		json_object *out = set ? json_object_new_object() : json_object_new_array();
		for (rde_bej_value *c = rde_bej_get_first_child(value); c;
		     c = rde_bej_get_next_sibling(c)) {
			const char *annotated = set ? rde_bej_get_annotated_name(c) : nullptr;
			std::string key = std::string(annotated ? annotated : "") +
					  (set ? rde_bej_get_name(c) : "");
			set ? json_object_object_add(out, key.c_str(), decoded_json(c))
			    : json_object_array_add(out, decoded_json(c));
		}
		return out;
	}
	union {
		int64_t integer;
		const char *option;
		char *text;
		double real;
		bool flag;
		uint32_t id;
	} v{};
	switch (type) {
	case RDE_BEJ_DATA_TYPE_INTEGER:
		return rde_bej_get_integer(value, &v.integer), json_object_new_int64(v.integer);
	case RDE_BEJ_DATA_TYPE_ENUM:
		return rde_bej_get_enum(value, &v.option), json_object_new_string(v.option);
	case RDE_BEJ_DATA_TYPE_STRING:
		return rde_bej_get_string(value, &v.text), json_object_new_string(v.text);
	case RDE_BEJ_DATA_TYPE_REAL:
		return rde_bej_get_real(value, &v.real), json_object_new_double(v.real);
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		return rde_bej_get_boolean(value, &v.flag), json_object_new_boolean(v.flag);
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		return rde_bej_get_resource_link(value, &v.id), json_object_new_int64(v.id);
	default:
		return nullptr;
	}
}

// Compares the writer's text of a tree with json-c's pretty print of
// decoded_json(), both expanded; false when the tree cannot be written (its
// message is dropped).
bool same_text(rde_bej_value *tree, const std::string &what, std::string *written_text = nullptr)
{
	static char *buffer = static_cast<char *>(calloc(EXPANSION_BUFFER_SIZE, 1));
	member_replacements replacements;
	stderr_capture quiet;
	if (!tree || prepare_bej_tree(tree, &replacements) != 0)
		return false;
	url_expander out(urls, buffer);
	write_json_text(tree, replacements, out);
	std::string written(buffer, out.finish());

	json_object *json = decoded_json(tree);
	size_t printed = 0;
	const char *text = json_object_to_json_string_length(json, JSON_C_TO_STRING_PRETTY,
							     &printed);
	EXPECT_EQ(std::string(buffer, expand_url_macros(urls, text, printed, buffer)), written)
		<< what;
	json_object_put(json);
	if (written_text)
		*written_text = written;
	return true;
}

// The dictionary compiled from the description in a file; none without one.
bytes compiled(const std::string &path)
{
	bytes dictionary;
	std::string error;
	if (!path.empty())
		dictc::compile(read_file(path), &dictionary, &error);
	return dictionary;
}

// A context with a schema dictionary and an annotation dictionary (none
// when it is empty), gapped child lists accepted; what it decodes and
// encodes.
struct context {
	rde_bej_context *handle = rde_bej_context_new();
	const char *name = nullptr;  // the schema dictionary's

	context(const bytes &schema, const bytes &annotation)
	{
		stderr_capture quiet;  // dictionaries the library refuses
		rde_bej_context_set_options(handle, RDE_BEJ_ACCEPT_SEQUENCE_GAPS);
		if (!annotation.empty())
			rde_bej_add_dictionary(handle, 2, nullptr, annotation.data(),
					       annotation.size());
		if (rde_bej_add_dictionary(handle, 0, nullptr, schema.data(), schema.size()) == 0)
			name = rde_bej_dictionary_get_name(rde_bej_dictionary_first(handle));
	}
	~context() { rde_bej_context_free(handle); }

	rde_bej_value *decode(const bytes &bej)
	{
		rde_bej_value *tree = nullptr;
		stderr_capture quiet;
		rde_bej_decode(handle, name, 0, bej.data(), bej.size(), nullptr, &tree);
		return tree;
	}

	bytes encode(json_object *doc)
	{
		rde_bej_builder *builder = rde_bej_builder_new(handle, 0, name, nullptr);
		uint8_t *data = nullptr;
		size_t length = 0;
		stderr_capture quiet;
		if (convert_json_document(builder, index, doc) == 0)
			rde_bej_encode(builder, &data, &length);
		rde_bej_builder_free(builder);
		bytes out(data, data + length);
		free(data);
		return out;
	}
};

std::string data_dir() { return tests_source_dir() + "/tool/json_text/"; }
std::string vectors_dir() { return tests_source_dir() + "/vectors/decode/"; }

class JsonText : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		rde_bej_init();
		json_c_set_serialization_double_format(REAL_FORMAT, JSON_C_OPTION_GLOBAL);
		std::string map = data_dir() + "map";
		ASSERT_EQ(0, load_pdr_url_map(urls, map.c_str(), "/redfish/v1", nullptr));
		build_abbreviation_index(index, urls);
	}
};

bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const bytes &part : parts)
		out.insert(out.end(), part.begin(), part.end());
	return out;
}

// A tuple with these flags, and deferred binding for a string with a '%'.
bytes tuple(uint64_t field, unsigned type, const bytes &payload, unsigned flags = 0)
{
	flags |= type == RDE_BEJ_DATA_TYPE_STRING &&
		 std::memchr(payload.data(), '%', payload.size());
	return cat({nnint(field), {uint8_t(type << 4 | flags)}, nnint(payload.size()), payload});
}

// A bejInteger as short as its sign allows.
bytes bej_integer(int64_t x)
{
	bytes out;
	uint64_t rest = uint64_t(x);
	do
		out.push_back(uint8_t(rest)), rest >>= 8;
	while (x < 0 ? out.size() < 8 : rest || out.back() & 0x80);
	return out;
}

int64_t power_of_ten(unsigned n) { return n ? 10 * power_of_ten(n - 1) : 1; }

// A whole encoding: the header and the root set with these members.
bytes resource(const bytes &members)
{
	return cat({parse_hex("00 f0 f0 f1 00 00 00"), tuple(0, 0, members)});
}

// Random encodings over the dictionaries in json_text/: the root holds
// nullable properties of every type the converter shows; its set, array of
// sets and array of arrays of sets have the root's own children, so that
// trees nest at will.  Names hold every byte value between them, macros and
// at signs.  An exact encoding holds only what JSON text gives back as it
// was: no name twice in a set, properties whose names and types JSON keeps,
// values as the encoder writes them (shortest integers, reals as the setter
// makes them from their text, quotes escaped, macros a URL abbreviates to).
class random_encoding {
public:
	explicit random_encoding(unsigned seed, bool exact = false)
	    : rng_(seed), exact_(exact), spine_(exact || rng_() % 4 ? 0 : rng_() % 100)
	{}

	// A set's members; down to the spine's depth, a single nested set.
	bytes members(unsigned depth)
	{
		bool spine = depth < spine_;
		unsigned count = spine ? 1 : depth > spine_ + 6 ? 0 : rng_() % (depth < 3 ? 7 : 3);
		bytes out = nnint(count);
		unsigned taken = 0;  // keys: k, and one annotation a ("@a" finds "k@a")
		for (unsigned i = 0; i < count; i++) {
			unsigned k, pick, a;
			do {
				k = spine ? 0 : exact_ ? EXACT[rng_() % 8] : rng_() % 9;
				pick = spine ? 9 : rng_() % 10, a = rng_() % 3;
			} while (exact_ && taken & 1u << (pick == 1 || pick == 2 ? 16 + a : k));
			taken |= 1u << (pick == 1 || pick == 2 ? 16 + a : k);
			unsigned kind = a ? a + 3 : 2;  // integer, string, real
			bytes annotation = tuple(a << 1 | 1, TYPES[kind], value(kind, depth));
			out = cat({out, pick == 0   ? of(k, RDE_BEJ_DATA_TYPE_NULL, {})
					: pick == 1 ? annotation  // of the set itself
					: pick == 2 ? of(k, 10, annotation)
						    : of(k, TYPES[k], value(k, depth))});
		}
		return out;
	}

private:
	static constexpr unsigned TYPES[] = {0, 1, 3, 4, 5, 6, 7, 14, 3, 7, 1, 4};
	static constexpr unsigned EXACT[] = {0, 1, 2, 4, 5, 9, 10, 11};

	// A tuple of the root's property k, which is nullable.
	bytes of(unsigned k, unsigned type, const bytes &v) { return tuple(k << 1, type, v, 4); }

	// A bejInteger of count bytes, any of them (or 0 when count is 0).
	bytes integer(size_t count)
	{
		bytes out(std::max<size_t>(count, 1));
		for (uint8_t &byte : out)
			byte = count ? uint8_t(rng_()) : 0;
		return out;
	}

	// Any bytes but NUL (exact: none below ':', so no '"', '%' or digit),
	// with the beginnings of macros and escapes mixed in.
	bytes text()
	{
		static const char *const SPECIAL[] = {"%L5", "%L7", "%C",   "%I1",   "W/",
						      "W",   "W\\", "\\\"", "\\",    "/",
						      "%L",  "%I",  "%",    "%L007", "%L300"};
		std::string out;
		for (size_t i = rng_() % 12; i > 0; i--)
			out += rng_() % 2 ? SPECIAL[rng_() % (exact_ ? 10 : 15)]
					  : std::string(1, char(exact_ ? ':' + rng_() % 198
								       : 1 + rng_() % 255));
		return bytes(out.c_str(), out.c_str() + out.size() + 1);
	}

	// A real as the setter makes it from its text: within (-1, 0), scaled
	// by 10^-1 to 10^-9 or 10^-299 to 10^-307; d * 10^n up to 9 * 10^18; or
	// fifteen digits, six of them after the point.
	bytes real()
	{
		int64_t shape = rng_() % 3, d = 1 + rng_() % 9, n = rng_() % (shape == 1 ? 19 : 10);
		int64_t digits = rng_() % power_of_ten(n), zeros = rng_() % 6, fraction = 0;
		int64_t whole = shape == 1 ? d * power_of_ten(n) : shape == 2 ? digits : -d;
		if (shape != 1 && rng_() % 4)
			fraction = d * power_of_ten(5 - zeros) + digits % power_of_ten(5 - zeros);
		bytes w = bej_integer(rng_() % 2 && shape ? -whole : whole),
		      e = cat({nnint(8), bej_integer(-int64_t(rng_() % 2 ? 1 + rng_() % 9
									 : 299 + rng_() % 9))});
		return cat({nnint(w.size()), w, nnint(fraction ? zeros : 0), nnint(fraction),
			    shape ? nnint(0) : e});
	}

	bytes value(unsigned k, unsigned depth)
	{
		bytes out, whole = integer(rng_() % 9),
			   power = rng_() % 3 ? bytes{} : integer(1 + rng_() % 2);
		uint64_t two = uint64_t(1) << rng_() % 64, near = two + rng_() % 3 - 1;  // ±2^n±1
		switch (TYPES[k]) {
		case RDE_BEJ_DATA_TYPE_SET:
			return members(depth + 1);
		case RDE_BEJ_DATA_TYPE_ARRAY:  // of sets, or of arrays of sets
			out = nnint(depth < spine_ ? 1 : rng_() % 3);
			for (uint64_t i = out.back(); i > 0; i--) {
				unsigned sequence = exact_ ? 0 : rng_() % 3 << 1;
				out = cat({out, k == 1 ? tuple(sequence, 0, members(depth + 2))
						       : tuple(sequence, 1, value(1, depth + 1))});
			}
			return out;
		case RDE_BEJ_DATA_TYPE_ENUM:
			return nnint(rng_() % 2);
		case RDE_BEJ_DATA_TYPE_STRING:
			return text();
		case RDE_BEJ_DATA_TYPE_REAL:
			return exact_ ? real()
				      : cat({nnint(whole.size()), whole, nnint(rng_() % 4),
					     nnint(rng_()), nnint(power.size()), power});
		case RDE_BEJ_DATA_TYPE_BOOLEAN:
			return {uint8_t(rng_() % (exact_ ? 2 : 3))};
		case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
			return nnint(rng_());
		default:
			return exact_ ? bej_integer(int64_t(rng_() % 2 ? -near : near))
				      : integer(1 + rng_() % 8);
		}
	}

	std::mt19937 rng_;
	bool exact_;
	unsigned spine_;
};

TEST_F(JsonText, RandomTrees)
{
	context c(compiled(data_dir() + "schema.json"), compiled(data_dir() + "annotation.json"));
	int compared = 0;
	for (unsigned seed = 1; seed <= 1000; seed++) {
		rde_bej_value *tree = c.decode(resource(random_encoding(seed).members(0)));
		compared += same_text(tree, "seed " + std::to_string(seed));
		rde_bej_value_free(tree);
	}
	EXPECT_EQ(1000, compared);
}

// Exact encodings come back from their JSON text byte for byte: bytes, not
// texts, as the decoder passes over the nullable bit, array items' sequence
// numbers and long integers, and would lose or change a value alike twice.
TEST_F(JsonText, ExactEncodingsComeBackFromTheirText)
{
	context c(compiled(data_dir() + "schema.json"), compiled(data_dir() + "annotation.json"));
	for (unsigned seed = 1; seed <= 300; seed++) {
		bytes bej = resource(random_encoding(seed, true).members(0));
		rde_bej_value *tree = c.decode(bej);
		std::string text;
		ASSERT_TRUE(same_text(tree, "exact seed " + std::to_string(seed), &text)) << seed;
		json_object *doc = json_tokener_parse(text.c_str());
		EXPECT_EQ(to_hex(bej), to_hex(c.encode(doc))) << "seed " << seed << "\n" << text;
		json_object_put(doc);
		rde_bej_value_free(tree);
	}
}

TEST_F(JsonText, DecoderVectors)
{
	int compared = 0;
	for (const auto &entry : std::filesystem::directory_iterator(vectors_dir())) {
		std::string dir = entry.path().string() + "/";
		if (!entry.is_directory() || read_file(dir + "expected").rfind("0\n", 0) != 0)
			continue;
		auto [schema, annotation] = vector_descriptions(entry.path().string());
		context c(compiled(schema), compiled(annotation));
		rde_bej_value *tree = c.decode(parse_hex(read_file(dir + "input.hex")));
		compared += same_text(tree, dir);
		rde_bej_value_free(tree);
	}
	EXPECT_EQ(14, compared);
}

// A text beyond the limit is cut at its 8,388,608th byte, in the middle of
// an escape if need be; a macro begun below the limit is written whole.
TEST_F(JsonText, LongTextsAreCut)
{
	context c(compiled(vectors_dir() + "schema.json"), {});
	std::string macros, slashes = "x" + std::string(4500000, '/');
	for (int i = 0; i < 400000; i++)
		macros += "%L6";
	for (const std::string *text : {&macros, &slashes}) {
		bytes name(text->c_str(), text->c_str() + text->size() + 1);  // "Name"
		rde_bej_value *tree = c.decode(resource(cat({nnint(1), tuple(2, 5, name)})));
		std::string written;
		EXPECT_TRUE(same_text(tree, "long text", &written));
		EXPECT_EQ(text == &slashes, written.size() == EXPANSION_LIMIT) << written.size();
		rde_bej_value_free(tree);
	}
}

// Every reference mockup, prepared for its dictionary (gaps accepted),
// encoded and decoded again: the text gives back the same JSON.  Every
// seventh also goes in as it stands, which encodes or is refused.
TEST_F(JsonText, Mockups)
{
	if (reference_mockups().empty())
		GTEST_SKIP() << "reference data absent: no Redfish dictionaries and mockups";
	bytes annotation = read_bytes(reference_annotation());
	std::map<std::string, std::unique_ptr<context>> contexts;
	int same = 0;
	for (const reference_mockup &m : reference_mockups()) {
		std::unique_ptr<context> &c = contexts[m.dictionary];
		if (!c)
			c = std::make_unique<context>(read_bytes(m.dictionary), annotation);
		json_object *doc = prepare_mockup(m), *back = nullptr;
		if (same % 7 == 0)
			c->encode(back = json_object_from_file(m.path.c_str()));
		json_object_put(back);
		rde_bej_value *tree = c->decode(c->encode(doc));
		std::string text;
		back = same_text(tree, m.path, &text) ? json_tokener_parse(text.c_str()) : nullptr;
		EXPECT_TRUE(json_object_equal(doc, back)) << m.path << "\n" << text;
		same += json_object_equal(doc, back);
		rde_bej_value_free(tree);
		json_object_put(back);
		json_object_put(doc);
	}
	EXPECT_EQ(3776, same);
}

// Registration keeps set members named, so these trees are made by hand:
// a member without a name, and an annotation of an unnamed property (an
// array item) among a set's members, have no key in JSON.
TEST_F(JsonText, KeylessMembersAreRefused)
{
	context c(compiled(vectors_dir() + "schema.json"),
		  compiled(vectors_dir() + "annotation.json"));
	rde_bej_value *root = c.decode(
		parse_hex(read_file(vectors_dir() + "annotations/input.hex")));
	rde_bej_value *annotation = root->children_first->next, *count = annotation->next;
	const rde_bej_property *item = count->next->children_first->property;
	member_replacements replacements;
	std::swap(annotation->annotated_property, item);
	stderr_capture first;
	EXPECT_EQ(-EINVAL, prepare_bej_tree(root, &replacements));
	EXPECT_EQ("bejconv: found annotation '@odata.count' of a property without a name\n",
		  first.text());
	std::swap(annotation->annotated_property, item);
	count->property = item;
	stderr_capture second;
	EXPECT_EQ(-EINVAL, prepare_bej_tree(root, &replacements));
	EXPECT_EQ("bejconv: found a set member without a name\n", second.text());
	rde_bej_value_free(root);
}

}  // namespace
