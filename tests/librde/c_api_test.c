/* The header compiled as C99 and the shared library linked from C, as a
 * daemon uses them: its own handler keeps the library's messages in a
 * journal, and standard error stays quiet until the handler is removed.
 * Exits non-zero with a message on the first difference. */
#define _POSIX_C_SOURCE 200809L
#include <librde/rde_bej.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define CHECK(cond)                                                                                \
	do {                                                                                       \
		if (!(cond)) {                                                                     \
			fprintf(stdout, "%s:%d: %s\n", __FILE__, __LINE__, #cond);                 \
			exit(1);                                                                   \
		}                                                                                  \
	} while (0)

/* The daemon's journal: the messages received, in order. */
struct journal {
	unsigned count;
	unsigned levels[8];
	char messages[8][2100];
};

static void keep(unsigned level, const char *message, void *user_data)
{
	struct journal *journal = user_data;
	CHECK(journal->count < 8 && strlen(message) < sizeof journal->messages[0]);
	journal->levels[journal->count] = level;
	strcpy(journal->messages[journal->count++], message);
}

/* Root set "R" holding the integer "I". */
static const uint8_t schema[] = {
	0x00, 0x00, 0x02, 0x00, 0x00, 0xf0, 0xf0, 0xf1, 0x24, 0x00, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x16, 0x00, 0x01, 0x00, 0x02, 0x20, 0x00, 0x30, 0x00,
	0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x22, 0x00, 'R',  0,    'I',  0,
};
/* R = {I = 5} */
static const uint8_t encoding[] = {0x00, 0xf0, 0xf0, 0xf1, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
				   0x01, 0x08, 0x01, 0x01, 0x01, 0x00, 0x30, 0x01, 0x01, 0x05};

int main(void)
{
	FILE *captured = tmpfile(); /* what reaches standard error */
	CHECK(captured && dup2(fileno(captured), 2) == 2);
	struct journal journal = {0};
	rde_bej_set_log_handler(keep, &journal);
	CHECK(setenv("LIBRDE_LOG_LEVEL", "debug", 1) == 0);
	rde_bej_init(); /* keeps the handler */
	rde_bej_context *context = rde_bej_context_new();
	CHECK(rde_bej_add_dictionary(context, 0, NULL, schema, 11) == -EINVAL);
	CHECK(rde_bej_add_dictionary(context, 0, NULL, schema, sizeof schema) == 0);
	CHECK(journal.count == 3 && journal.levels[0] == RDE_BEJ_LOG_ERROR &&
	      journal.levels[2] == RDE_BEJ_LOG_DEBUG);
	CHECK(strcmp(journal.messages[0], "Invalid length of the dictionary") == 0);
	CHECK(strcmp(journal.messages[1], "Failed to parse the dictionary") == 0);
	CHECK(strcmp(journal.messages[2], "Adding dictionary 'R'") == 0);

	/* The threshold still applies; a long message arrives whole. */
	CHECK(setenv("LIBRDE_LOG_LEVEL", "error", 1) == 0);
	rde_bej_init();
	rde_bej_value *root = NULL;
	int64_t number = 0;
	char *text = NULL;
	CHECK(rde_bej_decode(context, "R", 0, encoding, sizeof encoding, NULL, &root) == 0);
	rde_bej_value *i = rde_bej_get_first_child(root);
	CHECK(rde_bej_get_integer(i, &number) == 0 && number == 5);
	/* Misused accessors say why, and leave the result alone. */
	CHECK(rde_bej_get_string(i, &text) == -EINVAL && text == NULL);
	CHECK(!rde_bej_get_first_child(i) && !rde_bej_get_next_sibling(i) &&
	      !rde_bej_get_next_sibling(root));
	rde_bej_value_free(root);
	CHECK(journal.count == 6);
	CHECK(strcmp(journal.messages[3],
		     "Invalid format for property 'I' (expected string, received integer)") == 0);
	CHECK(strcmp(journal.messages[4], "Property 'I' is not an array/set, but integer") == 0);
	CHECK(strcmp(journal.messages[5], "Selected property 'R' is a root object") == 0);
	char name[2001];
	memset(name, 'x', 2000);
	name[2000] = '\0';
	CHECK(rde_bej_decode(context, name, 0, encoding, sizeof encoding, NULL, &root) == -ENOENT);
	CHECK(journal.count == 7 && strlen(journal.messages[6]) == 31 + 2000);
	CHECK(strncmp(journal.messages[6], "Couldn't find dictionary named xxx", 34) == 0);
	fflush(stderr);
	CHECK(ftell(captured) == 0);

	/* Without the handler messages go to standard error again. */
	rde_bej_set_log_handler(NULL, NULL);
	CHECK(rde_bej_decode(context, "Nope", 0, encoding, sizeof encoding, NULL, &root) ==
	      -ENOENT);
	fflush(stderr);
	char line[80] = "";
	rewind(captured);
	CHECK(fgets(line, sizeof line, captured) && journal.count == 7);
	CHECK(strcmp(line, "librde[error]: Couldn't find dictionary named Nope\n") == 0);
	/* No builder, no name, or no bytes for a size, is refused rather than followed. */
	uint32_t type = 0;
	CHECK(rde_bej_get_scope_type(NULL, &type) == -EINVAL &&
	      rde_bej_get_property_type(NULL, "I", &type) == -EINVAL && type == 0);
	CHECK(rde_bej_add_dictionary(context, 0, NULL, NULL, 1) == -EINVAL &&
	      rde_bej_decode(context, NULL, 0, encoding, sizeof encoding, NULL, &root) == -EINVAL);
	/* The library's own copy of the registered bytes, for the entry readers. */
	size_t size = 0;
	const rde_bej_dictionary *registered = rde_bej_dictionary_first(context);
	const uint8_t *copy = rde_bej_dictionary_get_data(registered, &size);
	CHECK(copy && copy != schema && size == sizeof schema && memcmp(copy, schema, size) == 0);
	CHECK(rde_bej_dictionary_get_data(registered, NULL) == copy &&
	      !rde_bej_dictionary_get_data(NULL, &size));
	rde_bej_context_free(context);
	CHECK(strcmp(rde_bej_data_type_name(13), "unknown") == 0); /* reserved */
	CHECK(rde_bej_dictionary_get_schema_type(NULL) == -1 && !rde_bej_dictionary_get_name(NULL));
	return 0;
}
