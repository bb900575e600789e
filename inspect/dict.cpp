// rde-inspect dict: a dictionary's header and its entries as the tree librde
// builds from them (its view, which takes what registration refuses), each
// shared child list marked where it is reused; then the rules the bytes
// break, or one note when librde takes them only with sequence gaps accepted.
#include "common.h"
#include "inspect.h"

#include <librde/rde_bej.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using view_ptr = std::unique_ptr<rde_bej_dictionary_view, void (*)(rde_bej_dictionary_view *)>;

// The entries that lie inside the bytes, in table order.
std::vector<rde_bej_dictionary_entry> read_entries(const std::vector<uint8_t> &bytes,
						   unsigned count)
{
	std::vector<rde_bej_dictionary_entry> entries;
	rde_bej_dictionary_entry e;
	while (entries.size() < count &&
	       rde_bej_read_dictionary_entry(bytes.data(), bytes.size(), (unsigned)entries.size(),
					     &e, nullptr) == 0)
		entries.push_back(e);
	return entries;
}

std::string version_shown(uint32_t word)
{
	char hex[16];
	snprintf(hex, sizeof hex, "0x%08" PRIx32, word);
	std::string text = version_text(word);
	return (text.empty() ? word == 0xFFFFFFFF ? "unversioned" : "unknown" : text) + " (" + hex +
	       ")";
}

class lister {
public:
	lister(const inspect_options &o, const std::vector<rde_bej_dictionary_entry> &entries)
	    : json_(o.json), entries_(entries)
	{}
	~lister() { json_object_put(list_); }
	void header(const rde_bej_dictionary_header &h, size_t size);
	void entry(unsigned index, unsigned depth, int source, const char *remark);
	int finish(const std::vector<std::string> &problems, const std::string &note);
	// The name of an entry for messages: its name, "#N" when it has none.
	std::string label(unsigned index) const;

private:
	std::string children(const rde_bej_dictionary_entry &e, int source, json_object *f) const;

	bool json_;
	const std::vector<rde_bej_dictionary_entry> &entries_;
	json_object *header_ = nullptr, *list_ = json_object_new_array();
	std::string text_;
};

std::string lister::label(unsigned index) const
{
	const char *name = entries_[index].name;
	return name ? name : "#" + std::to_string(index);
}

void lister::header(const rde_bej_dictionary_header &h, size_t size)
{
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
		 version_shown(h.schema_version).c_str(), h.dictionary_size, size);
	text_ += line;
}

// The child range: the entries it holds, or the list it shares (source,
// an entry index, or -1).
std::string lister::children(const rde_bej_dictionary_entry &e, int source, json_object *f) const
{
	put(f, "child_pointer_offset", json_object_new_int(e.child_pointer_offset));
	put(f, "child_count", json_object_new_int(e.child_count));
	put(f, "first_child", e.first_child < 0 ? nullptr : json_object_new_int(e.first_child));
	put(f, "shares", source < 0 ? nullptr : json_object_new_int(source));
	if (source >= 0)
		return ", the children of #" + std::to_string(source) + " " +
		       label((unsigned)source) + " (shared)";
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

void lister::entry(unsigned index, unsigned depth, int source, const char *remark)
{
	const rde_bej_dictionary_entry &e = entries_[index];
	const char *type = rde_bej_data_type_name(e.format >> 4);
	json_object *f = json_object_new_object();
	put(f, "index", json_object_new_int((int)index));
	put(f, "depth", json_object_new_int((int)depth));
	put(f, "name", e.name ? json_object_new_string(e.name) : nullptr);
	put(f, "type", json_object_new_string(type));
	put(f, "sequence_number", json_object_new_int(e.sequence_number));
	put(f, "format", json_object_new_int(e.format));
	put(f, "flags", flag_array(e.format & 15, true));
	std::string range = children(e, source, f);
	put(f, "note", remark ? json_object_new_string(remark) : nullptr);
	json_object_array_add(list_, f);
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
		put(document, "entries", list_);
		list_ = nullptr;
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

// The rules the view found broken, but for the numbering with gaps that
// librde takes when asked to: the first gap and the first list that ends
// early go into *note.
std::vector<std::string> problems_of(const rde_bej_dictionary_view *view,
				     const std::vector<rde_bej_dictionary_entry> &entries,
				     const lister &out, std::string *note)
{
	std::vector<std::string> problems;
	std::string gap, runs_past;
	const rde_bej_dictionary_problem *p;
	for (size_t i = 0; (p = rde_bej_dictionary_view_get_problem(view, i)); i++) {
		bool gap_rule = p->rule == RDE_BEJ_RULE_SEQUENCE_GAP;
		if (!gap_rule && p->rule != RDE_BEJ_RULE_SEQUENCE_END) {
			problems.push_back(p->message);
			continue;
		}
		std::string where = "'" + out.label(p->entry) + "'";
		if (gap_rule && gap.empty())
			gap = "child " + std::to_string(p->position) + " of " + where +
			      " is numbered " + std::to_string(p->found);
		if (!gap_rule && runs_past.empty())
			runs_past = where + " counts " +
				    std::to_string(entries[p->entry].child_count) +
				    " children, but its list ends after " +
				    std::to_string(p->position);
	}
	std::string where = gap + (gap.empty() || runs_past.empty() ? "" : "; ") + runs_past;
	if (!where.empty())
		*note = "numbered with gaps: " + where +
			"; librde takes it with sequence gaps accepted";
	return problems;
}

// The tree from the root, then the entries inside the bytes that it does
// not reach.
void list_entries(const rde_bej_property *root, unsigned count, lister &out)
{
	std::vector<bool> reached(count);
	walk_properties(root, [&](const rde_bej_property *p, unsigned depth) {
		const rde_bej_property *source = rde_bej_property_get_children_source(p);
		reached[rde_bej_property_get_entry(p)] = true;
		out.entry(rde_bej_property_get_entry(p), depth,
			  source ? (int)rde_bej_property_get_entry(source) : -1, nullptr);
	});
	for (unsigned i = 0; i < count; i++)
		if (!reached[i])
			out.entry(i, 0, -1, "no child range reaches it");
}

}  // namespace

int inspect_dict(const inspect_options &o)
{
	std::vector<uint8_t> bytes;
	if (!read_input(o.file, &bytes))
		return 1;
	view_ptr view(rde_bej_dictionary_view_new(bytes.data(), bytes.size()),
		      rde_bej_dictionary_view_free);
	if (!view) {
		complain("out of memory");
		return 1;
	}
	rde_bej_dictionary_header header{};
	bool has_header = rde_bej_read_dictionary_header(bytes.data(), bytes.size(), &header,
							 nullptr) == 0;
	std::vector<rde_bej_dictionary_entry> entries = read_entries(bytes, header.entry_count);
	lister out(o, entries);
	std::string note;
	std::vector<std::string> problems = problems_of(view.get(), entries, out, &note);
	if (!has_header)
		return out.finish(problems, "");
	out.header(header, bytes.size());
	list_entries(rde_bej_dictionary_view_get_root(view.get()), (unsigned)entries.size(), out);
	if (entries.size() < header.entry_count)
		problems.insert(problems.begin(), "the entries from #" +
							  std::to_string(entries.size()) +
							  " on lie past the end of the bytes");
	return out.finish(problems, problems.empty() ? note : "");
}
