// The thin layer between the environment store and the operating system.
// Every call that names a path or reaches a device goes through the current
// layer, which is the real Linux one unless a test installs its own
// (simulated flash, UBI volumes, block devices).
#ifndef FW_ENV_DEVICE_H
#define FW_ENV_DEVICE_H

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <sys/types.h>

struct env_io {
	int (*open)(const char *path, int flags, mode_t mode);
	int (*close)(int fd);
	ssize_t (*read)(int fd, void *buf, size_t len);
	ssize_t (*write)(int fd, const void *buf, size_t len);
	// lseek with 64-bit offsets on every target; -1 on failure
	int64_t (*seek)(int fd, int64_t offset, int whence);
	// st_mode of an open file
	int (*file_mode)(int fd, mode_t *mode);
	int (*ioctl)(int fd, unsigned long request, void *arg);
	int (*fsync)(int fd);
	int (*rename)(const char *from, const char *to);
	int (*mkstemp)(char *path_template);
	DIR *(*opendir)(const char *path);
	FILE *(*fopen)(const char *path, const char *mode);
};

// The layer in use.
const env_io &env_io_current();

// The real Linux layer.
const env_io &env_io_linux();

// Test hook: installs another layer; nullptr brings back the real one.
void env_io_install(const env_io *io);

#endif
