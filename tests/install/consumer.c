/* A program built against the installed library with the flags of
 * "pkg-config --cflags --libs librde" alone: it registers the dictionaries
 * named on its command line, encodes a small Chassis, decodes it back and
 * prints what came back. */
#include <librde/rde_bej.h>

#include <stdio.h>
#include <stdlib.h>

static void *read_file(const char *path, size_t *size)
{
	static char buffer[2][1 << 16];
	static int used;
	FILE *f = fopen(path, "rb");
	if (!f || used == 2)
		return NULL;
	*size = fread(buffer[used], 1, sizeof buffer[used], f);
	fclose(f);
	return buffer[used++];
}

int main(int argc, char **argv)
{
	size_t schema_size, annotation_size, length;
	void *schema = argc == 3 ? read_file(argv[1], &schema_size) : NULL;
	void *annotation = argc == 3 ? read_file(argv[2], &annotation_size) : NULL;
	rde_bej_init();
	rde_bej_context *ctx = rde_bej_context_new();
	if (!schema || !annotation || rde_bej_add_dictionary(ctx, 0, NULL, schema, schema_size) ||
	    rde_bej_add_dictionary(ctx, 2, NULL, annotation, annotation_size))
		return 1;

	rde_bej_builder *builder = rde_bej_builder_new(ctx, 0, "Chassis", NULL);
	rde_bej_add_string(builder, "Id", "1U");
	rde_bej_set_begin(builder, "Status");
	rde_bej_add_enum(builder, "Health", "Warning");
	rde_bej_set_end(builder);
	uint8_t *bytes;
	rde_bej_value *root, *id, *status, *health;
	char *text;
	const char *option;
	if (rde_bej_encode(builder, &bytes, &length) ||
	    rde_bej_decode(ctx, "Chassis", 0, bytes, length, NULL, &root) ||
	    rde_bej_find(root, "Id", &id) || rde_bej_get_string(id, &text) ||
	    rde_bej_find(root, "Status", &status) || rde_bej_find(status, "Health", &health) ||
	    rde_bej_get_enum(health, &option))
		return 1;
	printf("%zu bytes: Id %s, Health %s\n", length, text, option);
	rde_bej_value_free(root);
	free(bytes);
	rde_bej_builder_free(builder);
	rde_bej_context_free(ctx);
	return 0;
}
