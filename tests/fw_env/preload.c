/*
 * A client library preloaded into bejconv: its constructor calls the
 * exported functions, as the program's clients do, on an environment file
 * it makes in FW_ENV_PRELOAD_DIR, and prints what they return.
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "fw_env/fw_env.h"

__attribute__((constructor)) static void preload_run(void)
{
	const char *dir = getenv("FW_ENV_PRELOAD_DIR");
	char env[4096], config[4096], *argv[] = {"greeting", "hello", "world", NULL};
	const uint8_t *text = (const uint8_t *)"123456789";
	if (!dir)
		return;
	snprintf(env, sizeof env, "%s/preload.env", dir);
	snprintf(config, sizeof config, "%s/preload.config", dir);
	fclose(fopen(env, "w"));
	FILE *f = fopen(config, "w");
	if (truncate(env, 0x400) != 0 || fprintf(f, "%s 0 0x400\n", env) < 0 || fclose(f) != 0)
		return;
	struct env_options opts = {config, NULL};
	printf("crc32=%08x/%08x/%u set=%d\n", (unsigned)crc32(0, text, 9),
	       (unsigned)crc32(crc32(0, text, 4), text + 4, 5), (unsigned)crc32(7, text, 0),
	       fw_env_set(3, argv, &opts));
	fflush(stdout);
}
