/*
 * A library preloaded into bejconv that calls the exported environment
 * functions from its constructor, as the program's real clients do, and
 * prints what they return. What to call comes from the environment:
 *   FW_ENV_PRELOAD_CRC     text whose crc32 is printed
 *   FW_ENV_PRELOAD_SET     words for fw_env_set (name, then value words)
 *   FW_ENV_PRELOAD_CONFIG  configuration file for fw_env_set (default: none)
 *   FW_ENV_PRELOAD_GET     name for fw_getenv
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fw_env/fw_env.h"

__attribute__((constructor)) static void preload_run(void)
{
	const char *text = getenv("FW_ENV_PRELOAD_CRC");
	const char *set = getenv("FW_ENV_PRELOAD_SET");
	const char *config = getenv("FW_ENV_PRELOAD_CONFIG");
	const char *get = getenv("FW_ENV_PRELOAD_GET");

	printf("exported=%d\n", dlsym(RTLD_DEFAULT, "fw_getenv") && dlsym(RTLD_DEFAULT, "fw_env_set") &&
					dlsym(RTLD_DEFAULT, "crc32"));
	if (text)
		printf("crc32=%08x\n", (unsigned)crc32(0, (const uint8_t *)text, strlen(text)));
	if (set) {
		char *copy = strdup(set);
		char *argv[16];
		int argc = 0;
		for (char *w = strtok(copy, " "); w && argc < 15; w = strtok(NULL, " "))
			argv[argc++] = w;
		argv[argc] = NULL;
		struct env_options opts = {config, NULL};
		printf("set=%d\n", fw_env_set(argc, argv, config ? &opts : NULL));
		free(copy);
	}
	if (get) {
		const char *value = fw_getenv(get);
		printf("get=%s\n", value ? value : "(none)");
	}
	fflush(stdout);
}
