// rde-inspect dict: a dictionary's header and its entries as the tree librde
// builds from them, each shared child list marked where it is reused; then
// librde's reasons when it refuses the dictionary, or one note when it takes
// it only with sequence gaps accepted.
#include "dictc.h"
#include "inspect.h"
#include "schema_tree.h"

#include <librde/rde_bej.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

using dictc::schema_tree;
using dictc::tree_node;

void collect(unsigned level, const char *message, void *user_data)
{
	// Every refusal ends with this line, which adds nothing to its reason.
	if (level >= RDE_BEJ_LOG_ERROR && strcmp(message, "Failed to parse the dictionary") != 0)
		static_cast<std::vector<std::string> *>(user_data)->push_back(message);
}

// librde's reasons for refusing the bytes, with sequence gaps accepted;
// none when it registers them.
std::vector<std::string> refusals(const std::vector<uint8_t> &bytes)
{
	std::vector<std::string> reasons;
	rde_bej_set_log_handler(collect, &reasons);
	if (!dictc::librde_accepts(bytes.data(), bytes.size()) && reasons.empty())
		reasons.push_back("refused without a reason");
	rde_bej_set_log_handler(nullptr, nullptr);
	return reasons;
}

std::string version_text(uint32_t word)
{
	char hex[16];
	snprintf(hex, sizeof hex, "0x%08" PRIx32, word);
	std::string text = dictc::version_text(word);
	return (text.empty() ? word == 0xFFFFFFFF ? "unversioned" : "unknown" : text) + " (" + hex +
	       ")";
}

class lister {
public:
	lister(const inspect_options &o, const schema_tree &tree) : json_(o.json), tree_(tree) {}
	~lister() { json_object_put(entries_); }
	void header(size_t size);
	void entry(unsigned index, unsigned depth, const char *remark);
	int finish(const std::vector<std::string> &problems, const std::string &note);

private:
	std::string children(const tree_node &n, json_object *f) const;

	bool json_;
	const schema_tree &tree_;
	json_object *header_ = nullptr, *entries_ = json_object_new_array();
	std::string text_;
};

void lister::header(size_t size)
{
	const rde_bej_dictionary_header &h = tree_.header();
	header_ = json_object_new_object();
	put(header_, "version_tag", json_object_new_int(h.version_tag));
	put(header_, "dictionary_flags", json_object_new_int(h.dictionary_flags));
	put(header_, "entry_count", json_object_new_int(h.entry_count));
	put(header_, "schema_version", json_object_new_uint64(h.schema_version));
	put(header_, "dictionary_size", json_object_new_uint64(h.dictionary_size));
	put(header_, "size", json_object_new_uint64(size));
	char line[160];
	snprintf(line, sizeof line,
		 "header: version tag %u, flags 0x%02x, entry count %u, schema version %s, "
		 "size %" PRIu32 " (%zu bytes read)\n",
		 h.version_tag, h.dictionary_flags, h.entry_count,
		 version_text(h.schema_version).c_str(), h.dictionary_size, size);
	text_ += line;
}

// The child range: the entries it holds, or the list it shares.
std::string lister::children(const tree_node &n, json_object *f) const
{
	const rde_bej_dictionary_entry &e = n.entry;
	put(f, "child_pointer_offset", json_object_new_int(e.child_pointer_offset));
	put(f, "child_count", json_object_new_int(e.child_count));
	put(f, "first_child", e.first_child < 0 ? nullptr : json_object_new_int(e.first_child));
	put(f, "shares", n.source < 0 ? nullptr : json_object_new_int(n.source));
	if (n.source >= 0) {
		return ", the children of #" + std::to_string(n.source) + " " +
		       tree_.label((unsigned)n.source) + " (shared)";
	}
	if (e.child_count == 0)
		return "";
	if (e.first_child < 0)
		return ", child range at offset " + std::to_string(e.child_pointer_offset) +
		       " (count " + std::to_string(e.child_count) + ") outside the entries";
	std::string first = "#" + std::to_string(e.first_child);
	if (e.child_count == 1)
		return ", child " + first;
	return ", children " + first + "..#" + std::to_string(e.first_child + e.child_count - 1);
}

void lister::entry(unsigned index, unsigned depth, const char *remark)
{
	const tree_node &n = tree_.node(index);
	const rde_bej_dictionary_entry &e = n.entry;
	const char *type = rde_bej_data_type_name(n.type());
	json_object *f = json_object_new_object();
	put(f, "index", json_object_new_int((int)index));
	put(f, "depth", json_object_new_int((int)depth));
	put(f, "name", e.name ? json_object_new_string(e.name) : nullptr);
	put(f, "type", json_object_new_string(type));
	put(f, "sequence_number", json_object_new_int(e.sequence_number));
	put(f, "format", json_object_new_int(e.format));
	put(f, "flags", flag_array(e.format & 15, true));
	std::string range = children(n, f);
	put(f, "note", remark ? json_object_new_string(remark) : nullptr);
	json_object_array_add(entries_, f);
	text_ += std::string(2 * depth, ' ') + "#" + std::to_string(index) + " " +
		 (e.name ? e.name : "(unnamed)") + ": " + type + ", seq " +
		 std::to_string(e.sequence_number) + ", format " + format_text(e.format, true) +
		 range + (remark ? std::string(" [") + remark + "]" : "") + "\n";
}

int lister::finish(const std::vector<std::string> &problems, const std::string &note)
{
	if (json_) {
		json_object *document = json_object_new_object(), *list = json_object_new_array();
		for (const std::string &p : problems)
			json_object_array_add(list, json_object_new_string(p.c_str()));
		put(document, "header", header_);
		put(document, "entries", entries_);
		entries_ = nullptr;
		put(document, "problems", list);
		put(document, "note",
		    note.empty() ? nullptr : json_object_new_string(note.c_str()));
		print_json(document);
	} else {
		json_object_put(header_);
		fputs(text_.c_str(), stdout);
		for (const std::string &p : problems)
			printf("problem: %s\n", p.c_str());
		if (!note.empty())
			printf("note: %s\n", note.c_str());
	}
	return problems.empty() ? 0 : 1;
}

// Where the numbering has gaps, for a dictionary librde takes only with
// sequence gaps accepted.
std::string gap_note(const schema_tree &tree)
{
	std::string where = tree.gap();
	if (!tree.runs_past().empty())
		where += (where.empty() ? "" : "; ") + tree.runs_past();
	return where.empty() ? ""
			     : "numbered with gaps: " + where +
				       "; librde takes it with sequence gaps accepted";
}

}  // namespace

int inspect_dict(const inspect_options &o)
{
	std::vector<uint8_t> bytes;
	if (!read_input(o.file, &bytes))
		return 1;
	std::vector<std::string> problems = refusals(bytes);
	schema_tree tree;
	std::string error;
	lister out(o, tree);
	if (!tree.read(bytes.data(), bytes.size(), &error))
		return out.finish(problems.empty() ? std::vector<std::string>{error} : problems,
				  "");
	out.header(bytes.size());
	for (uint16_t index : tree.walk_order())
		out.entry(index, tree.node(index).depth, nullptr);
	unsigned readable = 0;
	for (; readable < tree.nodes().size() && tree.node(readable).readable; readable++)
		if (!tree.node(readable).reached)
			out.entry(readable, 0, "no child range reaches it");
	if (readable < tree.nodes().size())
		problems.insert(problems.begin(), "the entries from #" + std::to_string(readable) +
							  " on lie past the end of the bytes");
	return out.finish(problems, problems.empty() ? gap_note(tree) : "");
}
