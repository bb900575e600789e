/*
 * A client library preloaded into bejconv: its constructor calls the
 * exported functions, as the program's clients do, on an environment
 * store it makes in FW_ENV_PRELOAD_DIR, and prints what they return. With
 * FW_ENV_CUT set it cuts the power in commits to file stores instead.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fw_env/fw_env.h"

static long written, cut_at = -1; /* bytes written, and the byte the power goes at */
static char store_dir[4096], store_config[4200];

/* Every write of the process: the power goes at byte cut_at, nothing flushed. */
ssize_t write(int fd, const void *buf, size_t len)
{
	size_t n = cut_at >= 0 && written + (long)len > cut_at ? (size_t)(cut_at - written) : len;
	ssize_t w = syscall(SYS_write, fd, buf, n);
	if (n < len)
		_exit(0);
	written += w > 0 ? w : 0;
	return w;
}

/* Flushing is moot when a power cut only ends the process. */
int fsync(int fd) { return fd < 0 ? -1 : 0; }

/* The store reads "/etc/fw_env.config" through fopen64: store_config stands in. */
FILE *fopen64(const char *path, const char *mode)
{
	FILE *(*real)(const char *, const char *) = dlsym(RTLD_NEXT, "fopen64");
	return real(strcmp(path, "/etc/fw_env.config") ? path : store_config, mode);
}

/* A store in an emptied store_dir: one file with one or two 64-byte copies. */
static void make_store(int copies)
{
	char path[4200];
	DIR *d = opendir(store_dir);
	for (struct dirent *e; d && (e = readdir(d));)
		unlinkat(dirfd(d), e->d_name, 0);
	closedir(d);
	snprintf(path, sizeof path, "%s/env", store_dir);
	fclose(fopen(path, "w"));
	FILE *config = fopen(store_config, "w");
	if (truncate(path, copies > 1 ? 0x240 : 0x40) == 0)
		fprintf(config, "%s 0 0x40\n%s 0x200 0x40\n", path, copies > 1 ? path : "#");
	fclose(config);
}

/* Cuts the power at every byte of a commit that sets b from "old" to "new"
 * and prints what each next load finds: o old, n new, ? anything else. */
static void sweep(int copies)
{
	char *old[] = {"b", "old", NULL}, *new[] = {"b", "new", NULL};
	int status = 0;
	make_store(copies);
	printf("power cut, %s: ", copies == 1 ? "one copy" : "two copies");
	for (long n = 0; !WIFEXITED(status) || WEXITSTATUS(status) != 3; n++) {
		fw_env_set(2, old, NULL);
		pid_t child = fork();
		if (child == 0) {
			cut_at = written + n;
			fw_env_set(2, new, NULL);
			_exit(3); /* the commit ran to its end */
		}
		waitpid(child, &status, 0);
		const char *b = fw_getenv("b");
		putchar(!b ? '?' : strcmp(b, "old") == 0 ? 'o' : strcmp(b, "new") == 0 ? 'n' : '?');
	}
	putchar('\n');
}

__attribute__((constructor)) static void preload_run(void)
{
	const char *dir = getenv("FW_ENV_PRELOAD_DIR"), *cut = getenv("FW_ENV_CUT");
	char *argv[] = {"greeting", "hello", "world", NULL};
	const uint8_t *text = (const uint8_t *)"123456789";
	if (!dir)
		return;
	snprintf(store_dir, sizeof store_dir, "%s/%s", dir, cut ? "cut" : "exports");
	snprintf(store_config, sizeof store_config, "%s.config", store_dir);
	mkdir(store_dir, 0755);
	if (cut) {
		sweep(1);
		sweep(2);
		return;
	}
	make_store(1);
	struct env_options opts = {store_config, NULL};
	printf("crc32=%08x/%08x/%u set=%d\n", (unsigned)crc32(0, text, 9),
	       (unsigned)crc32(crc32(0, text, 4), text + 4, 5), (unsigned)crc32(7, text, 0),
	       fw_env_set(3, argv, &opts));
	fflush(stdout);
}
