/* The library through its C header alone, as firmware written in C uses it:
 * register two hand-made dictionaries, encode a small resource, decode it
 * back.  Exits non-zero with a message on the first difference. */
#include <librde/rde_bej.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CHECK(cond)                                                           \
	do {                                                                  \
		if (!(cond)) {                                                \
			fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
			exit(1);                                              \
		}                                                             \
	} while (0)

/* Root set "R" holding the integer "I" (sequence 0) and the string "S" (1). */
static const uint8_t schema[] = {
	0x00, 0x00, 0x03, 0x00, 0x00, 0xf0, 0xf0, 0xf1, 0x30, 0x00, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x16, 0x00, 0x02, 0x00, 0x02, 0x2a, 0x00,
	0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x2c, 0x00,
	0x50, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x2e, 0x00,
	'R', 0, 'I', 0, 'S', 0,
};
/* An annotation dictionary whose root has no annotations. */
static const uint8_t annotation[] = {
	0x00, 0x00, 0x01, 0x00, 0x00, 0xf0, 0xf0, 0xf1, 0x21, 0x00, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0b, 0x16, 0x00,
	'a', 'n', 'n', 'o', 't', 'a', 't', 'i', 'o', 'n', 0,
};
static const uint8_t expected[] = {
	0x00, 0xf0, 0xf0, 0xf1, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x10,
	0x01, 0x02, 0x01, 0x00, 0x30, 0x01, 0x01, 0x05, 0x01, 0x02, 0x50, 0x01,
	0x03, 0x61, 0x62, 0x00,
};

int main(void)
{
	rde_bej_init();
	rde_bej_context *context = rde_bej_context_new();
	CHECK(context != NULL);
	CHECK(rde_bej_add_dictionary(context, 0, NULL, schema, sizeof schema) == 0);
	CHECK(rde_bej_add_dictionary(context, RDE_BEJ_SCHEMA_TYPE_ANNOTATION, NULL, annotation,
				     sizeof annotation) == 0);
	CHECK(strcmp(rde_bej_dictionary_get_name(rde_bej_dictionary_first(context)), "annotation") == 0);

	rde_bej_builder *builder = rde_bej_builder_new(context, 0, "R", NULL);
	CHECK(builder != NULL);
	CHECK(rde_bej_add_integer(builder, "I", 5) == 0);
	CHECK(rde_bej_add_string(builder, "S", "ab") == 0);
	uint8_t *bytes = NULL;
	size_t length = 0;
	CHECK(rde_bej_encode(builder, &bytes, &length) == 0);
	rde_bej_builder_free(builder);
	CHECK(length == sizeof expected && memcmp(bytes, expected, length) == 0);

	rde_bej_value *root = NULL;
	CHECK(rde_bej_decode(context, "R", 0, bytes, length, NULL, &root) == 0);
	free(bytes);
	rde_bej_value *child = rde_bej_get_first_child(root);
	int64_t number = 0;
	CHECK(child && strcmp(rde_bej_get_name(child), "I") == 0);
	CHECK(rde_bej_get_integer(child, &number) == 0 && number == 5);
	child = rde_bej_get_next_sibling(child);
	char *text = NULL;
	CHECK(child && rde_bej_get_string(child, &text) == 0 && strcmp(text, "ab") == 0);
	CHECK(rde_bej_get_next_sibling(child) == NULL);
	rde_bej_value_free(root);
	rde_bej_context_free(context);
	return 0;
}
