/*
 * librde: encode and decode Redfish resources in BEJ (binary encoded JSON).
 *
 * Every operation that can fail returns 0 or a negated errno value
 * (-EINVAL, -ENOMEM, -ENOENT, -EEXIST, -ERANGE, -EOPNOTSUPP), and operations
 * that return an object return NULL on failure.  A failure logs one line
 * with its reason through rde_bej_log() where it is found, except for these,
 * which only return their status:
 *  - a NULL builder, or a NULL place for a result, given to the builder's
 *    operations or to rde_bej_encode() (-EINVAL);
 *  - an option that the property does not have, or a NULL option, given to
 *    rde_bej_add_enum(), and a NULL string given to rde_bej_add_string()
 *    (-EINVAL, kept by the builder);
 *  - every later call on a builder that has failed (its first status);
 *  - rde_bej_find() missing the name (-ENOENT);
 *  - a decoded enumeration option whose number cannot be read (-EINVAL);
 *  - the readers of BEJ and dictionary bytes, which say where and why in
 *    their rde_bej_read_error instead, and the read access to property
 *    trees, dictionary views and tuple scopes, which report as data.
 * Every *_free() accepts NULL.
 *
 * The library is single-threaded: a context and everything made from it are
 * used from one thread.
 */
#ifndef LIBRDE_RDE_BEJ_H
#define LIBRDE_RDE_BEJ_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Log levels; LIBRDE_LOG_LEVEL names the threshold ("info" by default). */
enum rde_bej_log_level {
	RDE_BEJ_LOG_ALL = 0,
	RDE_BEJ_LOG_TRACE = 1,
	RDE_BEJ_LOG_DEBUG = 2,
	RDE_BEJ_LOG_INFO = 3,
	RDE_BEJ_LOG_WARNING = 4,
	RDE_BEJ_LOG_ERROR = 5,
	RDE_BEJ_LOG_QUIET = 6,
};

/* The 4-bit data type codes of BEJ format bytes; 11 to 13 are reserved. */
enum rde_bej_data_type {
	RDE_BEJ_DATA_TYPE_SET = 0,
	RDE_BEJ_DATA_TYPE_ARRAY = 1,
	RDE_BEJ_DATA_TYPE_NULL = 2,
	RDE_BEJ_DATA_TYPE_INTEGER = 3,
	RDE_BEJ_DATA_TYPE_ENUM = 4,
	RDE_BEJ_DATA_TYPE_STRING = 5,
	RDE_BEJ_DATA_TYPE_REAL = 6,
	RDE_BEJ_DATA_TYPE_BOOLEAN = 7,
	RDE_BEJ_DATA_TYPE_BYTESTRING = 8,
	RDE_BEJ_DATA_TYPE_CHOICE = 9,
	RDE_BEJ_DATA_TYPE_PROPERTY_ANNOTATION = 10,
	RDE_BEJ_DATA_TYPE_RESOURCE_LINK = 14,
	RDE_BEJ_DATA_TYPE_RESOURCE_LINK_EXPANSION = 15,
};

/* The schema class under which the annotation dictionary is registered. */
#define RDE_BEJ_SCHEMA_TYPE_ANNOTATION 2

typedef struct rde_bej_context rde_bej_context;
typedef struct rde_bej_dictionary rde_bej_dictionary;
typedef struct rde_bej_builder rde_bej_builder;
typedef struct rde_bej_value rde_bej_value;
typedef struct rde_bej_locator rde_bej_locator;
typedef struct rde_bej_property rde_bej_property;
typedef struct rde_bej_dictionary_view rde_bej_dictionary_view;

/* One step of a property path: a property name, or NULL and an array index. */
typedef struct rde_bej_locator_component {
	const char *name;
	uint16_t index;
} rde_bej_locator_component;

/* ---- Logging and data types ------------------------------------------- */

/* Sets the log threshold from LIBRDE_LOG_LEVEL ("info" when unset or unknown).
 * Call once before any other operation; calling again starts over. */
void rde_bej_init(void);

/* Receives each library message that passes the threshold: its level and
 * its text, without the "librde[LEVEL]: " prefix and without a newline. */
typedef void (*rde_bej_log_handler)(unsigned level, const char *message, void *user_data);

/* Sends library messages to handler, with user_data, instead of stderr;
 * NULL restores stderr.  rde_bej_init() leaves the handler as it is. */
void rde_bej_set_log_handler(rde_bej_log_handler handler, void *user_data);

/* Writes "librde[LEVEL]: message\n" to stderr (or hands the message to the
 * log handler) when level >= the threshold.  Levels above RDE_BEJ_LOG_QUIET
 * are clamped to it. */
void rde_bej_log(unsigned level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Printable name of a data type code ("set", "integer", ...), or "unknown".
 * The string is static and never freed. */
const char *rde_bej_data_type_name(unsigned type);

/* ---- Contexts and dictionaries ---------------------------------------- */

/* Creates an empty context of dictionaries.
 * Returns NULL when out of memory; free it with rde_bej_context_free(). */
rde_bej_context *rde_bej_context_new(void);

/* Frees the context and every dictionary registered in it.  Builders, trees
 * and locators made from it must be freed first. */
void rde_bej_context_free(rde_bej_context *context);

/* Options of a context, bits for rde_bej_context_set_options().
 * RDE_BEJ_ACCEPT_SEQUENCE_GAPS: accept dictionaries whose child lists are
 * numbered with gaps (rising, not 0, 1, 2 ...), a list ending before the
 * first number that does not rise, as some published dictionaries are. */
#define RDE_BEJ_ACCEPT_SEQUENCE_GAPS 0x1u

/* Sets the options (none by default) for the dictionaries registered from
 * then on.  Returns 0, or -EINVAL for an unknown option bit. */
int rde_bej_context_set_options(rde_bej_context *context, unsigned options);

/* Registers a dictionary (copied; the caller keeps its buffer) under a schema
 * type, 2 for the annotation dictionary; uri may be NULL.  Returns a status. */
int rde_bej_add_dictionary(rde_bej_context *context, int32_t schema_type, const char *uri,
			   const void *data, size_t size);

/* The newest registered dictionary, or NULL; the context owns it.
 * rde_bej_dictionary_next() gives the next older one, or NULL. */
rde_bej_dictionary *rde_bej_dictionary_first(const rde_bej_context *context);
rde_bej_dictionary *rde_bej_dictionary_next(const rde_bej_dictionary *dictionary);

/* The dictionary's name (its root entry's name), owned by the dictionary,
 * and the schema type it was registered under. */
const char *rde_bej_dictionary_get_name(const rde_bej_dictionary *dictionary);
int32_t rde_bej_dictionary_get_schema_type(const rde_bej_dictionary *dictionary);

/* ---- Property trees ---------------------------------------------------- */

/* The root of a dictionary's property tree; the dictionary owns the tree. */
const rde_bej_property *rde_bej_dictionary_get_root(const rde_bej_dictionary *dictionary);

/* A property's name (NULL when unnamed: an array's item, a choice's
 * option), data type, flag bits (the low nibble of its format byte),
 * sequence number, and the index of its entry in the entry table. */
const char *rde_bej_property_get_name(const rde_bej_property *property);
unsigned rde_bej_property_get_type(const rde_bej_property *property);
unsigned rde_bej_property_get_flags(const rde_bej_property *property);
uint16_t rde_bej_property_get_sequence_number(const rde_bej_property *property);
unsigned rde_bej_property_get_entry(const rde_bej_property *property);

/* The first of the children built under the property, and the next of
 * them after a child; NULL at the end.  A property that shares another's
 * child list (a recursive or reused type) has that one's children instead:
 * rde_bej_property_get_children_source() names it, else it gives NULL. */
const rde_bej_property *rde_bej_property_get_first_child(const rde_bej_property *property);
const rde_bej_property *rde_bej_property_get_next_sibling(const rde_bej_property *property);
const rde_bej_property *rde_bej_property_get_children_source(const rde_bej_property *property);

/* The child of the property's children (its source's, when it shares) that
 * a tuple or an enumeration option numbered sequence_number names, every
 * element of an array being its item property; NULL when there is none. */
const rde_bej_property *rde_bej_property_find_child(const rde_bej_property *property,
						    uint64_t sequence_number);

/* A rule of the dictionary format that bytes break, as a view finds it. */
enum rde_bej_dictionary_rule {
	RDE_BEJ_RULE_TABLE = 1,    /* the entry table is not in the bytes, or empty */
	RDE_BEJ_RULE_ROOT_NAME,    /* the root entry has no valid name */
	RDE_BEJ_RULE_DATA_TYPE,    /* a reserved data type */
	RDE_BEJ_RULE_NAME,         /* unnamed where a name is needed, or the reverse */
	RDE_BEJ_RULE_CHILDREN,     /* children on a data type that has none */
	RDE_BEJ_RULE_ENTRY_OFFSET, /* a child range leaves the entry table */
	RDE_BEJ_RULE_SEQUENCE_GAP, /* a child numbered other than its position */
	RDE_BEJ_RULE_SEQUENCE_END, /* a child numbered no higher than the one before */
	RDE_BEJ_RULE_ENUM_OPTION,  /* an enumeration option that is no string */
	RDE_BEJ_RULE_SHARED_LIST,  /* a child range shared with the root or another type */
	RDE_BEJ_RULE_UNREACHED,    /* an entry that no child range reaches */
};

/* One rule broken: the entry concerned (for a child range, its owner's),
 * for the sequence rules the child's position and number, and the message
 * registration logs for it (owned by the view). */
typedef struct rde_bej_dictionary_problem {
	unsigned rule;
	unsigned entry;
	unsigned position;
	unsigned found;
	const char *message;
} rde_bej_dictionary_problem;

/* Reads dictionary bytes (copied) into a property tree as registration does
 * with RDE_BEJ_ACCEPT_SEQUENCE_GAPS, but where registration stops, a view
 * records the rule broken and goes on (a child list ends where its range
 * leaves the table or leads back to the root).  NULL when out of memory. */
rde_bej_dictionary_view *rde_bej_dictionary_view_new(const void *data, size_t size);
void rde_bej_dictionary_view_free(rde_bej_dictionary_view *view);

/* The root property, or NULL when the bytes hold no entry table. */
const rde_bej_property *rde_bej_dictionary_view_get_root(const rde_bej_dictionary_view *view);

/* The rules broken, in the order found; NULL past the last. */
const rde_bej_dictionary_problem *
rde_bej_dictionary_view_get_problem(const rde_bej_dictionary_view *view, size_t index);

/* ---- Locators --------------------------------------------------------- */

/* Resolves a path of count components in the dictionary (name, schema_type).
 * On 0 *locator is the caller's (rde_bej_locator_free); components are not kept. */
int rde_bej_locator_build_ext(rde_bej_context *context, const char *name, int32_t schema_type,
			      const rde_bej_locator_component *components, uint32_t count,
			      rde_bej_locator **locator);

/* The same from a path such as "Status/Health" or "Members/0": segments
 * separated by '/', each an array index when it begins with a decimal
 * number from 0 to 65535 ("2abc" is 2), else a property name. */
int rde_bej_locator_build_path(rde_bej_context *context, const char *name, int32_t schema_type,
			       const char *path, rde_bej_locator **locator);

/* The property the locator names: its last step's, or the root's. */
const rde_bej_property *rde_bej_locator_get_property(const rde_bej_locator *locator);

/* Encodes the locator into newly allocated bytes.
 * On 0 the caller owns *bytes (free()) holding *length bytes. */
int rde_bej_locator_encode(const rde_bej_locator *locator, uint8_t **bytes, size_t *length);

/* Frees a locator; NULL is accepted. */
void rde_bej_locator_free(rde_bej_locator *locator);

/* ---- Builder ---------------------------------------------------------- */

/* Creates a builder for the dictionary (name, schema_type), rooted at the
 * resource or at the locator's property.  NULL on failure; free with _free(). */
rde_bej_builder *rde_bej_builder_new(rde_bej_context *context, uint32_t schema_type,
				     const char *name, const rde_bej_locator *locator);

/* Frees the builder and its value tree; NULL is accepted.
 * Buffers returned by rde_bej_encode() stay valid. */
void rde_bej_builder_free(rde_bej_builder *builder);

/* Stores the dictionary data type of the current scope's property.
 * Always returns 0. */
int rde_bej_get_scope_type(rde_bej_builder *builder, uint32_t *type);

/* Stores the dictionary data type of the property that name selects in the
 * current scope (NULL for an array item).  Returns 0 or -EINVAL. */
int rde_bej_get_property_type(rde_bej_builder *builder, const char *name, uint32_t *type);

/* Opens a set or an array under name (NULL for an array item) as the new
 * scope, or closes the current one.  Return a status; the first failure sticks. */
int rde_bej_set_begin(rde_bej_builder *builder, const char *name);
int rde_bej_set_end(rde_bej_builder *builder);
int rde_bej_array_begin(rde_bej_builder *builder, const char *name);
int rde_bej_array_end(rde_bej_builder *builder);

/* Setters: add or replace the value of name in the current scope (NULL for
 * an array item, or for the root itself when it is a scalar).  Strings are
 * copied.  Return a status; the first failure sticks. */
int rde_bej_add_integer(rde_bej_builder *builder, const char *name, int64_t value);
int rde_bej_add_boolean(rde_bej_builder *builder, const char *name, bool value);
int rde_bej_add_string(rde_bej_builder *builder, const char *name, const char *value);
int rde_bej_add_real(rde_bej_builder *builder, const char *name, uint32_t precision, double value);
int rde_bej_add_enum(rde_bej_builder *builder, const char *name, const char *option);
int rde_bej_add_null(rde_bej_builder *builder, const char *name);

/* Encodes the builder's tree into one newly allocated buffer.
 * On 0 the caller owns *bytes (free()) holding *length bytes. */
int rde_bej_encode(rde_bej_builder *builder, uint8_t **bytes, size_t *length);

/* ---- Decoding --------------------------------------------------------- */

/* Decodes length bytes against the dictionary (name, schema_type), rooted at
 * the locator's property when locator is not NULL.  On 0 the caller owns *value. */
int rde_bej_decode(rde_bej_context *context, const char *name, int32_t schema_type,
		   const uint8_t *bytes, size_t length, const rde_bej_locator *locator,
		   rde_bej_value **value);

/* Frees a tree from its root (a decoded tree); a node inside a tree goes with
 * the tree.  NULL is accepted.  Free trees before their context. */
void rde_bej_value_free(rde_bej_value *value);

/* Finds the child of value whose property is named name (or "prop@annotation").
 * Returns 0 and the borrowed child, or -ENOENT leaving *child untouched. */
int rde_bej_find(rde_bej_value *value, const char *name, rde_bej_value **child);

/* ---- Decoded value access --------------------------------------------- */

/* The value's property name (NULL for an array item) and data type.
 * Names are owned by the dictionary. */
const char *rde_bej_get_name(const rde_bej_value *value);
uint32_t rde_bej_get_type(const rde_bej_value *value);

/* Whether the value is a property annotation, and the name of the property
 * it annotates (NULL when it is none). */
bool rde_bej_is_property_annotation(const rde_bej_value *value);
const char *rde_bej_get_annotated_name(const rde_bej_value *value);

/* The first child of a set or array, and the next sibling of a child; NULL
 * at the end.  The tree owns the returned nodes. */
rde_bej_value *rde_bej_get_first_child(const rde_bej_value *value);
rde_bej_value *rde_bej_get_next_sibling(const rde_bej_value *value);

/* Typed getters: 0 and the value, or -EINVAL (leaving *out untouched) when
 * the value has another data type; integers of 2^63 and more give -ERANGE. */
int rde_bej_get_integer(const rde_bej_value *value, int64_t *out);
int rde_bej_get_boolean(const rde_bej_value *value, bool *out);
int rde_bej_get_real(const rde_bej_value *value, double *out);
int rde_bej_get_resource_link(const rde_bej_value *value, uint32_t *out);

/* The string held by the node (not a copy): the caller may rewrite it in place
 * without lengthening it; it lives until the tree is freed. */
int rde_bej_get_string(rde_bej_value *value, char **out);

/* The chosen enumeration option's name, owned by the dictionary. */
int rde_bej_get_enum(const rde_bej_value *value, const char **out);

/* ---- Reading BEJ and dictionary bytes --------------------------------- */

/* These readers need no context and log nothing: they are for tools that
 * show what bytes hold, malformed ones included.  Every read is bounded by
 * the length given; a read that fails says where and why. */

/* Flag bits of a format byte (the data type is its high nibble). */
#define RDE_BEJ_FORMAT_DEFERRED_BINDING 0x01
#define RDE_BEJ_FORMAT_TOP_LEVEL_ANNOTATION 0x02
#define RDE_BEJ_FORMAT_NULLABLE 0x04

/* Where a read stopped: the offset of the first byte that could not be read
 * (the length when bytes are missing) and a static, lower-case reason. */
typedef struct rde_bej_read_error {
	size_t offset;
	const char *reason;
} rde_bej_read_error;

/* The seven-byte header of a BEJ encoding. */
typedef struct rde_bej_encoding_header {
	uint32_t version; /* 0xF1F0F000 or 0xF1F1F000 */
	uint16_t flags;
	uint8_t schema_class;
} rde_bej_encoding_header;

/* The parts of a BEJ real: whole.(leading zeros)(fraction) x 10^exponent. */
typedef struct rde_bej_real_parts {
	int64_t whole;
	int64_t exponent;
	uint64_t fraction;
	uint64_t leading_zero_count;
} rde_bej_real_parts;

/* One tuple (sequence number, format, length, value) as the reader hands it
 * out.  Offsets count from the first byte given to the reader. */
typedef struct rde_bej_tuple {
	size_t offset;            /* of the tuple's sequence-number field */
	unsigned depth;           /* 0 at the top; +1 in a set, array or annotation */
	uint64_t index;           /* position among its parent's members; 0 at the
				     top and for the inner tuple of an annotation */
	uint64_t sequence_number; /* the field without its selector bit */
	unsigned selector;        /* 1: annotation dictionary, 0: schema dictionary */
	uint8_t format;           /* data type in the high nibble, flags below */
	uint64_t length;          /* number of value bytes */
	size_t value_offset;
	const uint8_t *value; /* the value bytes, borrowed from the caller */
	/* The value read by data type (the other members are 0): */
	union {
		uint64_t child_count; /* set, array */
		struct {
			int64_t value; /* two's complement bits */
			bool negative; /* clear with value < 0: a 9-byte number >= 2^63 */
		} integer;
		uint64_t enum_option; /* the option's sequence number */
		bool boolean;
		uint32_t resource_link;
		rde_bej_real_parts real;
	} data; /* strings and bytestrings are `value` */
} rde_bej_tuple;

/* Called for every tuple in stream order: a set's or array's members after
 * it, an annotation's inner tuple after the outer one.  Non-zero stops. */
typedef int (*rde_bej_tuple_handler)(const rde_bej_tuple *tuple, void *user_data);

/* Walks a BEJ encoding: its header (stored in *header when not NULL), then one
 * tuple that must use up the rest.  Returns 0, the handler's non-zero value,
 * or -EINVAL at the first malformed byte with *error (when not NULL) set. */
int rde_bej_read_encoding(const uint8_t *bytes, size_t length, rde_bej_encoding_header *header,
			  rde_bej_tuple_handler handler, void *user_data,
			  rde_bej_read_error *error);

/* Walks a bare stream of tuples without header (a value cut out of an
 * encoding), one after the other to the end; returns like the above. */
int rde_bej_read_tuples(const uint8_t *bytes, size_t length, rde_bej_tuple_handler handler,
			void *user_data, rde_bej_read_error *error);

/* The property among whose children (rde_bej_property_find_child) the
 * decoder resolves a tuple below parent (NULL for the inner tuple of a
 * property annotation): parent, or the annotation dictionary's root for a
 * tuple that selects it outside a value of that dictionary or as a
 * top-level annotation; NULL when that dictionary is not registered. */
const rde_bej_property *rde_bej_tuple_scope(const rde_bej_context *context,
					    const rde_bej_property *parent,
					    const rde_bej_tuple *tuple);

/* Reads one nnint (a length byte, then that many bytes, least significant
 * first) into *value.  Returns the bytes it takes, or -EINVAL when malformed. */
int rde_bej_read_nnint(const uint8_t *bytes, size_t length, uint64_t *value);

/* The header of dictionary bytes, fields in host order. */
typedef struct rde_bej_dictionary_header {
	uint8_t version_tag;
	uint8_t dictionary_flags;
	uint16_t entry_count;
	uint32_t schema_version;
	uint32_t dictionary_size; /* as written; the size given is what counts */
} rde_bej_dictionary_header;

/* One dictionary entry, fields in host order, with what they lead to. */
typedef struct rde_bej_dictionary_entry {
	uint16_t index; /* position in the entry table */
	uint8_t format; /* data type in the high nibble, flags below */
	uint16_t sequence_number;
	uint16_t child_pointer_offset;
	uint16_t child_count;
	uint8_t name_length; /* with the terminating NUL */
	uint16_t name_offset;
	const char *name;    /* inside the bytes, or NULL when not valid */
	int32_t first_child; /* entry index of the first child, or -1 when
				there are none or the range leaves the table */
} rde_bej_dictionary_entry;

/* Reads the header of size dictionary bytes.  Returns 0, or -EINVAL with
 * *error (when not NULL) set when the bytes cannot hold it. */
int rde_bej_read_dictionary_header(const void *data, size_t size, rde_bej_dictionary_header *header,
				   rde_bej_read_error *error);

/* Reads entry index of size dictionary bytes; the name points into data.
 * Returns 0, or -EINVAL with *error set when the entry is not there. */
int rde_bej_read_dictionary_entry(const void *data, size_t size, unsigned index,
				  rde_bej_dictionary_entry *entry, rde_bej_read_error *error);

/* The bytes of a registered dictionary (the library's copy, owned by the
 * dictionary), their number stored in *size; for the two readers above. */
const uint8_t *rde_bej_dictionary_get_data(const rde_bej_dictionary *dictionary, size_t *size);

#ifdef __cplusplus
}
#endif

#endif /* LIBRDE_RDE_BEJ_H */
