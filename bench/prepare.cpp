// Writes the benchmark's inputs into a folder.  For each input NAME:
// NAME.json, the document as decode prints it (pretty, at most the target
// size); NAME.schema.bin and NAME.annotation.bin, its dictionaries; NAME.map,
// the PDR-to-URL map whose URLs its strings hold.
//
//   bench_prepare DIR [REDFISH_DIR]
//
// Inputs: "example" (examples/resource.json with its dictionaries and map),
// "1M" and "8M" (generated string-heavy collections), and "logentry" (a
// LogEntryCollection whose members are the reference LogEntry mockups, with
// a map of their URLs; skipped with a message when REDFISH_DIR lacks them).
#include "dictc.h"
#include "json_text.h"
#include "json_to_bej.h"
#include "program.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t TARGET_1M = 1000000;
constexpr size_t TARGET_8M = 8000000;  // below the 8 MiB of the input and output buffers

// A collection whose members are full of strings: names, descriptions and
// links that hold the map's URLs, a few quotes, an integer and an enum.
const char *const SCHEMA = R"({
  "name": "BenchCollection", "version": "1.0.0",
  "children": [
    {"name": "Id", "type": "string"},
    {"name": "Name", "type": "string"},
    {"name": "Description", "type": "string"},
    {"name": "Members", "type": "array", "item": {"type": "set", "children": [
      {"name": "Id", "type": "string"},
      {"name": "Name", "type": "string"},
      {"name": "Description", "type": "string"},
      {"name": "Location", "type": "string"},
      {"name": "Related", "type": "array", "item": {"type": "string"}},
      {"name": "Count", "type": "integer"},
      {"name": "Health", "type": "enum", "options": ["OK", "Warning", "Critical"]}
    ]}}
  ]
})";

const char *const ANNOTATION = R"({
  "name": "annotation", "version": "1.0.0",
  "children": [
    {"name": "@odata.id", "type": "string"},
    {"name": "@odata.type", "type": "string"},
    {"name": "@odata.count", "type": "integer"}
  ]
})";

bool read_file(const fs::path &path, std::string *out)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream text;
	text << f.rdbuf();
	*out = text.str();
	return static_cast<bool>(f);
}

bool write_file(const fs::path &path, const std::string &data)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f << data;
	return static_cast<bool>(f.flush());
}

std::string pretty(json_object *doc)
{
	return json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PRETTY);
}

// Drops members from the end of the array until the document's pretty text
// fits in target bytes.
std::string fit(json_object *doc, json_object *members, size_t target)
{
	std::string text = pretty(doc);
	while (text.size() > target && json_object_array_length(members) > 0) {
		size_t count = json_object_array_length(members);
		size_t average = text.size() / count + 1;
		size_t drop = std::min(count, (text.size() - target) / average + 1);
		json_object_array_del_idx(members, count - drop, drop);
		text = pretty(doc);
	}
	return text;
}

// One benchmark input as files.
struct input {
	std::string name;
	std::string json;
	std::string schema, annotation;  // dictionary bytes
	std::string map;
};

bool write_input(const fs::path &dir, const input &in)
{
	fs::path base = dir / in.name;
	return write_file(base.string() + ".json", in.json) &&
	       write_file(base.string() + ".schema.bin", in.schema) &&
	       write_file(base.string() + ".annotation.bin", in.annotation) &&
	       write_file(base.string() + ".map", in.map);
}

bool compile(const char *description, std::string *out)
{
	std::vector<uint8_t> bytes;
	std::string error;
	if (!dictc::compile(description, &bytes, &error)) {
		fprintf(stderr, "bench_prepare: %s\n", error.c_str());
		return false;
	}
	out->assign(bytes.begin(), bytes.end());
	return true;
}

// ---- the generated collections ---------------------------------------------

// 254 entries under the prefix: three collections, members of each, and a few
// levels below some members.  urls gets the composed URLs.
std::string generated_map(std::vector<std::string> *urls)
{
	const char *collections[] = {"Systems", "Chassis", "Managers"};
	const char *below[] = {"Processors", "Memory", "EthernetInterfaces", "Storage",
			       "LogServices"};
	std::vector<std::string> url(256);
	url[1] = "/redfish/v1";
	std::string text;
	auto add = [&](unsigned id, unsigned parent, const std::string &name) {
		char head[16];
		snprintf(head, sizeof head, "%x %x ", id, parent);
		text += head + name + "\n";
		url[id] = url[parent] + "/" + name;
		urls->push_back(url[id]);
	};
	for (unsigned id = 2; id <= 4; id++)
		add(id, 1, collections[id - 2]);
	for (unsigned id = 5; id <= 150; id++)
		add(id, 2 + id % 3, std::to_string(id));
	for (unsigned id = 151; id <= 255; id++)
		add(id, 5 + (id * 7) % 146, below[id % 5]);
	return text;
}

// A deterministic member of the generated collection.
json_object *generated_member(unsigned k, const std::vector<std::string> &urls, uint32_t &state)
{
	auto next = [&]() {
		state = state * 1103515245u + 12345u;
		return state >> 8;
	};
	auto url = [&]() { return urls[next() % urls.size()]; };
	const char *words[] = {"managed", "by",       "the",      "controller", "with",
			       "sensor",  "readings", "reported", "through",    "link",
			       "and",     "status",   "of",       "power"};
	const char *health[] = {"OK", "Warning", "Critical"};

	std::string description;
	for (unsigned w = 0, count = 8 + next() % 24; w < count; w++) {
		unsigned pick = next() % 6;
		description += w ? " " : "";
		description += pick == 0 ? url() : pick == 1 ? "\"quoted\"" : words[next() % 14];
	}
	json_object *related = json_object_new_array();
	for (unsigned r = 0, count = 1 + next() % 6; r < count; r++)
		json_object_array_add(
			related,
			json_object_new_string((url() + (next() % 2 ? "/Settings" : "")).c_str()));
	json_object *m = json_object_new_object();
	json_object_object_add(m, "@odata.id", json_object_new_string(url().c_str()));
	json_object_object_add(m, "Id", json_object_new_string(std::to_string(k).c_str()));
	json_object_object_add(
		m, "Name",
		json_object_new_string(("Member " + std::to_string(k) + " of Tarnwhelk").c_str()));
	json_object_object_add(m, "Description", json_object_new_string(description.c_str()));
	json_object_object_add(m, "Location", json_object_new_string("/redfish/v1/Chassis/1/Rack"));
	json_object_object_add(m, "Related", related);
	json_object_object_add(m, "Count", json_object_new_int64(next() % 100000));
	json_object_object_add(m, "Health", json_object_new_string(health[next() % 3]));
	return m;
}

bool generated(const std::string &name, size_t target, input *in)
{
	std::vector<std::string> urls;
	in->name = name;
	in->map = generated_map(&urls);
	json_object *doc = json_tokener_parse(
		R"({"@odata.id":"/redfish/v1/Systems",)"
		R"("@odata.type":"#BenchCollection.v1_0_0.BenchCollection",)"
		R"("Id":"Bench","Name":"Bench collection",)"
		R"("Description":"Members of \"Bench\""})");
	json_object *members = json_object_new_array();
	json_object_object_add(doc, "Members", members);
	json_object_object_add(doc, "@odata.count", json_object_new_int64(1));
	uint32_t state = 12345;
	// Members are added while their compact size stays below the target;
	// fit() then trims the pretty text to it.
	for (size_t k = 0, size = 0; size < target; k++) {
		json_object *m = generated_member(static_cast<unsigned>(k), urls, state);
		size += strlen(json_object_to_json_string_ext(m, JSON_C_TO_STRING_PLAIN));
		json_object_array_add(members, m);
	}
	in->json = fit(doc, members, target);
	json_object_put(doc);
	return compile(SCHEMA, &in->schema) && compile(ANNOTATION, &in->annotation);
}

// ---- the LogEntry collection -----------------------------------------------

void collect_urls(json_object *value, std::vector<std::string> *urls)
{
	if (json_object_is_type(value, json_type_string)) {
		std::string text = json_object_get_string(value);
		if (text.rfind("/redfish/v1/", 0) == 0)
			urls->push_back(text.substr(strlen("/redfish/v1/")));
	} else if (json_object_is_type(value, json_type_array)) {
		for (size_t i = 0; i < json_object_array_length(value); i++)
			collect_urls(json_object_array_get_idx(value, i), urls);
	} else if (json_object_is_type(value, json_type_object)) {
		json_object_object_foreach(value, key, member) {
			(void)key;
			collect_urls(member, urls);
		}
	}
}

// Whether the collection's dictionaries take a collection holding one
// member with this one property.
bool takes(rde_bej_context *context, const abbreviation_index &urls, const char *key,
	   json_object *value)
{
	json_object *doc = json_object_new_object(), *members = json_object_new_array();
	json_object *entry = json_object_new_object();
	json_object_object_add(entry, key, json_object_get(value));
	json_object_array_add(members, entry);
	json_object_object_add(doc, "Members", members);
	rde_bej_builder *builder = rde_bej_builder_new(context, 0, "LogEntryCollection", nullptr);
	uint8_t *bytes = nullptr;
	size_t length = 0;
	bool ok = builder && convert_json_document(builder, urls, doc) == 0 &&
		  rde_bej_encode(builder, &bytes, &length) == 0;
	free(bytes);
	rde_bej_builder_free(builder);
	json_object_put(doc);
	return ok;
}

// The reference LogEntry mockups, each with only the properties that the
// collection's dictionary takes; every mockup's own URL goes to urls.
std::vector<json_object *> log_entries(const fs::path &redfish, const input &in,
				       std::vector<std::string> *urls)
{
	rde_bej_context *context = rde_bej_context_new();
	rde_bej_add_dictionary(context, 0, nullptr, in.schema.data(), in.schema.size());
	rde_bej_add_dictionary(context, 2, nullptr, in.annotation.data(), in.annotation.size());
	static abbreviation_index no_urls;  // all zero: nothing is abbreviated
	std::vector<fs::path> paths;
	for (const auto &f : fs::recursive_directory_iterator(redfish / "mockups"))
		if (f.is_regular_file() && f.path().extension() == ".json")
			paths.push_back(f.path());
	std::sort(paths.begin(), paths.end());

	// The properties refused along the way say so on stderr; not here.
	fflush(stderr);
	int saved = dup(2), null = open("/dev/null", O_WRONLY);
	dup2(null, 2);
	std::vector<json_object *> entries;
	for (const fs::path &path : paths) {
		json_object *doc = json_object_from_file(path.c_str()), *type = nullptr,
			    *id = nullptr;
		if (doc && json_object_object_get_ex(doc, "@odata.id", &id))
			collect_urls(id, urls);
		if (doc && json_object_object_get_ex(doc, "@odata.type", &type) &&
		    std::string(json_object_get_string(type)).rfind("#LogEntry.", 0) == 0) {
			json_object *entry = json_object_new_object();
			json_object_object_foreach(doc, key, value) {
				if (takes(context, no_urls, key, value))
					json_object_object_add(entry, key, json_object_get(value));
			}
			entries.push_back(entry);
		}
		json_object_put(doc);
	}
	fflush(stderr);
	dup2(saved, 2);
	close(saved);
	close(null);
	rde_bej_context_free(context);
	return entries;
}

// A map of the URLs below the prefix: every path segment an entry of its
// own, in the order first met, up to id 255.
std::string url_map(const std::vector<std::string> &urls)
{
	std::map<std::string, unsigned> ids;  // path below the prefix -> id
	std::string text;
	unsigned next = 2;
	for (const std::string &url : urls) {
		unsigned parent = 1;
		for (size_t start = 0; start < url.size() && next < 256;) {
			size_t slash = std::min(url.find('/', start), url.size());
			std::string segment = url.substr(start, slash - start);
			if (segment.empty() || segment.size() > 29 || slash > 80)
				break;
			auto [at, added] = ids.emplace(url.substr(0, slash), next);
			if (added) {
				char head[16];
				snprintf(head, sizeof head, "%x %x ", next++, parent);
				text += head + segment + "\n";
			}
			parent = at->second;
			start = slash + 1;
		}
	}
	return text;
}

bool log_entry_collection(const fs::path &redfish, size_t target, input *in)
{
	in->name = "logentry";
	fs::path dictionaries = redfish / "dictionaries";
	if (!read_file(dictionaries / "LogEntryCollection_v1.bin", &in->schema) ||
	    !read_file(dictionaries / "annotation.bin", &in->annotation)) {
		printf("logentry: skipped, no reference dictionaries in %s\n", redfish.c_str());
		return false;
	}
	// The map holds the entries' URLs first, then those of other mockups.
	std::vector<std::string> urls, others;
	std::vector<json_object *> entries = log_entries(redfish, *in, &others);
	if (entries.empty()) {
		printf("logentry: skipped, no LogEntry mockups in %s\n", redfish.c_str());
		return false;
	}
	for (json_object *entry : entries)
		collect_urls(entry, &urls);
	urls.insert(urls.end(), others.begin(), others.end());
	in->map = url_map(urls);
	json_object *doc = json_tokener_parse(
		R"({"@odata.type":"#LogEntryCollection.LogEntryCollection",)"
		R"("@odata.id":"/redfish/v1/Systems/1/LogServices/Log1/Entries",)"
		R"("Name":"Log Entry Collection","Description":"System event log entries"})");
	json_object *members = json_object_new_array();
	json_object_object_add(doc, "Members", members);
	for (size_t k = 0, size = 0; size < target; k++) {
		json_object *entry = entries[k % entries.size()];
		size += strlen(json_object_to_json_string_ext(entry, JSON_C_TO_STRING_PLAIN));
		json_object_array_add(members, json_object_get(entry));
	}
	in->json = fit(doc, members, target);
	json_object_put(doc);
	for (json_object *entry : entries)
		json_object_put(entry);
	return true;
}

bool example(input *in)
{
	fs::path dir = fs::path(BEJCONV_SOURCE_DIR) / "examples";
	in->name = "example";
	return read_file(dir / "resource.json", &in->json) &&
	       read_file(dir / "Chassis.bin", &in->schema) &&
	       read_file(dir / "annotation.bin", &in->annotation) &&
	       read_file(dir / "pdr_url_map", &in->map);
}

}  // namespace

int main(int argc, char **argv)
{
	if (argc < 2 || argc > 3) {
		fprintf(stderr, "Usage: %s DIR [REDFISH_DIR]\n", argv[0]);
		return 2;
	}
	program_name = "bench_prepare";
	// Reals print the way the converter prints them.
	json_c_set_serialization_double_format(REAL_FORMAT, JSON_C_OPTION_GLOBAL);
	rde_bej_init();
	fs::path dir = argv[1];
	fs::create_directories(dir);

	input in;
	bool ok = true;
	if (example(&in))
		ok &= write_input(dir, in);
	else
		printf("example: skipped, examples/ lacks its files\n");
	ok &= generated("1M", TARGET_1M, &in) && write_input(dir, in);
	ok &= generated("8M", TARGET_8M, &in) && write_input(dir, in);
	if (argc == 3 && log_entry_collection(argv[2], TARGET_8M, &in))
		ok &= write_input(dir, in);
	else if (argc < 3)
		printf("logentry: skipped, no reference data folder given\n");
	return ok ? 0 : 1;
}
