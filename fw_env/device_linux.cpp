// The real device layer: plain Linux calls.
#include "device.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int linux_open(const char *path, int flags, mode_t mode)
{
	return ::open(path, flags | O_CLOEXEC, mode);
}
int linux_close(int fd) { return ::close(fd); }
ssize_t linux_read(int fd, void *buf, size_t len) { return ::read(fd, buf, len); }
ssize_t linux_write(int fd, const void *buf, size_t len) { return ::write(fd, buf, len); }

int64_t linux_seek(int fd, int64_t offset, int whence)
{
	// off_t is 64-bit here: the unit is built with _FILE_OFFSET_BITS=64.
	static_assert(sizeof(off_t) == 8, "64-bit file offsets required");
	return ::lseek(fd, static_cast<off_t>(offset), whence);
}

int linux_file_mode(int fd, mode_t *mode)
{
	struct stat st;
	if (::fstat(fd, &st) < 0)
		return -1;
	*mode = st.st_mode;
	return 0;
}

int linux_ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
int linux_fsync(int fd) { return ::fsync(fd); }
int linux_rename(const char *from, const char *to) { return ::rename(from, to); }
int linux_mkstemp(char *path_template) { return ::mkostemp(path_template, O_CLOEXEC); }
DIR *linux_opendir(const char *path) { return ::opendir(path); }
FILE *linux_fopen(const char *path, const char *mode) { return ::fopen(path, mode); }

constexpr env_io linux_io = {
	linux_open,  linux_close, linux_read,   linux_write,   linux_seek,    linux_file_mode,
	linux_ioctl, linux_fsync, linux_rename, linux_mkstemp, linux_opendir, linux_fopen,
};

// Constant-initialised: the store may be called from a preloaded library's
// constructor, before any dynamic initialiser of this program has run.
const env_io *current_io = nullptr;

}  // namespace

const env_io &env_io_linux() { return linux_io; }
const env_io &env_io_current() { return current_io ? *current_io : linux_io; }
void env_io_install(const env_io *io) { current_io = io; }
