// Every reference mockup through the converter.  A mockup is first prepared
// the way a user would, judging by its dictionary alone: members and values
// the dictionary cannot take are dropped, and whole numbers of real
// properties get a fraction.  The prepared document must encode and come
// back unchanged; the unprepared one must encode or fail cleanly.  The bulk
// runs in-process through the walks; the executable runs every seventh
// mockup of both kinds and every one whose dictionary is refused.
#include "bej_to_json.h"
#include "decoded_json.h"
#include "dictionary_view.h"
#include "json_to_bej.h"
#include "paths.h"
#include "program.h"
#include "run.h"
#include "url_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using entry = dictionary_view::entry;

// One property: the dictionary it lives in and its entry there.
struct property {
	const dictionary_view *view;
	entry e;
};

// Builds the document a user would hand over: only what the dictionaries
// say the resource can hold, in the document's order.
class preparer {
public:
	preparer(const dictionary_view &schema, const dictionary_view &annotation)
		: schema_(schema), annotation_(annotation)
	{
	}

	// Members and array items left out so far.
	long dropped = 0;

	json_object *resource(json_object *doc)
	{
		return members(doc, {&schema_, *schema_.root()});
	}

private:
	json_object *members(json_object *object, const property &set)
	{
		json_object *out = json_object_new_object();
		json_object_object_foreach(object, key, member) {
			std::optional<property> p = resolve(set, key);
			json_object *kept = nullptr;
			if (p && value(member, *p, &kept))
				json_object_object_add(out, key, kept);
			else
				dropped++;
		}
		return out;
	}

	// A plain name is a child of the set; "Prop@Annotation" needs both Prop
	// among the set's children and "@Annotation" in the annotation
	// dictionary, and "@Annotation" alone only the latter.
	std::optional<property> resolve(const property &set, const std::string &key)
	{
		size_t at = key.find('@');
		if (at == std::string::npos) {
			auto child = set.view->child(set.e, key);
			if (!child)
				return std::nullopt;
			return property{set.view, *child};
		}
		if (at > 0 && !set.view->child(set.e, key.substr(0, at)))
			return std::nullopt;
		auto found = annotation_.child(*annotation_.root(), key.substr(at));
		if (!found)
			return std::nullopt;
		return property{&annotation_, *found};
	}

	// Whether the dictionary takes v for p; *out gets the value to keep.
	bool value(json_object *v, const property &p, json_object **out)
	{
		*out = nullptr;
		switch (json_object_get_type(v)) {
		case json_type_null:
			return p.e.nullable;
		case json_type_boolean:
			if (p.e.type != RDE_BEJ_DATA_TYPE_BOOLEAN)
				return false;
			*out = json_object_new_boolean(json_object_get_boolean(v));
			return true;
		case json_type_int:
			if (p.e.type == RDE_BEJ_DATA_TYPE_INTEGER)
				*out = json_object_new_int64(json_object_get_int64(v));
			else if (p.e.type == RDE_BEJ_DATA_TYPE_REAL)
				*out = json_object_new_double(
					static_cast<double>(json_object_get_int64(v)));
			return *out != nullptr;
		case json_type_double:
			if (p.e.type != RDE_BEJ_DATA_TYPE_REAL)
				return false;
			*out = json_object_new_double(json_object_get_double(v));
			return true;
		case json_type_string:
			if (p.e.type == RDE_BEJ_DATA_TYPE_ENUM &&
			    !p.view->child(p.e, json_object_get_string(v)))
				return false;
			if (p.e.type != RDE_BEJ_DATA_TYPE_ENUM &&
			    p.e.type != RDE_BEJ_DATA_TYPE_STRING)
				return false;
			*out = json_object_new_string(json_object_get_string(v));
			return true;
		case json_type_object:
			if (p.e.type != RDE_BEJ_DATA_TYPE_SET)
				return false;
			*out = members(v, p);
			return true;
		case json_type_array: {
			if (p.e.type != RDE_BEJ_DATA_TYPE_ARRAY)
				return false;
			*out = json_object_new_array();
			auto item = p.view->item(p.e);
			for (size_t i = 0; item && i < json_object_array_length(v); i++) {
				json_object *kept = nullptr;
				if (value(json_object_array_get_idx(v, i), {p.view, *item}, &kept))
					json_object_array_add(*out, kept);
				else
					dropped++;
			}
			return true;
		}
		default:
			return false;
		}
	}

	const dictionary_view &schema_;
	const dictionary_view &annotation_;
};

// What a string looks like after the in-process round trip: with an empty
// map only the two fixed macros abbreviate, and nothing expands them.
std::string abbreviated(const std::string &text)
{
	static const std::string chassis = "/redfish/v1/Chassis/1", id = "Tarnwhelk";
	std::string out;
	for (size_t i = 0; i < text.size();) {
		if (text.compare(i, chassis.size(), chassis) == 0) {
			out += "%C";
			i += chassis.size();
		} else if (text.compare(i, id.size(), id) == 0) {
			out += "%I1";
			i += id.size();
		} else {
			out += text[i++];
		}
	}
	return out;
}

// The first difference between the prepared value and the decoded one, or
// "" when they agree: members in the same order, strings and integers
// exactly, reals to the six fraction digits the encoder keeps.
std::string difference(json_object *want, json_object *got, bool expanded,
		       const std::string &path = "")
{
	json_type type = json_object_get_type(want);
	if (type != json_object_get_type(got))
		return path + ": type " + json_type_to_name(type) + " became " +
		       json_type_to_name(json_object_get_type(got));
	switch (type) {
	case json_type_object: {
		std::vector<std::string> wk, gk;
		json_object_object_foreach(want, k1, v1) { wk.push_back(k1); (void)v1; }
		json_object_object_foreach(got, k2, v2) { gk.push_back(k2); (void)v2; }
		if (wk != gk) {
			std::string msg = path + ": members differ:";
			for (auto &k : wk)
				msg += " " + k;
			msg += " /";
			for (auto &k : gk)
				msg += " " + k;
			return msg;
		}
		for (auto &k : wk) {
			std::string d = difference(json_object_object_get(want, k.c_str()),
						   json_object_object_get(got, k.c_str()), expanded,
						   path + "/" + k);
			if (!d.empty())
				return d;
		}
		return "";
	}
	case json_type_array: {
		size_t n = json_object_array_length(want);
		if (n != json_object_array_length(got))
			return path + ": array length differs";
		for (size_t i = 0; i < n; i++) {
			std::string d = difference(json_object_array_get_idx(want, i),
						   json_object_array_get_idx(got, i), expanded,
						   path + "/" + std::to_string(i));
			if (!d.empty())
				return d;
		}
		return "";
	}
	case json_type_string: {
		std::string w = json_object_get_string(want);
		if (!expanded)
			w = abbreviated(w);
		std::string g = json_object_get_string(got);
		return w == g ? "" : path + ": \"" + w + "\" became \"" + g + "\"";
	}
	case json_type_int:
		return json_object_get_int64(want) == json_object_get_int64(got)
			       ? ""
			       : path + ": integer " + json_object_get_string(want) + " became " +
					 json_object_get_string(got);
	case json_type_double: {
		double w = json_object_get_double(want), g = json_object_get_double(got);
		return std::fabs(w - g) <= 1e-6 * std::max(1.0, std::fabs(w))
			       ? ""
			       : path + ": real " + std::to_string(w) + " became " +
					 std::to_string(g);
	}
	case json_type_boolean:
		return json_object_get_boolean(want) == json_object_get_boolean(got)
			       ? ""
			       : path + ": boolean differs";
	default:
		return "";
	}
}

// Sends stderr to a scratch file between start() and stop().
class stderr_sink {
public:
	stderr_sink() : file_(tmpfile()) {}
	~stderr_sink() { fclose(file_); }
	void start()
	{
		fflush(stderr);
		saved_ = dup(2);
		ftruncate(fileno(file_), 0);
		lseek(fileno(file_), 0, SEEK_SET);
		dup2(fileno(file_), 2);
	}
	std::string stop()
	{
		fflush(stderr);
		dup2(saved_, 2);
		close(saved_);
		std::string text;
		char buf[4096];
		lseek(fileno(file_), 0, SEEK_SET);
		ssize_t n;
		while ((n = read(fileno(file_), buf, sizeof buf)) > 0)
			text.append(buf, n);
		return text;
	}

private:
	FILE *file_;
	int saved_ = -1;
};

// One mockup and the dictionary its "@odata.type" names.
struct mockup {
	std::string path;
	std::string dictionary;  // "" when it names none that exists
};

// The reference data, read once for all tests.
struct reference {
	std::string dir;
	std::string annotation_path;
	std::vector<mockup> mockups;
	std::string scratch;  // holds the empty map file
	std::string empty_map;
};

std::string dictionary_of(const std::string &dir, const std::string &path)
{
	json_object *doc = json_object_from_file(path.c_str());
	json_object *type = nullptr;
	std::string out;
	if (doc && json_object_object_get_ex(doc, "@odata.type", &type) &&
	    json_object_is_type(type, json_type_string)) {
		std::string t = json_object_get_string(type);
		size_t dot = t.find('.');
		std::string schema = t.substr(t[0] == '#' ? 1 : 0, dot == std::string::npos
									? std::string::npos
									: dot - (t[0] == '#' ? 1 : 0));
		std::string file = dir + "/dictionaries/" + schema + "_v1.bin";
		if (!schema.empty() && file_exists(file))
			out = file;
	}
	json_object_put(doc);
	return out;
}

const reference &data()
{
	static reference ref = [] {
		reference r;
		r.dir = redfish_dir();
		if (r.dir.empty())
			return r;
		r.annotation_path = r.dir + "/dictionaries/annotation.bin";
		for (auto &f : fs::recursive_directory_iterator(r.dir + "/mockups"))
			if (f.is_regular_file() && f.path().extension() == ".json")
				r.mockups.push_back({f.path().string(), ""});
		std::sort(r.mockups.begin(), r.mockups.end(),
			  [](const mockup &a, const mockup &b) { return a.path < b.path; });
		for (auto &m : r.mockups)
			m.dictionary = dictionary_of(r.dir, m.path);
		r.scratch = make_temp_dir();
		r.empty_map = r.scratch + "/map";
		write_file(r.empty_map, "");
		return r;
	}();
	return ref;
}

// A library context per schema dictionary, with the annotation dictionary,
// or nullptr when registration refuses the schema dictionary.
class contexts {
public:
	~contexts()
	{
		for (auto &[path, c] : map_)
			rde_bej_context_free(c.context);
	}
	struct entry_t {
		rde_bej_context *context = nullptr;
		std::unique_ptr<dictionary_view> view;
		std::string name;
	};
	const entry_t &get(const std::string &path, const std::vector<uint8_t> &annotation)
	{
		auto it = map_.find(path);
		if (it != map_.end())
			return it->second;
		entry_t &e = map_[path];
		std::vector<uint8_t> bytes = read_bytes(path);
		e.view = std::make_unique<dictionary_view>(bytes);
		rde_bej_context *c = rde_bej_context_new();
		stderr_sink quiet;
		quiet.start();
		bool ok = rde_bej_add_dictionary(c, 0, nullptr, bytes.data(), bytes.size()) == 0 &&
			  rde_bej_add_dictionary(c, 2, nullptr, annotation.data(),
						 annotation.size()) == 0;
		quiet.stop();
		if (ok) {
			e.context = c;
			e.name = rde_bej_dictionary_get_name(rde_bej_dictionary_next(
				rde_bej_dictionary_first(c)));
		} else {
			rde_bej_context_free(c);
		}
		return e;
	}

private:
	std::map<std::string, entry_t> map_;
};

std::string dump(json_object *json)
{
	return json_object_to_json_string_ext(json, JSON_C_TO_STRING_PRETTY |
							  JSON_C_TO_STRING_NOSLASHESCAPE);
}

class Mockups : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (data().dir.empty())
			GTEST_SKIP() << "reference data absent: no Redfish dictionaries and mockups";
		program_name = "bejconv";
		json_c_set_serialization_double_format("%.15g", JSON_C_OPTION_GLOBAL);
		rde_bej_init();
		ASSERT_EQ(0, load_pdr_url_map(urls_, data().empty_map.c_str(), "/redfish/v1", nullptr));
		annotation_ = read_bytes(data().annotation_path);
		annotation_view_ = std::make_unique<dictionary_view>(annotation_);
	}

	std::vector<std::string> cli(const std::string &action, const std::string &dictionary,
				     const std::string &input, const std::string &output = "")
	{
		std::vector<std::string> args = {"-s", dictionary, "-a", data().annotation_path,
						 "-m", data().empty_map};
		if (!output.empty()) {
			args.push_back("-o");
			args.push_back(output);
		}
		args.push_back(action);
		args.push_back(input);
		return args;
	}

	static inline url_table urls_;
	std::vector<uint8_t> annotation_;
	std::unique_ptr<dictionary_view> annotation_view_;
	contexts contexts_;
};

// Every registered dictionary takes its prepared mockups, and decoding gives
// them back; every seventh one also goes through the executable both ways.
TEST_F(Mockups, PreparedResourcesEncodeAndComeBack)
{
	const int cli_every = 7;
	int registered = 0, encoded = 0, refused = 0, by_cli = 0, failures = 0;
	long dropped = 0;
	std::string scratch = make_temp_dir();
	stderr_sink sink;
	for (const mockup &m : data().mockups) {
		if (m.dictionary.empty()) {
			ADD_FAILURE() << m.path << ": no dictionary for its @odata.type";
			continue;
		}
		const auto &c = contexts_.get(m.dictionary, annotation_);
		if (!c.context) {
			refused++;
			continue;
		}
		registered++;
		json_object *raw = json_object_from_file(m.path.c_str());
		ASSERT_NE(nullptr, raw) << m.path;
		preparer prepare(*c.view, *annotation_view_);
		json_object *doc = prepare.resource(raw);
		json_object_put(raw);
		dropped += prepare.dropped;

		rde_bej_builder *builder = rde_bej_builder_new(c.context, 0, c.name.c_str(), nullptr);
		uint8_t *bytes = nullptr;
		size_t length = 0;
		sink.start();
		int status = convert_json_document(builder, urls_, doc);
		if (status == 0)
			status = rde_bej_encode(builder, &bytes, &length);
		std::string err = sink.stop();
		rde_bej_builder_free(builder);

		std::string problem;
		if (status != 0) {
			problem = "encode failed:\n" + err + "prepared document:\n" + dump(doc);
		} else {
			encoded++;
			rde_bej_value *value = nullptr;
			json_object *back = nullptr;
			sink.start();
			status = rde_bej_decode(c.context, c.name.c_str(), 0, bytes, length, nullptr,
						&value);
			member_replacements replacements;
			if (status == 0)
				status = prepare_bej_tree(value, &replacements);
			if (status == 0)
				back = decoded_json(value);
			err = sink.stop();
			if (status != 0)
				problem = "decode failed:\n" + err;
			else
				problem = difference(doc, back, false);
			// Decode's own text is json-c's pretty print of the same tree.
			decoded_texts texts = status ? decoded_texts{} : texts_of(value, replacements, urls_);
			if (problem.empty() && texts.written != texts.reference)
				problem = "decode's text differs from json-c's:\n" + texts.written;
			json_object_put(back);
			rde_bej_value_free(value);
		}

		if (problem.empty() && encoded % cli_every == 0) {
			// The same document through the executable: the same bytes, and
			// decoding (with its macro expansion) gives the strings back.
			by_cli++;
			std::string in = scratch + "/in.json", out = scratch + "/out.bej";
			write_file(in, dump(doc));
			run_result r = run_bejconv(cli("encode", m.dictionary, in, out));
			if (r.status != 0 || read_bytes(out) != std::vector<uint8_t>(bytes, bytes + length)) {
				problem = "executable encode differs (status " + std::to_string(r.status) +
					  "):\n" + r.err;
			} else {
				r = run_bejconv(cli("decode", m.dictionary, out));
				json_object *back = json_tokener_parse(r.out.c_str());
				problem = r.status != 0 ? "executable decode failed:\n" + r.err
							: difference(doc, back, true);
				json_object_put(back);
			}
		}
		free(bytes);
		json_object_put(doc);
		if (!problem.empty()) {
			ADD_FAILURE() << m.path << ": " << problem;
			if (++failures == 20)
				break;
		}
	}
	std::printf("[ mockups  ] %d prepared mockups encoded and decoded back (%d through "
		    "the executable; %ld members or items left out in preparing them); %d use "
		    "a dictionary that registration refuses\n",
		    encoded, by_cli, dropped, refused);
	if (failures < 20) {
		EXPECT_EQ(2692, registered);
		EXPECT_EQ(1084, refused);
	}
}

// A mockup whose dictionary registration refuses fails at the dictionary,
// before anything is read.
TEST_F(Mockups, RefusedDictionariesFailTheRun)
{
	int refused = 0;
	for (const mockup &m : data().mockups) {
		if (m.dictionary.empty() || contexts_.get(m.dictionary, annotation_).context)
			continue;
		refused++;
		run_result r = run_bejconv(cli("encode", m.dictionary, m.path));
		EXPECT_EQ(1, r.status) << m.path;
		EXPECT_NE(std::string::npos,
			  r.err.find("bejconv: failed to parse dictionary '" + m.dictionary +
				     "': Invalid argument\n"))
			<< m.path << "\n" << r.err;
		EXPECT_EQ("", r.out);
	}
	std::printf("[ mockups  ] %d mockups refused at their dictionary\n", refused);
	EXPECT_EQ(1084, refused);
}

// Every line of a failed encode comes from the library's log or the
// converter's own messages.
std::string stray_line(const std::string &err)
{
	std::istringstream lines(err);
	for (std::string line; std::getline(lines, line);)
		if (line.rfind("librde[error]: ", 0) != 0 && line.rfind("bejconv: ", 0) != 0)
			return line;
	return "";
}

// Unprepared mockups either encode or fail with the walk's and the builder's
// reasons.  The walk runs in-process for all of them; every seventh also
// goes through the executable, which must end with status 1 and the encode
// failure line, never with a signal.
TEST_F(Mockups, RawResourcesEncodeOrFailCleanly)
{
	const int cli_every = 7;
	int ok = 0, failed = 0, by_cli = 0;
	std::string scratch = make_temp_dir();
	stderr_sink sink;
	for (const mockup &m : data().mockups) {
		if (m.dictionary.empty())
			continue;
		const auto &c = contexts_.get(m.dictionary, annotation_);
		if (!c.context)
			continue;

		json_object *raw = json_object_from_file(m.path.c_str());
		rde_bej_builder *builder = rde_bej_builder_new(c.context, 0, c.name.c_str(), nullptr);
		uint8_t *bytes = nullptr;
		size_t length = 0;
		sink.start();
		int status = convert_json_document(builder, urls_, raw);
		int encode_status = status == 0 ? rde_bej_encode(builder, &bytes, &length) : 0;
		std::string err = sink.stop();
		rde_bej_builder_free(builder);
		json_object_put(raw);
		free(bytes);
		EXPECT_EQ(0, encode_status) << m.path << "\n" << err;
		if (status == 0) {
			ok++;
			EXPECT_EQ("", err) << m.path;
		} else {
			failed++;
			EXPECT_GT(0, status);
			EXPECT_NE(std::string::npos, err.find("bejconv: failed to convert property '"))
				<< m.path << "\n" << err;
			EXPECT_EQ("", stray_line(err)) << m.path;
		}

		if ((ok + failed) % cli_every != 0)
			continue;
		by_cli++;
		std::string out = scratch + "/out.bej";
		run_result r = run_bejconv(cli("encode", m.dictionary, m.path, out));
		if (status == 0) {
			EXPECT_EQ(0, r.status) << m.path << "\n" << r.err;
			continue;
		}
		ASSERT_EQ(1, r.status) << m.path << " did not fail cleanly\n" << r.err;
		std::string last = "bejconv: failed to convert object '" + c.name + "' to BEJ\n";
		EXPECT_EQ(err + last, r.err) << m.path;
		EXPECT_FALSE(file_exists(out)) << m.path;
	}
	std::printf("[ mockups  ] unprepared: %d encoded, %d refused cleanly (%d through the "
		    "executable)\n",
		    ok, failed, by_cli);
	EXPECT_EQ(2692, ok + failed);
}

}  // namespace
