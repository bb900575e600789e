// Value nodes, shared by builder trees and decoded trees: allocation from
// the tree's arena, unlinking, release, lookup by name and the trace line.
#include "bej_internal.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

struct rde_bej_arena {
	struct block {
		block *next;
	};
	block *blocks = nullptr;
	unsigned char *position = nullptr;
	size_t left = 0;
	size_t next_size = 4096;
	arena_blocks source = arena_blocks::zeroed;
};

namespace {

constexpr size_t ARENA_ALIGN = alignof(std::max_align_t);
// Blocks double from 4 KiB up to this size.
constexpr size_t ARENA_MAX_BLOCK = size_t{64} << 10;
constexpr size_t ARENA_HEADER = (sizeof(rde_bej_arena::block) + ARENA_ALIGN - 1) &
				~(ARENA_ALIGN - 1);

// A new block of size usable bytes, linked behind the first one (or first
// when there is none); nullptr when out of memory.
unsigned char *arena_block(rde_bej_arena *arena, size_t size)
{
	if (size > SIZE_MAX - ARENA_HEADER)
		return nullptr;
	size_t total = ARENA_HEADER + size;
	// A heap block is left as malloc() gives it: it may be reused memory,
	// and clearing all of it would cost a pass of its own.
	auto *block = static_cast<rde_bej_arena::block *>(
		arena->source == arena_blocks::heap ? std::malloc(total) : std::calloc(1, total));
	if (!block)
		return nullptr;
	if (arena->blocks) {
		block->next = arena->blocks->next;
		arena->blocks->next = block;
	} else {
		block->next = nullptr;
		arena->blocks = block;
	}
	return reinterpret_cast<unsigned char *>(block) + ARENA_HEADER;
}

// Hands out memory aligned to `align` (a power of two up to ARENA_ALIGN),
// zeroed in a zeroed-block arena and as malloc() left it in a heap-block one.
void *arena_alloc(rde_bej_arena *arena, size_t size, size_t align)
{
	if (size > SIZE_MAX - ARENA_ALIGN)
		return nullptr;
	size_t pad = -reinterpret_cast<uintptr_t>(arena->position) & (align - 1);
	if (pad + size <= arena->left) {
		void *p = arena->position + pad;
		arena->position += pad + size;
		arena->left -= pad + size;
		return p;
	}
	// A large request gets a block of its own, so that the room left in
	// the current block still serves the small ones.
	if (size > arena->next_size / 2 && arena->blocks)
		return arena_block(arena, size);
	size_t block_size = std::max(size, arena->next_size);
	unsigned char *data = arena_block(arena, block_size);
	if (!data)
		return nullptr;
	// The newest small-object block becomes the current one, at the head.
	auto *block = reinterpret_cast<rde_bej_arena::block *>(data - ARENA_HEADER);
	if (arena->blocks != block) {
		arena->blocks->next = block->next;
		block->next = arena->blocks;
		arena->blocks = block;
	}
	arena->next_size = std::min(arena->next_size * 2, ARENA_MAX_BLOCK);
	arena->position = data + size;
	arena->left = block_size - size;
	return data;
}

// A tree's root, and the arena that every other node of the tree and every
// buffer lives in: the nodes need not each point to it.
struct value_tree {
	rde_bej_value root;
	rde_bej_arena *arena;
};
static_assert(std::is_standard_layout_v<value_tree>, "the root converts to its tree");

// The tree whose root is root (a node with no parent and not pooled).
value_tree *tree_of(rde_bej_value *root)
{
	RDE_ASSERT(!root->pooled);
	return reinterpret_cast<value_tree *>(root);
}

void arena_destroy(rde_bej_arena *arena)
{
	for (rde_bej_arena::block *b = arena->blocks; b;) {
		rde_bej_arena::block *next = b->next;
		std::free(b);
		b = next;
	}
	std::free(arena);
}

}  // namespace

bool attach_arena(rde_bej_value *root, arena_blocks source)
{
	value_tree *tree = tree_of(root);
	RDE_ASSERT(tree->arena == NULL);
	tree->arena = static_cast<rde_bej_arena *>(std::malloc(sizeof(rde_bej_arena)));
	if (!tree->arena) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate BEJ value for property");
		return false;
	}
	*tree->arena = rde_bej_arena{};
	tree->arena->source = source;
	return true;
}

rde_bej_arena *tree_arena(rde_bej_value *root) { return tree_of(root)->arena; }

void *value_buffer_alloc(rde_bej_arena *arena, size_t size, size_t align)
{
	return arena_alloc(arena, size, align);
}

rde_bej_value *new_bej_value(rde_bej_value *parent, rde_bej_arena *arena)
{
	rde_bej_value *value;
	if (parent) {
		// A node is a plain record: its all-zero bytes are the empty
		// node, which a zeroed-block arena hands out as it is.
		value = static_cast<rde_bej_value *>(
			arena_alloc(arena, sizeof(rde_bej_value), alignof(rde_bej_value)));
		if (value) {
			if (arena->source == arena_blocks::heap)
				*value = rde_bej_value{};
			value->pooled = 1;
		}
	} else {
		auto *tree = static_cast<value_tree *>(std::calloc(1, sizeof(value_tree)));
		value = tree ? &tree->root : nullptr;
	}
	if (!value) {
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Failed to allocate BEJ value for property");
		return nullptr;
	}
	value->parent = parent;
	if (parent) {
		if (parent->children_last)
			parent->children_last->next = value;
		else
			parent->children_first = value;
		parent->children_last = value;
		parent->child_count++;
	}
	return value;
}

rde_bej_value *alloc_bej_value(rde_bej_value *parent, rde_bej_arena *arena,
			       const rde_bej_property *property,
			       const rde_bej_property *annotated_property)
{
	RDE_ASSERT(property != NULL);
	rde_bej_value *value = new_bej_value(parent, arena);
	if (!value)
		return nullptr;
	value->property = property;
	value->annotated_property = annotated_property;
	value->type = property->data_type();
	return value;
}

void unlink_bej_value(rde_bej_value *parent, rde_bej_value *child)
{
	rde_bej_value *prev = nullptr;
	for (rde_bej_value *v = parent->children_first; v; prev = v, v = v->next) {
		if (v != child)
			continue;
		if (prev)
			prev->next = v->next;
		else
			parent->children_first = v->next;
		if (parent->children_last == v)
			parent->children_last = prev;
		parent->child_count--;
		v->next = nullptr;
		return;
	}
}

// A tree goes at once with its arena; a node inside it (a subtree a null
// replaced) lives in the arena and goes with the tree's root.
extern "C" void rde_bej_value_free(rde_bej_value *value)
{
	if (!value || value->pooled)
		return;
	value_tree *tree = tree_of(value);
	if (tree->arena)
		arena_destroy(tree->arena);
	std::free(tree);
}

extern "C" int rde_bej_find(rde_bej_value *value, const char *name, rde_bej_value **child)
{
	if (!value || !name)
		return -ENOENT;
	for (rde_bej_value *v = value->children_first; v; v = v->next) {
		if (v->property && v->property->name && std::strcmp(v->property->name, name) == 0) {
			*child = v;
			return 0;
		}
	}
	std::string_view property_part, annotation_part;
	if (!split_annotation_name(name, &property_part, &annotation_part))
		return -ENOENT;
	for (rde_bej_value *v = value->children_first; v; v = v->next) {
		if (v->annotated_property && v->annotated_property->name &&
		    property_part == v->annotated_property->name && v->property &&
		    v->property->name && annotation_part == v->property->name) {
			*child = v;
			return 0;
		}
	}
	return -ENOENT;
}

namespace {

// Formats the value text of the trace line for type T into text.
void format_trace_text(const rde_bej_value *value, unsigned type, char *text, size_t size)
{
	text[0] = '\0';
	switch (type) {
	case RDE_BEJ_DATA_TYPE_SET:
	case RDE_BEJ_DATA_TYPE_ARRAY:
		std::snprintf(text, size, "%lld elements",
			      static_cast<long long>(value->child_count));
		break;
	case RDE_BEJ_DATA_TYPE_NULL:
		std::snprintf(text, size, "null");
		break;
	case RDE_BEJ_DATA_TYPE_INTEGER:
		if (value->negative)
			std::snprintf(text, size, "%lld",
				      static_cast<long long>(value->payload.integer.value));
		else
			std::snprintf(
				text, size, "%llu",
				static_cast<unsigned long long>(value->payload.integer.value));
		break;
	case RDE_BEJ_DATA_TYPE_ENUM:
		std::snprintf(text, size, "%llu",
			      static_cast<unsigned long long>(value->payload.enum_option));
		break;
	case RDE_BEJ_DATA_TYPE_STRING:
		std::snprintf(text, size, "%s", value->payload.string ? value->payload.string : "");
		break;
	case RDE_BEJ_DATA_TYPE_REAL: {
		const rde_bej_real &real = real_of(value);
		std::snprintf(text, size, "%llu.%llu", static_cast<unsigned long long>(real.whole),
			      static_cast<unsigned long long>(real.fraction));
		break;
	}
	case RDE_BEJ_DATA_TYPE_BOOLEAN:
		std::snprintf(text, size, "%s", value->payload.boolean ? "true" : "false");
		break;
	case RDE_BEJ_DATA_TYPE_RESOURCE_LINK:
		std::snprintf(text, size, "%d", static_cast<int>(value->payload.resource_link));
		break;
	default:
		rde_bej_log(RDE_BEJ_LOG_ERROR, "Unsupported data type: %s",
			    rde_bej_data_type_name(type));
		break;
	}
}

}  // namespace

void trace_bej_value(const rde_bej_value *value, unsigned type, bool decoding)
{
	char text[1024];
	value_display_name name;  // array items show as their array and position
	if (type == RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION) {
		// The annotation's own value first.  A decoded annotation that
		// failed before its inner format byte still holds the annotation
		// type itself: it has no inner value to show.
		if (value->type != RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION) {
			trace_bej_value(value, value->type, decoding);
			format_trace_text(value, value->type, text, sizeof text);
		} else {
			text[0] = '\0';
		}
	} else {
		format_trace_text(value, type, text, sizeof text);
	}
	rde_bej_log(RDE_BEJ_LOG_TRACE, "%s %s %s with %s", decoding ? "Decoding" : "Encoding",
		    rde_bej_data_type_name(type), describe_value(value, &name), text);
}
