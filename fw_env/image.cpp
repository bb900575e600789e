// The environment image: CRC-32, loading and choosing a copy, the default
// environment, and writing the image back.
#include "fw_env_internal.h"
#include "device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>

env_store env_state;

// Sixteen variables, the end of the list and one more NUL (the literal's own).
#define ENV_DEFAULT_TEXT                                                                      \
	"bootargs=console=ttyS4,115200n8 root=/dev/mtdblock2 rootfstype=squashfs rw\0"          \
	"bootcmd=bootm 20120000\0"                                                              \
	"bootdelay=2\0"                                                                         \
	"baudrate=115200\0"                                                                     \
	"ipaddr=192.168.0.99\0"                                                                 \
	"serverip=192.168.0.10\0"                                                               \
	"gatewayip=192.168.0.1\0"                                                               \
	"netmask=255.255.255.0\0"                                                               \
	"bootfile=all.bin\0"                                                                    \
	"verify=yes\0"                                                                          \
	"k_addr=0x83000000\0"                                                                   \
	"r_addr=0x81000000\0"                                                                   \
	"cpk=tftp ${k_addr} out_kernel.bin\0"                                                   \
	"cpr=tftp ${r_addr} out_rootfs_img.bin\0"                                               \
	"ramargs=setenv bootargs console=ttyS4,115200n8 mem=432M root=/dev/ram0 "               \
	"initrd=${r_addr},32M rootfstype=squashfs rw\0"                                         \
	"bootram=run cpk cpr ramargs; bootm ${k_addr}\0"                                        \
	"\0"

const char env_default[] = ENV_DEFAULT_TEXT;
const size_t env_default_size = sizeof(ENV_DEFAULT_TEXT);
static_assert(sizeof(ENV_DEFAULT_TEXT) == 510, "the default environment is 510 bytes");

namespace {

// Reflected CRC-32 (polynomial 0xEDB88320), table built at compile time.
struct crc_table {
	uint32_t v[256];
	constexpr crc_table() : v()
	{
		for (uint32_t i = 0; i < 256; i++) {
			uint32_t c = i;
			for (int k = 0; k < 8; k++)
				c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
			v[i] = c;
		}
	}
};
constexpr crc_table crc_tab;

const uint8_t obsolete_flag = 0;
constexpr uint8_t active_flag = 1;

// Header bytes before the variable area.
size_t header_size() { return env_redundant ? 5 : 4; }

uint32_t stored_crc(const uint8_t *image)
{
	uint32_t crc;
	memcpy(&crc, image, sizeof crc);
	return crc;
}

uint32_t area_crc(const uint8_t *image, size_t data_size)
{
	return crc32(0, image + header_size(), data_size);
}

bool is_regular(int fd)
{
	mode_t mode = 0;
	return env_io_current().file_mode(fd, &mode) == 0 && S_ISREG(mode);
}

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

// The default environment as it fits an area of size bytes: the leading
// variables that fit whole, then the end of the list; the rest zeroed.
// (An area smaller than the 510-byte block keeps only complete variables,
// so no value is ever cut short.)
void default_fill(char *area, size_t size)
{
	memset(area, 0, size);
	size_t pos = 0;
	for (size_t i = 0; env_default[i]; ) {
		size_t len = strlen(env_default + i) + 1;
		if (pos + len + 1 > size)
			break;
		memcpy(area + pos, env_default + i, len);
		pos += len;
		i += len;
	}
}

// Reads count bytes of dev (open as fd) from its offset into buf, skipping
// bad NAND blocks and staying inside the reserved range. 0 or -1.
int read_mtd_or_file(int fd, const env_device &dev, uint8_t *buf, size_t count)
{
	const env_io &io = env_io_current();
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
		if (nand) {
			loff_t where = block;
			int bad = io.ioctl(fd, MEMGETBADBLOCK, &where);
			if (bad < 0) {
				fprintf(stderr, "Cannot read bad block mark: %s\n", strerror(errno));
				return -1;
			}
			if (bad) {
				pos = advance(block, dev.erase_size);
				continue;
			}
		}
		if (io.seek(fd, pos, SEEK_SET) != pos) {
			fprintf(stderr, "Read error on %s: %s\n", dev.path, strerror(errno));
			return -1;
		}
		size_t got = 0;
		while (got < piece) {
			ssize_t r = io.read(fd, buf + done + got, piece - got);
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
		done += piece;
		pos = advance(pos, piece);
	}
	return 0;
}

int read_ubi(int fd, uint8_t *buf, size_t count)
{
	const env_io &io = env_io_current();
	size_t done = 0;
	while (done < count) {
		ssize_t r = io.read(fd, buf + done, count - done);
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

ssize_t write_all(int fd, const uint8_t *buf, size_t len)
{
	const env_io &io = env_io_current();
	size_t done = 0;
	while (done < len) {
		ssize_t w = io.write(fd, buf + done, len - done);
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
			fprintf(stderr, "Cannot write %u bytes to ubi volume\n", unsigned(len - done));
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

// Writes the image to an MTD device in whole erase blocks.
int write_mtd(int fd, const env_device &dev, const uint8_t *image)
{
	const env_io &io = env_io_current();
	bool nand = dev.mtd_type == ENV_MTD_NANDFLASH;
	uint64_t range = env_range_size(dev);
	uint64_t total = (static_cast<uint64_t>(dev.env_size) + dev.erase_size - 1) /
			 dev.erase_size * dev.erase_size;
	// NOR and DATAFLASH rewrite the whole reserved range in one step. The
	// blocks beyond the image keep their previous content: the range is read
	// back first and the image merged over its start.
	uint64_t write_len = nand ? total : range;
	const uint8_t *buf = image;
	uint8_t *merged = nullptr;
	if (write_len > dev.env_size) {
		if (write_len > SIZE_MAX || write_len > UINT32_MAX ||
		    !(merged = static_cast<uint8_t *>(malloc(static_cast<size_t>(write_len))))) {
			fprintf(stderr, "Cannot malloc %zu bytes: %s\n",
				static_cast<size_t>(write_len > SIZE_MAX ? SIZE_MAX : write_len),
				strerror(ENOMEM));
			return -1;
		}
		if (read_mtd_or_file(fd, dev, merged, static_cast<size_t>(write_len)) < 0) {
			free(merged);
			return -1;
		}
		memcpy(merged, image, dev.env_size);
		buf = merged;
	}
	int rc = 0;
	if (!nand) {
		if (!in_range(dev, dev.offset, write_len)) {
			fprintf(stderr, "End of range reached, aborting\n");
			rc = -1;
		} else {
			rc = write_mtd_step(fd, dev, dev.offset, buf, static_cast<size_t>(write_len));
		}
	} else {
		int64_t pos = dev.offset;
		uint64_t done = 0;
		while (done < write_len) {
			if (!in_range(dev, pos, dev.erase_size)) {
				fprintf(stderr, "End of range reached, aborting\n");
				rc = -1;
				break;
			}
			loff_t where = pos;
			int bad = io.ioctl(fd, MEMGETBADBLOCK, &where);
			if (bad < 0) {
				fprintf(stderr, "Cannot read bad block mark: %s\n", strerror(errno));
				rc = -1;
				break;
			}
			if (bad) {
				pos = advance(pos, dev.erase_size);
				continue;
			}
			rc = write_mtd_step(fd, dev, pos, buf + done, dev.erase_size);
			if (rc < 0)
				break;
			pos = advance(pos, dev.erase_size);
			done += dev.erase_size;
		}
	}
	free(merged);
	return rc;
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
		if (r < 0)
			return -1;
		if (r == 0)
			return 0;
		if (write_all(dst, chunk, static_cast<size_t>(r)) != r)
			return -1;
	}
}

void sync_device(int fd, const char *path)
{
	if (env_io_current().fsync(fd) < 0 && errno != EINVAL && errno != EROFS)
		fprintf(stderr, "fsync failed on %s: %s\n", path, strerror(errno));
}

// The device write of a commit; 0 or -1.
int write_image()
{
	const env_io &io = env_io_current();
	env_device &cur = envdevices[env_state.current];
	int target_idx = env_redundant ? 1 - env_state.current : env_state.current;
	env_device &dev = envdevices[target_idx];
	int rc = -1;
	int tfd = -1;
	char *tmp_path = nullptr;
	const char *target_path = dev.path;

	int cfd = io.open(cur.path, O_RDWR, 0);
	if (cfd < 0) {
		fprintf(stderr, "Can't open %s: %s\n", cur.path, strerror(errno));
		return -1;
	}
	if (env_redundant) {
		tfd = io.open(dev.path, O_RDWR, 0);
		if (tfd < 0) {
			fprintf(stderr, "Can't open %s: %s\n", dev.path, strerror(errno));
			io.close(cfd);
			return -1;
		}
	} else if (!dev.is_ubi && dev.mtd_type == ENV_MTD_ABSENT && is_regular(cfd)) {
		// A single regular file is replaced as a whole: the new content goes
		// to a temporary file next to it, which then takes its name.
		char *copy = strdup(dev.path);
		if (copy && asprintf(&tmp_path, "%s/XXXXXX", dirname(copy)) >= 0) {
			tfd = io.mkstemp(tmp_path);
			if (tfd < 0) {
				fprintf(stderr, "Can't create %s: %s\n", tmp_path, strerror(errno));
				free(tmp_path);
				tmp_path = nullptr;
			}
		} else {
			tmp_path = nullptr;
		}
		free(copy);
		if (tfd >= 0) {
			mode_t mode = 0;
			if (io.file_mode(cfd, &mode) == 0)
				io.fchmod(tfd, mode & 07777);
			if (copy_file(cfd, tfd) < 0) {
				fprintf(stderr, "Write error on %s: %s\n", tmp_path, strerror(errno));
				goto out;
			}
			target_path = tmp_path;
		}
	}
	if (tfd < 0)
		tfd = cfd;

	if (env_state.scheme == env_flag_scheme::boolean)
		*env_state.flag = active_flag;
	else if (env_state.scheme == env_flag_scheme::incremental)
		*env_state.flag = static_cast<uint8_t>(*env_state.flag + 1);

	if (dev.is_ubi) {
		if (write_ubi(tfd, target_path, env_state.image, dev.env_size) < 0)
			goto out;
	} else if (dev.mtd_type == ENV_MTD_ABSENT) {
		if (io.seek(tfd, dev.offset, SEEK_SET) != dev.offset) {
			fprintf(stderr, "Seek error on %s: %s\n", target_path, strerror(errno));
			goto out;
		}
		if (write_all(tfd, env_state.image, dev.env_size) != static_cast<ssize_t>(dev.env_size)) {
			fprintf(stderr, "Write error on %s: %s\n", target_path, strerror(errno));
			goto out;
		}
	} else if (write_mtd(tfd, dev, env_state.image) < 0) {
		goto out;
	}

	if (env_state.scheme == env_flag_scheme::boolean) {
		// The old copy becomes obsolete; failing here leaves two active
		// copies, and the first one wins at the next load.
		struct erase_info_user lock = {static_cast<uint32_t>(cur.offset),
					       static_cast<uint32_t>(env_range_size(cur))};
		int64_t flag_pos = advance(cur.offset, 4);
		if (io.seek(cfd, flag_pos, SEEK_SET) != flag_pos) {
			fprintf(stderr, "Cannot seek to set the flag on %s\n", cur.path);
		} else {
			io.ioctl(cfd, MEMUNLOCK, &lock);
			if (io.write(cfd, &obsolete_flag, 1) != 1)
				fprintf(stderr, "Could not set obsolete flag: %s\n", strerror(errno));
			io.ioctl(cfd, MEMLOCK, &lock);
		}
	}
	rc = 0;

out:
	sync_device(cfd, cur.path);
	if (tfd != cfd) {
		sync_device(tfd, target_path);
		if (io.close(tfd) < 0) {
			fprintf(stderr, "I/O error on %s: %s\n", target_path, strerror(errno));
			rc = -1;
		}
	}
	if (tmp_path) {
		if (rc == 0) {
			char *copy = strdup(tmp_path);
			const char *dir = copy ? dirname(copy) : ".";
			int dfd = io.open(dir, O_RDONLY | O_DIRECTORY, 0);
			if (dfd < 0)
				fprintf(stderr, "Can't open %s: %s\n", dir, strerror(errno));
			if (io.rename(tmp_path, dev.path) < 0) {
				fprintf(stderr, "rename failed %s => %s: %s\n", tmp_path, dev.path,
					strerror(errno));
				rc = -1;
			}
			if (dfd >= 0) {
				sync_device(dfd, dir);
				if (io.close(dfd) < 0)
					fprintf(stderr, "I/O error on %s: %s\n", dir, strerror(errno));
			}
			free(copy);
		}
		if (rc != 0)
			unlink(tmp_path);
		free(tmp_path);
	}
	if (io.close(cfd) < 0) {
		fprintf(stderr, "I/O error on %s: %s\n", cur.path, strerror(errno));
		rc = -1;
	}
	return rc;
}

}  // namespace

extern "C" uint32_t crc32(uint32_t crc, const uint8_t *buf, size_t len)
{
	if (len == 0 || !buf)
		return crc;
	crc = ~crc;
	for (size_t i = 0; i < len; i++)
		crc = crc_tab.v[(crc ^ buf[i]) & 0xFF] ^ (crc >> 8);
	return ~crc;
}

int env_device_io(env_io_mode mode)
{
	if (!env_state.image)
		return -1;
	if (mode == ENV_IO_READ)
		return read_copy(env_state.current, env_state.image);
	return write_image();
}

void fw_env_release(const env_options *)
{
	free(env_state.image);
	env_state = env_store{nullptr, nullptr, nullptr, 0, env_flag_scheme::none, 0};
}

int fw_env_load(const env_options *opts)
{
	fw_env_release(opts);
	if (env_config_read(opts) < 0)
		return -EINVAL;

	uint32_t size = envdevices[0].env_size;
	size_t hdr = header_size();
	uint8_t *first = static_cast<uint8_t *>(calloc(1, size));
	if (!first) {
		fprintf(stderr, "Not enough memory for environment (%llu bytes)\n",
			static_cast<unsigned long long>(size));
		return -ENOMEM;
	}
	size_t data_size = size - hdr;
	if (read_copy(0, first) < 0) {
		free(first);
		return -EIO;
	}
	bool ok0 = area_crc(first, data_size) == stored_crc(first);
	env_flag_scheme scheme = env_flag_scheme::none;
	int chosen = 0;

	if (env_redundant) {
		uint8_t *second = static_cast<uint8_t *>(calloc(1, size));
		if (!second) {
			fprintf(stderr, "Not enough memory for environment (%llu bytes)\n",
			static_cast<unsigned long long>(size));
			free(first);
			return -ENOMEM;
		}
		if (read_copy(1, second) < 0) {
			free(first);
			free(second);
			return -EIO;
		}
		uint8_t t0 = envdevices[0].mtd_type, t1 = envdevices[1].mtd_type;
		if ((t1 == ENV_MTD_NORFLASH || t1 == ENV_MTD_DATAFLASH) && t0 == t1)
			scheme = env_flag_scheme::boolean;
		else if ((t1 == ENV_MTD_NANDFLASH || t1 == ENV_MTD_UBIVOLUME) && t0 == t1)
			scheme = env_flag_scheme::incremental;
		else if (t1 == ENV_MTD_ABSENT && t0 == ENV_MTD_ABSENT &&
			 envdevices[0].is_ubi == envdevices[1].is_ubi)
			scheme = env_flag_scheme::incremental;
		if (scheme == env_flag_scheme::none) {
			fprintf(stderr, "Incompatible flash types!\n");
			free(first);
			free(second);
			return -EINVAL;
		}
		bool ok1 = area_crc(second, data_size) == stored_crc(second);
		uint8_t f0 = first[4], f1 = second[4];
		if (ok0 && !ok1) {
			chosen = 0;
		} else if (!ok0 && ok1) {
			chosen = 1;
		} else if (!ok0 && !ok1) {
			fprintf(stderr, "Warning: Bad CRC, using default environment\n");
			default_fill(reinterpret_cast<char *>(first + hdr), data_size);
			chosen = 0;
		} else if (scheme == env_flag_scheme::boolean) {
			if (f0 == active_flag && f1 == obsolete_flag)
				chosen = 0;
			else if (f0 == obsolete_flag && f1 == active_flag)
				chosen = 1;
			else if (f0 == f1 || f0 == 0xFF)
				chosen = 0;
			else if (f1 == 0xFF)
				chosen = 1;
			else
				chosen = 0;
		} else {
			if (f0 == 0xFF && f1 == 0)
				chosen = 1;
			else if ((f1 == 0xFF && f0 == 0) || f0 >= f1)
				chosen = 0;
			else
				chosen = 1;
		}
		if (chosen == 1) {
			free(first);
			first = second;
		} else {
			free(second);
		}
	} else if (!ok0) {
		fprintf(stderr, "Warning: Bad CRC, using default environment\n");
		default_fill(reinterpret_cast<char *>(first + hdr), data_size);
	}

	env_state.image = first;
	env_state.flag = env_redundant ? first + 4 : nullptr;
	env_state.data = reinterpret_cast<char *>(first + hdr);
	env_state.data_size = data_size;
	env_state.scheme = scheme;
	env_state.current = chosen;
	return 0;
}

int fw_env_commit(const env_options *)
{
	if (!env_state.image)
		return -1;
	uint32_t crc = crc32(0, reinterpret_cast<const uint8_t *>(env_state.data), env_state.data_size);
	memcpy(env_state.image, &crc, sizeof crc);
	if (env_device_io(ENV_IO_WRITE) < 0) {
		fprintf(stderr, "Error: can't write fw_env to flash\n");
		return -1;
	}
	return 0;
}

const char *env_default_get(const char *name)
{
	// Bounded like the loaded area, so that a store smaller than the default
	// block sees the same defaults it would hold.
	size_t bound = env_state.image ? env_state.data_size : env_default_size;
	if (bound > env_default_size)
		bound = env_default_size;
	size_t start = 0, end = 0;
	int found = env_find(env_default, bound, name, &start, &end);
	if (found < 0) {
		fprintf(stderr, "## Error: default environment not terminated\n");
		return nullptr;
	}
	return found ? env_default + start + strlen(name) + 1 : nullptr;
}
