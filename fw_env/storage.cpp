// Reading and writing one copy of the image on its device: MTD erase blocks
// with bad-block skipping and lock handling, UBI volume updates, block
// devices and files written in place, and a single file replaced whole.
#include "device.h"
#include "fw_env_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>

namespace {

// pos + n without signed overflow: a position pushed past the largest
// offset wraps negative and then fails the range check or the seek.
int64_t advance(int64_t pos, uint64_t n)
{
	return static_cast<int64_t>(static_cast<uint64_t>(pos) + n);
}

// True when [pos, pos + len) lies inside the reserved range of dev.
bool in_range(const env_device &dev, int64_t pos, uint64_t len)
{
	if (pos < dev.offset)
		return false;
	uint64_t range = env_range_size(dev);
	uint64_t start = static_cast<uint64_t>(pos) - static_cast<uint64_t>(dev.offset);
	return start <= range && len <= range - start;
}

// 1 when the NAND block at pos is bad, 0 when good, -1 after a message.
int bad_block(int fd, int64_t pos)
{
	loff_t where = pos;
	int bad = env_io_current().ioctl(fd, MEMGETBADBLOCK, &where);
	if (bad < 0)
		fprintf(stderr, "Cannot read bad block mark: %s\n", strerror(errno));
	return bad < 0 ? -1 : bad != 0;
}

// Reads exactly len bytes at pos. 0 or -1 after a message.
int read_at(int fd, const env_device &dev, int64_t pos, uint8_t *buf, size_t len)
{
	const env_io &io = env_io_current();
	if (io.seek(fd, pos, SEEK_SET) != pos) {
		fprintf(stderr, "Read error on %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	size_t got = 0;
	while (got < len) {
		ssize_t r = io.read(fd, buf + got, len - got);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0) {
			if (r == 0)
				errno = EIO;  // the device or file ends early
			fprintf(stderr, "Read error on %s: %s\n", dev.path, strerror(errno));
			return -1;
		}
		got += static_cast<size_t>(r);
	}
	return 0;
}

// Reads count bytes of dev (open as fd) from its offset into buf, skipping
// bad NAND blocks and staying inside the reserved range. 0 or -1.
int read_mtd_or_file(int fd, const env_device &dev, uint8_t *buf, size_t count)
{
	int64_t pos = dev.offset;
	size_t done = 0;
	bool nand = dev.mtd_type == ENV_MTD_NANDFLASH;
	while (done < count) {
		size_t piece = count - done;
		int64_t block = pos;
		if (nand) {
			uint64_t within = static_cast<uint64_t>(pos) % dev.erase_size;
			block = pos - static_cast<int64_t>(within);
			if (piece > dev.erase_size - within)
				piece = dev.erase_size - within;
		}
		if (!in_range(dev, pos, piece)) {
			fprintf(stderr, "Too few good blocks within range\n");
			return -1;
		}
		int bad = nand ? bad_block(fd, block) : 0;
		if (bad < 0)
			return -1;
		if (bad) {
			pos = advance(block, dev.erase_size);
			continue;
		}
		if (read_at(fd, dev, pos, buf + done, piece) < 0)
			return -1;
		done += piece;
		pos = advance(pos, piece);
	}
	return 0;
}

int read_ubi(int fd, uint8_t *buf, size_t count)
{
	size_t done = 0;
	while (done < count) {
		ssize_t r = env_io_current().read(fd, buf + done, count - done);
		if (r < 0 && errno == EINTR)
			continue;
		if (r == 0) {
			fprintf(stderr, "Warning: end of data on ubi volume\n");
			return 0;
		}
		if (r < 0 && errno == EBADF) {
			fprintf(stderr, "Warning: corrupted volume?\n");
			return 0;
		}
		if (r < 0) {
			fprintf(stderr, "Cannot read %u bytes from ubi volume, %s\n",
				unsigned(count - done), strerror(errno));
			return -1;
		}
		done += static_cast<size_t>(r);
	}
	return 0;
}

// Reads the copy of device idx into image (env_size bytes). 0 or -1.
int read_copy(int idx, uint8_t *image)
{
	const env_io &io = env_io_current();
	env_device &dev = envdevices[idx];
	int fd = io.open(dev.path, O_RDONLY, 0);
	if (fd < 0) {
		fprintf(stderr, "Can't open %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	int rc;
	if (dev.is_ubi) {
		dev.mtd_type = ENV_MTD_ABSENT;
		rc = read_ubi(fd, image, dev.env_size);
	} else {
		rc = read_mtd_or_file(fd, dev, image, dev.env_size);
	}
	if (io.close(fd) < 0) {
		fprintf(stderr, "I/O error on %s: %s\n", dev.path, strerror(errno));
		rc = -1;
	}
	return rc;
}

// Writes len bytes, retrying interrupted and partial writes: how many went.
ssize_t write_all(int fd, const uint8_t *buf, size_t len)
{
	size_t done = 0;
	while (done < len) {
		ssize_t w = env_io_current().write(fd, buf + done, len - done);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			break;
		done += static_cast<size_t>(w);
	}
	return static_cast<ssize_t>(done);
}

int write_ubi(int fd, const char *path, const uint8_t *image, size_t len)
{
	const env_io &io = env_io_current();
	int64_t bytes = static_cast<int64_t>(len);
	if (io.ioctl(fd, UBI_IOCVOLUP, &bytes) < 0) {
		fprintf(stderr, "Cannot start a volume update on %s: %s\n", path, strerror(errno));
		return -1;
	}
	size_t done = 0;
	while (done < len) {
		ssize_t w = io.write(fd, image + done, len - done);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0) {
			fprintf(stderr, "Cannot write %u bytes to ubi volume\n",
				unsigned(len - done));
			return -1;
		}
		done += static_cast<size_t>(w);
	}
	return 0;
}

// Erases (unless DATAFLASH) and writes one step of len bytes at pos.
int write_mtd_step(int fd, const env_device &dev, int64_t pos, const uint8_t *buf, size_t len)
{
	const env_io &io = env_io_current();
	struct erase_info_user erase = {static_cast<uint32_t>(pos), static_cast<uint32_t>(len)};
	io.ioctl(fd, MEMUNLOCK, &erase);
	if (dev.mtd_type != ENV_MTD_DATAFLASH && io.ioctl(fd, MEMERASE, &erase) < 0) {
		fprintf(stderr, "MTD erase error on %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	if (io.seek(fd, pos, SEEK_SET) != pos) {
		fprintf(stderr, "Seek error on %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	if (write_all(fd, buf, len) != static_cast<ssize_t>(len)) {
		fprintf(stderr, "Write error on %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	io.ioctl(fd, MEMLOCK, &erase);
	return 0;
}

// Writes len bytes of buf block by block from the device's offset, skipping
// bad blocks.
int write_nand(int fd, const env_device &dev, const uint8_t *buf, uint64_t len)
{
	int64_t pos = dev.offset;
	for (uint64_t done = 0; done < len; pos = advance(pos, dev.erase_size)) {
		if (!in_range(dev, pos, dev.erase_size)) {
			fprintf(stderr, "End of range reached, aborting\n");
			return -1;
		}
		int bad = bad_block(fd, pos);
		if (bad < 0)
			return -1;
		if (bad)
			continue;
		if (write_mtd_step(fd, dev, pos, buf + done, dev.erase_size) < 0)
			return -1;
		done += dev.erase_size;
	}
	return 0;
}

// The range read back from the device with the image copied over its start,
// in a buffer of len bytes; nullptr after a message.
uint8_t *merge_with_range(int fd, const env_device &dev, const uint8_t *image, uint64_t len)
{
	uint8_t *merged = nullptr;
	if (len > SIZE_MAX || len > UINT32_MAX ||
	    !(merged = static_cast<uint8_t *>(malloc(static_cast<size_t>(len))))) {
		fprintf(stderr, "Cannot malloc %zu bytes: %s\n",
			static_cast<size_t>(len > SIZE_MAX ? SIZE_MAX : len), strerror(ENOMEM));
		return nullptr;
	}
	if (read_mtd_or_file(fd, dev, merged, static_cast<size_t>(len)) < 0) {
		free(merged);
		return nullptr;
	}
	memcpy(merged, image, dev.env_size);
	return merged;
}

// Writes the image to an MTD device in whole erase blocks.
int write_mtd(int fd, const env_device &dev, const uint8_t *image)
{
	bool nand = dev.mtd_type == ENV_MTD_NANDFLASH;
	uint64_t total = (static_cast<uint64_t>(dev.env_size) + dev.erase_size - 1) /
			 dev.erase_size * dev.erase_size;
	// NOR and DATAFLASH rewrite the whole reserved range in one step. The
	// blocks beyond the image keep their previous content: the range is read
	// back first and the image merged over its start.
	uint64_t len = nand ? total : env_range_size(dev);
	uint8_t *merged = nullptr;
	if (len > dev.env_size && !(merged = merge_with_range(fd, dev, image, len)))
		return -1;
	const uint8_t *buf = merged ? merged : image;
	int rc;
	if (nand) {
		rc = write_nand(fd, dev, buf, len);
	} else if (!in_range(dev, dev.offset, len)) {
		fprintf(stderr, "End of range reached, aborting\n");
		rc = -1;
	} else {
		rc = write_mtd_step(fd, dev, dev.offset, buf, static_cast<size_t>(len));
	}
	free(merged);
	return rc;
}

// Writes image to the target device open as fd (named path in messages).
int write_copy(int fd, const env_device &dev, const char *path, const uint8_t *image)
{
	if (dev.is_ubi)
		return write_ubi(fd, path, image, dev.env_size);
	if (dev.mtd_type != ENV_MTD_ABSENT)
		return write_mtd(fd, dev, image);
	if (env_io_current().seek(fd, dev.offset, SEEK_SET) != dev.offset) {
		fprintf(stderr, "Seek error on %s: %s\n", path, strerror(errno));
		return -1;
	}
	if (write_all(fd, image, dev.env_size) != static_cast<ssize_t>(dev.env_size)) {
		fprintf(stderr, "Write error on %s: %s\n", path, strerror(errno));
		return -1;
	}
	return 0;
}

// Gives image's copy flag its new value: active (boolean) or one newer
// (incremental).
void advance_flag(uint8_t *image)
{
	if (env_state.scheme == env_flag_scheme::boolean)
		image[4] = ENV_ACTIVE_FLAG;
	else if (env_state.scheme == env_flag_scheme::incremental)
		image[4] = static_cast<uint8_t>(image[4] + 1);
}

// Marks the current copy obsolete after the other one was written. Failing
// here leaves two active copies, and the first one wins at the next load.
void mark_obsolete(int fd, const env_device &cur)
{
	const env_io &io = env_io_current();
	struct erase_info_user lock = {static_cast<uint32_t>(cur.offset),
				       static_cast<uint32_t>(env_range_size(cur))};
	int64_t flag_pos = advance(cur.offset, 4);
	if (io.seek(fd, flag_pos, SEEK_SET) != flag_pos) {
		fprintf(stderr, "Cannot seek to set the flag on %s\n", cur.path);
		return;
	}
	io.ioctl(fd, MEMUNLOCK, &lock);
	if (io.write(fd, &env_obsolete_flag, 1) != 1)
		fprintf(stderr, "Could not set obsolete flag: %s\n", strerror(errno));
	io.ioctl(fd, MEMLOCK, &lock);
}

// Copies the whole content of the file open as src into dst, so that the
// replacement keeps whatever lies outside the environment's range.
int copy_file(int src, int dst)
{
	const env_io &io = env_io_current();
	if (io.seek(src, 0, SEEK_SET) != 0)
		return -1;
	uint8_t chunk[16384];
	for (;;) {
		ssize_t r = io.read(src, chunk, sizeof chunk);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return r < 0 ? -1 : 0;
		if (write_all(dst, chunk, static_cast<size_t>(r)) != r)
			return -1;
	}
}

void sync_device(int fd, const char *path)
{
	if (env_io_current().fsync(fd) < 0 && errno != EINVAL && errno != EROFS)
		fprintf(stderr, "fsync failed on %s: %s\n", path, strerror(errno));
}

// The files one commit writes: the current device, the target the image goes
// to (the current device itself when written in place), and the temporary
// file that replaces a single regular file.
struct commit_files {
	int current = -1;
	int target = -1;
	char *tmp_path = nullptr;
	const char *target_path = nullptr;
};

// Makes the temporary file next to path that will replace it, holding a copy
// of its content and its mode. Without one (nothing printed when no name
// could be made) the file is written in place.
void open_replacement(commit_files &f, const char *path)
{
	const env_io &io = env_io_current();
	char *copy = strdup(path);
	if (!copy || asprintf(&f.tmp_path, "%s/XXXXXX", dirname(copy)) < 0)
		f.tmp_path = nullptr;
	free(copy);
	if (!f.tmp_path)
		return;
	f.target = io.mkstemp(f.tmp_path);
	if (f.target < 0) {
		fprintf(stderr, "Can't create %s: %s\n", f.tmp_path, strerror(errno));
		free(f.tmp_path);
		f.tmp_path = nullptr;
		return;
	}
	mode_t mode = 0;
	if (io.file_mode(f.current, &mode) == 0)
		fchmod(f.target, mode & 07777);
	f.target_path = f.tmp_path;
}

bool is_regular(int fd)
{
	mode_t mode = 0;
	return env_io_current().file_mode(fd, &mode) == 0 && S_ISREG(mode);
}

// Opens the current device and the target. 0, or -1 with nothing left open.
int open_commit_files(commit_files &f, const env_device &cur, const env_device &dev)
{
	const env_io &io = env_io_current();
	f.current = io.open(cur.path, O_RDWR, 0);
	if (f.current < 0) {
		fprintf(stderr, "Can't open %s: %s\n", cur.path, strerror(errno));
		return -1;
	}
	f.target_path = dev.path;
	if (env_redundant) {
		f.target = io.open(dev.path, O_RDWR, 0);
		if (f.target < 0) {
			fprintf(stderr, "Can't open %s: %s\n", dev.path, strerror(errno));
			io.close(f.current);
			return -1;
		}
	} else if (!dev.is_ubi && dev.mtd_type == ENV_MTD_ABSENT && is_regular(f.current)) {
		open_replacement(f, dev.path);
	}
	if (f.target < 0)
		f.target = f.current;
	return 0;
}

// Gives the temporary file the configured file's name and flushes their
// directory. 0 or -1.
int replace_file(const char *tmp_path, const char *path)
{
	const env_io &io = env_io_current();
	char *copy = strdup(tmp_path);
	const char *dir = copy ? dirname(copy) : ".";
	int dfd = io.open(dir, O_RDONLY | O_DIRECTORY, 0);
	if (dfd < 0)
		fprintf(stderr, "Can't open %s: %s\n", dir, strerror(errno));
	int rc = 0;
	if (io.rename(tmp_path, path) < 0) {
		fprintf(stderr, "rename failed %s => %s: %s\n", tmp_path, path, strerror(errno));
		rc = -1;
	}
	if (dfd >= 0) {
		sync_device(dfd, dir);
		if (io.close(dfd) < 0)
			fprintf(stderr, "I/O error on %s: %s\n", dir, strerror(errno));
	}
	free(copy);
	return rc;
}

// Flushes and closes what the commit opened, renaming a temporary file into
// place after a successful write; rc is the write's result, returned with
// the closing's failures added.
int close_commit_files(commit_files &f, const env_device &cur, const char *path, int rc)
{
	const env_io &io = env_io_current();
	sync_device(f.current, cur.path);
	if (f.target != f.current) {
		sync_device(f.target, f.target_path);
		if (io.close(f.target) < 0) {
			fprintf(stderr, "I/O error on %s: %s\n", f.target_path, strerror(errno));
			rc = -1;
		}
	}
	if (f.tmp_path) {
		if (rc == 0)
			rc = replace_file(f.tmp_path, path);
		if (rc != 0)
			unlink(f.tmp_path);
		free(f.tmp_path);
	}
	if (io.close(f.current) < 0) {
		fprintf(stderr, "I/O error on %s: %s\n", cur.path, strerror(errno));
		rc = -1;
	}
	return rc;
}

// Writes image, the copy of device current, to its target; 0 or -1.
int write_image(int current, uint8_t *image)
{
	env_device &cur = envdevices[current];
	env_device &dev = envdevices[env_redundant ? 1 - current : current];
	commit_files f;
	if (open_commit_files(f, cur, dev) < 0)
		return -1;
	int rc = 0;
	if (f.tmp_path && copy_file(f.current, f.target) < 0) {
		fprintf(stderr, "Write error on %s: %s\n", f.tmp_path, strerror(errno));
		rc = -1;
	}
	if (rc == 0) {
		advance_flag(image);
		rc = write_copy(f.target, dev, f.target_path, image);
	}
	if (rc == 0 && env_state.scheme == env_flag_scheme::boolean)
		mark_obsolete(f.current, cur);
	return close_commit_files(f, cur, dev.path, rc);
}

}  // namespace

int env_device_io(env_io_mode mode, int device, uint8_t *image)
{
	if (!image)
		return -1;
	return mode == ENV_IO_READ ? read_copy(device, image) : write_image(device, image);
}
