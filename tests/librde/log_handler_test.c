/* A daemon that logs through its own logger: it installs a handler that
 * keeps each library message with its level, and standard error stays
 * quiet until the handler is removed again.  Exits non-zero with a message
 * on the first difference. */
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

/* Root set "R" with no members. */
static const uint8_t schema[] = {
	0x00, 0x00, 0x01, 0x00, 0x00, 0xf0, 0xf0, 0xf1, 0x18, 0x00, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x16, 0x00, 'R',  0,
};

static void set_level(const char *level)
{
	CHECK(setenv("LIBRDE_LOG_LEVEL", level, 1) == 0);
	rde_bej_init();
}

int main(void)
{
	/* Standard error goes to a file, to see what reaches it. */
	FILE *captured = tmpfile();
	CHECK(captured && dup2(fileno(captured), 2) == 2);

	struct journal journal = {0};
	rde_bej_set_log_handler(keep, &journal);
	set_level("debug");
	rde_bej_context *context = rde_bej_context_new();
	CHECK(rde_bej_add_dictionary(context, 0, NULL, schema, 11) == -EINVAL);
	CHECK(rde_bej_add_dictionary(context, 0, NULL, schema, sizeof schema) == 0);
	CHECK(journal.count == 3);
	CHECK(journal.levels[0] == RDE_BEJ_LOG_ERROR);
	CHECK(strcmp(journal.messages[0], "Invalid length of the dictionary") == 0);
	CHECK(strcmp(journal.messages[1], "Failed to parse the dictionary") == 0);
	CHECK(journal.levels[2] == RDE_BEJ_LOG_DEBUG);
	CHECK(strcmp(journal.messages[2], "Adding dictionary 'R'") == 0);

	/* The threshold still applies; a long message arrives whole. */
	set_level("error");
	char name[2001];
	memset(name, 'x', 2000);
	name[2000] = '\0';
	rde_bej_value *root = NULL;
	const uint8_t empty[] = {0x00, 0xf0, 0xf0, 0xf1, 0x00, 0x00, 0x00,
				 0x01, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00};
	CHECK(rde_bej_decode(context, name, 0, empty, sizeof empty, NULL, &root) == -ENOENT);
	CHECK(journal.count == 4);
	CHECK(strncmp(journal.messages[3], "Couldn't find dictionary named xxx", 34) == 0);
	CHECK(strlen(journal.messages[3]) == strlen("Couldn't find dictionary named ") + 2000);
	fflush(stderr);
	CHECK(ftell(captured) == 0);

	/* Without the handler messages go to standard error again. */
	rde_bej_set_log_handler(NULL, NULL);
	CHECK(rde_bej_decode(context, "Nope", 0, empty, sizeof empty, NULL, &root) == -ENOENT);
	fflush(stderr);
	char line[80] = "";
	rewind(captured);
	CHECK(fgets(line, sizeof line, captured) != NULL);
	CHECK(strcmp(line, "librde[error]: Couldn't find dictionary named Nope\n") == 0);
	CHECK(journal.count == 4);
	rde_bej_context_free(context);
	return 0;
}
