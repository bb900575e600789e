#include "bench_common.h"

#include "dictc.h"
#include "program.h"

#include <json-c/json.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

// The driver is not linked into the benchmarks.
const char *program_name = "bench";

namespace {

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

bool read_whole(const std::string &path, std::string *out)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		return false;
	std::stringstream ss;
	ss << f.rdbuf();
	*out = ss.str();
	return true;
}

bool compile(const char *description, std::vector<uint8_t> *out, std::string *error)
{
	std::string why;
	if (!dictc::compile(description, out, &why)) {
		*error = "dictionary description: " + why;
		return false;
	}
	return true;
}

std::string temp_map_path()
{
	const char *dir = getenv("TMPDIR");
	return std::string(dir && *dir ? dir : "/tmp") + "/bejconv-bench-map." + std::to_string(getpid());
}

// 254 entries under the prefix: three collections, members of each, and
// a few levels below some members.
struct url_map {
	std::string text;
	std::vector<std::string> urls;  // composed URLs, for the generator
};

url_map make_map()
{
	url_map m;
	const char *collections[] = {"Systems", "Chassis", "Managers"};
	std::vector<std::string> url(256);
	url[1] = "/redfish/v1";
	auto add = [&](unsigned id, unsigned parent, const std::string &name) {
		char head[16];
		snprintf(head, sizeof head, "%x %x ", id, parent);
		m.text += head + name + "\n";
		url[id] = url[parent] + "/" + name;
		m.urls.push_back(url[id]);
	};
	for (unsigned id = 2; id <= 4; id++)
		add(id, 1, collections[id - 2]);
	for (unsigned id = 5; id <= 150; id++)
		add(id, 2 + id % 3, std::to_string(id));
	const char *below[] = {"Processors", "Memory", "EthernetInterfaces", "Storage", "LogServices"};
	for (unsigned id = 151; id <= 255; id++)
		add(id, 5 + (id * 7) % 146, below[id % 5]);
	return m;
}

// A deterministic string-heavy document of about target bytes.
std::string make_document(size_t target, const url_map &map)
{
	uint32_t state = 12345;
	auto next = [&]() {
		state = state * 1103515245u + 12345u;
		return state >> 8;
	};
	auto pick_url = [&]() -> const std::string & { return map.urls[next() % map.urls.size()]; };
	const char *words[] = {"managed", "by", "the", "controller", "with", "sensor", "readings",
			       "reported", "through", "link", "and", "status", "of", "power"};
	const char *health[] = {"OK", "Warning", "Critical"};

	std::string doc;
	doc.reserve(target + 65536);  // no growth: the text is all the input holds
	doc += "{\"@odata.id\":\"/redfish/v1/Systems\",\"@odata.type\":"
			  "\"#BenchCollection.v1_0_0.BenchCollection\",\"Id\":\"Bench\","
			  "\"Name\":\"Bench collection\",\"Description\":\"Members of \\\"Bench\\\"\","
			  "\"Members\":[";
	for (unsigned k = 0; doc.size() < target; k++) {
		if (k)
			doc += ',';
		const std::string &self = pick_url();
		doc += "{\"@odata.id\":\"" + self + "\",\"Id\":\"" + std::to_string(k) +
		       "\",\"Name\":\"Member " + std::to_string(k) + " of Tarnwhelk\",\"Description\":\"";
		for (unsigned w = 0, count = 8 + next() % 24; w < count; w++) {
			if (w)
				doc += ' ';
			switch (next() % 6) {
			case 0:
				doc += pick_url();
				break;
			case 1:
				doc += "\\\"quoted\\\"";
				break;
			default:
				doc += words[next() % 14];
			}
		}
		doc += "\",\"Location\":\"/redfish/v1/Chassis/1/Rack\",\"Related\":[";
		for (unsigned r = 0, count = 1 + next() % 6; r < count; r++) {
			if (r)
				doc += ',';
			doc += "\"" + pick_url() + (next() % 2 ? "/Settings" : "") + "\"";
		}
		doc += "],\"Count\":" + std::to_string(next() % 100000) + ",\"Health\":\"" +
		       health[next() % 3] + "\"}";
	}
	doc += "],\"@odata.count\":1}";
	return doc;
}

}  // namespace

bool make_input(const std::string &size, bench_input *input, std::string *error,
		bool with_document)
{
	input->label = size;
	if (size == "typical") {
		// The bundled demo: a resource, its dictionaries and map.
		std::string dir = std::string(BEJCONV_SOURCE_DIR) + "/examples/";
		std::string schema, annotation;
		if (!read_whole(dir + "resource.json", &input->json) ||
		    !read_whole(dir + "annotation.bin", &annotation)) {
			*error = "the typical resource needs " + dir + "resource.json and annotation.bin";
			return false;
		}
		// The schema dictionary is the example's other .bin file.
		if (DIR *d = opendir(dir.c_str())) {
			while (dirent *e = readdir(d)) {
				std::string file = e->d_name;
				if (file.size() > 4 && file.compare(file.size() - 4, 4, ".bin") == 0 &&
				    file != "annotation.bin" && read_whole(dir + file, &schema))
					break;
			}
			closedir(d);
		}
		if (schema.empty()) {
			*error = "no schema dictionary found in " + dir;
			return false;
		}
		input->schema.assign(schema.begin(), schema.end());
		input->annotation.assign(annotation.begin(), annotation.end());
		input->map_path = dir + "pdr_url_map";
		return true;
	}

	size_t target;
	if (size == "1M")
		target = 1000000;
	else if (size == "8M")
		target = 8000000;  // below the converter's 8 MiB input limit
	else {
		*error = "unknown size '" + size + "' (typical, 1M or 8M)";
		return false;
	}
	url_map map = make_map();
	if (with_document)
		input->json = make_document(target, map);
	input->map_path = temp_map_path();
	std::ofstream f(input->map_path, std::ios::trunc);
	f << map.text;
	if (!f.flush()) {
		*error = "cannot write " + input->map_path;
		return false;
	}
	return compile(SCHEMA, &input->schema, error) && compile(ANNOTATION, &input->annotation, error);
}

bench_context::~bench_context() { rde_bej_context_free(context); }

bool open_context(const bench_input &input, bench_context *ctx, std::string *error)
{
	json_c_set_serialization_double_format("%.15g", JSON_C_OPTION_GLOBAL);
	rde_bej_init();
	ctx->context = rde_bej_context_new();
	if (!ctx->context ||
	    rde_bej_add_dictionary(ctx->context, 0, nullptr, input.schema.data(), input.schema.size()) ||
	    rde_bej_add_dictionary(ctx->context, RDE_BEJ_SCHEMA_TYPE_ANNOTATION, nullptr,
				   input.annotation.data(), input.annotation.size())) {
		*error = "cannot register the dictionaries";
		return false;
	}
	for (rde_bej_dictionary *d = rde_bej_dictionary_first(ctx->context); d;
	     d = rde_bej_dictionary_next(d))
		if (rde_bej_dictionary_get_schema_type(d) == 0) {
			ctx->name = rde_bej_dictionary_get_name(d);
			break;
		}
	static url_table table;
	ctx->urls = &table;
	if (load_pdr_url_map(table, input.map_path.c_str(), "/redfish/v1", nullptr) != 0) {
		*error = "cannot load " + input.map_path;
		return false;
	}
	if (input.label != "typical")
		unlink(input.map_path.c_str());
	return true;
}

bool parse_options(int argc, char **argv, const char *paths, bench_options *options)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		if (arg.rfind("--only=", 0) == 0) {
			options->only = arg.substr(7);
		} else if (arg.rfind("--size=", 0) == 0) {
			options->sizes = {arg.substr(7)};
		} else {
			fprintf(stderr,
				"Usage: %s [--size=typical|1M|8M] [--only=%s]\n"
				"Without --only: times every path over the sizes and prints a table.\n"
				"With --only: runs that one path once and prints its time and peak RSS.\n",
				argv[0], paths);
			return false;
		}
	}
	if (!options->only.empty() && options->sizes.size() != 1)
		options->sizes = {"8M"};
	return true;
}

namespace {

// Processor time of this process (user and system, page faults included):
// steadier than wall time on a machine shared with other work.
double cpu_seconds()
{
	timespec ts;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

}  // namespace

bool best_time(const std::function<bool()> &fn, int min_runs, double min_seconds, double *best)
{
	double start = cpu_seconds();
	*best = 1e300;
	for (int run = 0;; run++) {
		double t0 = cpu_seconds();
		if (!fn())
			return false;
		double t = cpu_seconds() - t0;
		if (t < *best)
			*best = t;
		if (run + 1 >= min_runs && cpu_seconds() - start >= min_seconds)
			return true;
	}
}

long peak_rss_kib()
{
	struct rusage usage;
	getrusage(RUSAGE_SELF, &usage);
	return usage.ru_maxrss;
}

double mib(size_t bytes) { return double(bytes) / (1024.0 * 1024.0); }
