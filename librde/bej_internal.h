// Internal records of librde, shared by its units.  Nothing here is part of
// the public interface.
#ifndef LIBRDE_BEJ_INTERNAL_H
#define LIBRDE_BEJ_INTERNAL_H

#include <librde/rde_bej.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The n-th of the NUL-separated texts of list, n below their count.
inline const char *nth_text(const char *list, unsigned n)
{
	while (n--)
		list += std::strlen(list) + 1;
	return list;
}

// A fatal check that stays in release builds: an internal invariant that no
// input can break.  It names the condition, the function and the source.
[[noreturn]] void rde_bej_assert_fail(const char *condition, const char *function);
#define RDE_ASSERT(cond) ((cond) ? static_cast<void>(0) : rde_bej_assert_fail(#cond, __func__))

// rde_bej_log() with its arguments in a va_list.
void rde_bej_vlog(unsigned level, const char *format, va_list args);

// Current log threshold (set by rde_bej_init); callers test it before
// formatting trace text, the encoder and the decoder at every tuple.
extern unsigned log_threshold_level;
inline bool tracing() { return log_threshold_level <= RDE_BEJ_LOG_TRACE; }

inline constexpr size_t DICTIONARY_HEADER_SIZE = 12;
inline constexpr size_t DICTIONARY_ENTRY_SIZE = 10;

// The index of the entry that starts at offset, when it is one of the
// first count entries of the table; else -1.
int32_t entry_at_offset(uint16_t offset, uint32_t count);

// A BEJ encoding starts with a version word, two flag bytes and the schema
// class; the encoder writes version 1.0, the readers also take 1.1.
inline constexpr size_t ENCODING_HEADER_SIZE = 7;
inline constexpr uint32_t ENCODING_VERSION_1_0 = 0xF1F0F000;
inline constexpr uint32_t ENCODING_VERSION_1_1 = 0xF1F1F000;

// A builder opens at most this many nested sets and arrays below its root.
inline constexpr int MAX_SCOPE_DEPTH = 64;
// The deepest tree the decoder follows (a tuple and the inner value of a
// property annotation are a level each): the deepest a builder writes.
inline constexpr int MAX_NESTING_DEPTH = 2 * MAX_SCOPE_DEPTH + 3;

// One schema property node per dictionary entry; nodes live in the
// dictionary's `properties` array and are never allocated one by one.
struct rde_bej_property {
	rde_bej_dictionary *dictionary;
	const char *name;  // inside the dictionary's data copy, or nullptr
	uint8_t format;    // data type in the high nibble, flags below
	uint16_t sequence_number;
	uint16_t position;  // in the parent's own child list
	bool initialized;
	uint16_t name_length;  // characters of `name`, so lookups skip by length
	bool annotation;       // in the annotation dictionary
	bool top_level;        // a child of the dictionary's root
	rde_bej_property *parent;
	rde_bej_property *children_source;  // shares that node's child list
	rde_bej_property *children_first;
	rde_bej_property *children_last;  // tail, for constant-time appends
	rde_bej_property *stailq;         // next sibling

	unsigned data_type() const { return format >> 4; }
	bool nullable() const { return (format & RDE_BEJ_FORMAT_NULLABLE) != 0; }
	// First node of the effective child list.
	const rde_bej_property *first_child() const
	{
		return children_source ? children_source->children_first : children_first;
	}
};

struct rde_bej_dictionary {
	const char *name;  // the root entry's name, inside `data`
	char *uri;         // owned copy, or nullptr
	int32_t schema_type;
	bool accept_sequence_gaps;  // registered under RDE_BEJ_ACCEPT_SEQUENCE_GAPS
	uint8_t *data;              // owned copy of the dictionary bytes
	size_t size;
	uint16_t entry_count;
	rde_bej_property *root;
	rde_bej_property *properties;  // entry_count nodes, one allocation
	rde_bej_dictionary *next;      // older
	rde_bej_dictionary *prev;      // newer
};

struct rde_bej_context {
	rde_bej_dictionary *dictionaries;           // newest first
	rde_bej_dictionary *annotation_dictionary;  // also in the list
	unsigned options;                           // RDE_BEJ_ACCEPT_SEQUENCE_GAPS
};

using rde_bej_real = rde_bej_real_parts;

// A decoded bytestring: its length, and its bytes, which follow this record
// in the same buffer.
struct rde_bej_bytestring {
	uint8_t *data;
	uint32_t length;
};

// Bump allocator behind a whole value tree: nodes and their string copies
// come from a few large blocks and go in one release with the tree.
struct rde_bej_arena;

// One value node, for builder trees and decoded trees alike.  Reals and
// bytestrings live in buffers of their own, read through real_of() and
// bytestring_of() only.
struct rde_bej_value {
	const rde_bej_property *property;
	rde_bej_value *parent;
	union {
		struct {
			int64_t value;  // with `negative` below
		} integer;
		uint64_t enum_option;
		char *string;
		rde_bej_real *real_buffer;  // nullptr until a setter fills it
		uint8_t boolean;
		rde_bej_bytestring *bytestring_buffer;  // nullptr until decoded
		uint32_t resource_link;
	} payload;
	const rde_bej_property *annotated_property;
	uint32_t type;
	uint8_t deferred_binding;
	// The node lives in its tree's arena (every node but the root).
	uint8_t pooled;
	// The integer payload's sign: set when the encoded number was negative.
	uint8_t negative;
	uint32_t value_size;
	uint32_t child_count;  // number of nodes in `children`
	rde_bej_value *children_first;
	rde_bej_value *children_last;
	rde_bej_value *next;
};

// A node is created zeroed: a real or bytestring that nothing filled is the
// zero real or the empty bytestring, as if its payload were inline.
inline const rde_bej_real &real_of(const rde_bej_value *value)
{
	static constexpr rde_bej_real zero{};
	return value->payload.real_buffer ? *value->payload.real_buffer : zero;
}
inline const rde_bej_bytestring &bytestring_of(const rde_bej_value *value)
{
	static constexpr rde_bej_bytestring empty{};
	return value->payload.bytestring_buffer ? *value->payload.bytestring_buffer : empty;
}

struct rde_bej_builder {
	rde_bej_context *context;
	rde_bej_dictionary *dictionary;
	rde_bej_value *root;
	rde_bej_arena *arena;  // the root's
	rde_bej_value *current;
	int status;
	// The last name rde_bej_get_property_type resolved, and where.
	struct {
		const rde_bej_property *scope;
		const char *name;
		const rde_bej_property *property;
	} resolved;
};

struct rde_bej_locator_resolved {
	const rde_bej_property *property;
	uint16_t index;
};

struct rde_bej_locator {
	rde_bej_dictionary *dictionary;
	rde_bej_locator_resolved *components;  // count entries, or nullptr
	uint32_t count;
	char *path;  // names joined with "/", or nullptr when a step is an item
};

// ---- reading bytes (entries.cpp) ----
// How the readers fail: *error (when not nullptr) says where and why, and
// the status is -EINVAL.  They log nothing.
int read_failure(rde_bej_read_error *error, size_t offset, const char *reason);

// ---- property tree (tree.cpp) ----
// Reads the record's bytes into its property tree.  Registration (no view)
// stops at the first rule the bytes break with -EINVAL after its message;
// a view records every rule broken and takes what it can.  -ENOMEM when out
// of memory.
int build_property_tree(rde_bej_dictionary *dictionary, rde_bej_dictionary_view *view);
// Gives a record its own copy of the bytes; false when out of memory.
bool copy_dictionary_bytes(rde_bej_dictionary *dictionary, const void *data, size_t size);
// Frees a record with everything it owns.
void free_dictionary(rde_bej_dictionary *dictionary);
// A property name for messages: "(unnamed)" for an array item or a choice
// option, which have none.
const char *shown_name(const char *name);

// ---- dictionaries and lookups (bej.cpp) ----
// Splits "property@annotation" at its first "@" into the property part
// (maybe empty) and the annotation part, "@" included; false without "@".
bool split_annotation_name(std::string_view name, std::string_view *property,
			   std::string_view *annotation);
int find_dictionary(const rde_bej_context *context, const char *name, int32_t schema_type,
		    rde_bej_dictionary **result);
// Schema node of the child property `name` in the scope value (a set or an
// array), or nullptr; stores the annotated property when asked to.
const rde_bej_property *find_property_by_name(const rde_bej_context *context, const char *name,
					      const rde_bej_value *scope,
					      const rde_bej_property **annotated_property);

// ---- value nodes (value.cpp) ----
// A new node appended to parent's children, from arena, the arena of
// parent's tree; without a parent, a new root (arena unused) that is given
// an arena of its own by attach_arena.
rde_bej_value *new_bej_value(rde_bej_value *parent, rde_bej_arena *arena);
rde_bej_value *alloc_bej_value(rde_bej_value *parent, rde_bej_arena *arena,
			       const rde_bej_property *property,
			       const rde_bej_property *annotated_property);
// Where an arena takes its blocks: zeroed (a decoded tree), or from the
// heap as they are (a builder's tree).
enum class arena_blocks { zeroed, heap };
// Gives a new root (no parent) the arena of its whole tree: its children
// (new_bej_value) and their buffers (value_buffer_alloc) come from it and go
// with the root.  Returns false (after a log line) when out of memory.
bool attach_arena(rde_bej_value *root, arena_blocks source);
// The arena of the tree whose root is root.
rde_bej_arena *tree_arena(rde_bej_value *root);
// A buffer for a value's payload (a string copy, a bytestring or a real)
// from the tree's arena, aligned to align (a power of two, at most that of
// max_align_t); nullptr when out of memory.
void *value_buffer_alloc(rde_bej_arena *arena, size_t size, size_t align = 1);
// Unlinks child from parent's children (keeping the tail and count right).
void unlink_bej_value(rde_bej_value *parent, rde_bej_value *child);
void trace_bej_value(const rde_bej_value *value, unsigned type, bool decoding);

// ---- decoded value access (access.cpp) ----
// Room for the name describe_value() formats.
struct value_display_name {
	char text[128];
};
// The name of a value for messages: its property's name, or for an unnamed
// property (an array item) the nearest named ancestor's name followed by the
// item's position at each unnamed step ("Items[2]", "Grid[0][3]").
const char *describe_value(const rde_bej_value *value, value_display_name *buffer);

#endif  // LIBRDE_BEJ_INTERNAL_H
