#include "sim_device.h"

#include "device.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/fs.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>

namespace {

struct open_file {
	sim_device *dev;
	int64_t pos;
};

std::map<std::string, std::unique_ptr<sim_device>> devices;
std::map<int, open_file> files;
std::vector<std::pair<std::string, std::string>> redirects;
int64_t budget = -1;

std::string mapped(const char *path)
{
	std::string p = path;
	for (const auto &r : redirects)
		if (p.compare(0, r.first.size(), r.first) == 0)
			return r.second + p.substr(r.first.size());
	return p;
}

open_file *find(int fd)
{
	auto it = files.find(fd);
	return it == files.end() ? nullptr : &it->second;
}

// Takes up to len bytes of the write budget; returns how many may be written.
size_t take_budget(size_t len)
{
	if (budget < 0)
		return len;
	size_t n = len < static_cast<uint64_t>(budget) ? len : static_cast<size_t>(budget);
	budget -= static_cast<int64_t>(n);
	return n;
}

int sim_open(const char *path, int flags, mode_t mode)
{
	auto it = devices.find(path);
	if (it == devices.end())
		return env_io_linux().open(mapped(path).c_str(), flags, mode);
	int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
	if (fd >= 0)
		files[fd] = {it->second.get(), 0};
	return fd;
}

int sim_close(int fd)
{
	files.erase(fd);
	return env_io_linux().close(fd);
}

ssize_t sim_read(int fd, void *buf, size_t len)
{
	open_file *f = find(fd);
	if (!f)
		return env_io_linux().read(fd, buf, len);
	sim_device &d = *f->dev;
	if (d.k == sim_device::kind::ubi && d.updating) {
		errno = EBADF;  // an interrupted volume update leaves the volume unreadable
		return -1;
	}
	if (f->pos < 0 || static_cast<uint64_t>(f->pos) >= d.data.size())
		return 0;
	size_t n = std::min<uint64_t>(len, d.data.size() - f->pos);
	memcpy(buf, d.data.data() + f->pos, n);
	f->pos += n;
	return static_cast<ssize_t>(n);
}

ssize_t sim_write(int fd, const void *buf, size_t len)
{
	open_file *f = find(fd);
	if (!f)
		return env_io_linux().write(fd, buf, len);
	sim_device &d = *f->dev;
	if (f->pos < 0 || static_cast<uint64_t>(f->pos) + len > d.data.size()) {
		errno = ENOSPC;
		return -1;
	}
	if (d.k == sim_device::kind::mtd && d.mtd_type == 4 &&
	    d.bad_blocks.count(static_cast<uint64_t>(f->pos) / d.erase_size)) {
		errno = EIO;
		return -1;
	}
	size_t n = take_budget(len);
	if (n == 0) {
		errno = EIO;
		return -1;
	}
	const uint8_t *src = static_cast<const uint8_t *>(buf);
	uint8_t *dst = d.data.data() + f->pos;
	for (size_t i = 0; i < n; i++) {
		if (d.k == sim_device::kind::mtd && d.mtd_type != 6) {
			// Flash programming only clears bits.
			if ((dst[i] & src[i]) != src[i])
				d.write_violations++;
			dst[i] &= src[i];
		} else {
			dst[i] = src[i];
		}
	}
	f->pos += n;
	if (d.updating) {
		d.update_left -= std::min<uint64_t>(d.update_left, n);
		if (d.update_left == 0)
			d.updating = false;
	}
	return static_cast<ssize_t>(n);
}

int64_t sim_seek(int fd, int64_t offset, int whence)
{
	open_file *f = find(fd);
	if (!f)
		return env_io_linux().seek(fd, offset, whence);
	int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : f->dev->data.size();
	if (base + offset < 0) {
		errno = EINVAL;
		return -1;
	}
	return f->pos = base + offset;
}

int sim_file_mode(int fd, mode_t *mode)
{
	open_file *f = find(fd);
	if (!f)
		return env_io_linux().file_mode(fd, mode);
	*mode = (f->dev->k == sim_device::kind::block ? S_IFBLK : S_IFCHR) | 0600;
	return 0;
}

int sim_ioctl(int fd, unsigned long request, void *arg)
{
	open_file *f = find(fd);
	if (!f)
		return env_io_linux().ioctl(fd, request, arg);
	sim_device &d = *f->dev;
	bool mtd = d.k == sim_device::kind::mtd;
	if (mtd && request == MEMGETINFO) {
		auto *info = static_cast<mtd_info_user *>(arg);
		*info = {};
		info->type = d.mtd_type;
		info->size = static_cast<uint32_t>(d.data.size());
		info->erasesize = d.erase_size;
		info->writesize = 1;
		return 0;
	}
	if (mtd && request == MEMGETBADBLOCK) {
		int64_t pos = *static_cast<const int64_t *>(arg);
		if (pos < 0 || static_cast<uint64_t>(pos) >= d.data.size()) {
			errno = EINVAL;
			return -1;
		}
		return d.bad_blocks.count(static_cast<uint64_t>(pos) / d.erase_size) ? 1 : 0;
	}
	if (mtd && request == MEMERASE) {
		const auto *e = static_cast<const erase_info_user *>(arg);
		if (e->start % d.erase_size || e->length % d.erase_size ||
		    uint64_t(e->start) + e->length > d.data.size() ||
		    (d.mtd_type == 4 && d.bad_blocks.count(e->start / d.erase_size))) {
			errno = EIO;
			return -1;
		}
		if (budget == 0) {  // the power is already gone
			errno = EIO;
			return -1;
		}
		memset(d.data.data() + e->start, 0xFF, e->length);
		d.erases++;
		return 0;
	}
	if (mtd && (request == MEMLOCK || request == MEMUNLOCK))
		return 0;
	if (d.k == sim_device::kind::block && request == BLKGETSIZE64) {
		*static_cast<uint64_t *>(arg) = d.data.size();
		return 0;
	}
	if (d.k == sim_device::kind::ubi && request == UBI_IOCEBISMAP)
		return 1;
	if (d.k == sim_device::kind::ubi && request == UBI_IOCVOLUP) {
		int64_t bytes = *static_cast<const int64_t *>(arg);
		if (bytes < 0 || static_cast<uint64_t>(bytes) > d.data.size() || budget == 0) {
			errno = EINVAL;
			return -1;
		}
		std::fill(d.data.begin(), d.data.end(), 0xFF);
		d.updating = bytes > 0;
		d.update_left = static_cast<uint64_t>(bytes);
		return 0;
	}
	errno = ENOTTY;
	return -1;
}

int sim_fsync(int fd)
{
	if (find(fd))
		return 0;
	return env_io_linux().fsync(fd);
}

int sim_rename(const char *from, const char *to)
{
	return env_io_linux().rename(mapped(from).c_str(), mapped(to).c_str());
}

DIR *sim_opendir(const char *path) { return env_io_linux().opendir(mapped(path).c_str()); }
FILE *sim_fopen(const char *path, const char *mode) { return env_io_linux().fopen(mapped(path).c_str(), mode); }

env_io make_sim_io()
{
	env_io io = env_io_linux();
	io.open = sim_open;
	io.close = sim_close;
	io.read = sim_read;
	io.write = sim_write;
	io.seek = sim_seek;
	io.file_mode = sim_file_mode;
	io.ioctl = sim_ioctl;
	io.fsync = sim_fsync;
	io.rename = sim_rename;
	io.opendir = sim_opendir;
	io.fopen = sim_fopen;
	return io;
}

env_io sim_io;

sim_device &add(const std::string &path, sim_device d)
{
	auto &slot = devices[path];
	slot = std::make_unique<sim_device>(std::move(d));
	return *slot;
}

}  // namespace

namespace sim {

void install()
{
	uninstall();
	sim_io = make_sim_io();
	env_io_install(&sim_io);
}

void uninstall()
{
	env_io_install(nullptr);
	for (auto &f : files)
		::close(f.first);
	files.clear();
	devices.clear();
	redirects.clear();
	budget = -1;
}

sim_device &add_mtd(const std::string &path, uint8_t type, uint32_t erase_size, size_t size)
{
	sim_device d;
	d.mtd_type = type;
	d.erase_size = erase_size;
	d.data.assign(size, 0xFF);
	return add(path, std::move(d));
}

sim_device &add_ubi(const std::string &path, size_t size)
{
	sim_device d;
	d.k = sim_device::kind::ubi;
	d.data.assign(size, 0xFF);
	return add(path, std::move(d));
}

sim_device &add_block(const std::string &path, size_t size)
{
	sim_device d;
	d.k = sim_device::kind::block;
	d.data.assign(size, 0);
	return add(path, std::move(d));
}

sim_device &device(const std::string &path) { return *devices.at(path); }

void redirect(const std::string &from, const std::string &to) { redirects.emplace_back(from, to); }

void set_write_budget(int64_t bytes) { budget = bytes; }

int64_t write_budget() { return budget; }

int open_devices() { return static_cast<int>(files.size()); }

}  // namespace sim
