// Configuration file, device probing and geometry.
#include "fw_env_internal.h"
#include "device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>

env_device envdevices[2];
int env_dev_count;
bool env_redundant;

namespace {

constexpr char ubi_prefix[] = "/dev/ubi";
constexpr char ubi_sysfs[] = "/sys/class/ubi";

constexpr env_options default_options = {"/etc/fw_env.config", nullptr};

uint32_t clamp32(unsigned long v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// Replaces "/dev/ubiN:NAME" by "/dev/ubiN_V" when volume V of device N is
// called NAME; otherwise by "/dev/ubiN" with a message.
void ubi_lookup_volume(env_device &dev)
{
	const env_io &io = env_io_current();
	char *colon = strchr(dev.path, ':');
	*colon = '\0';
	const char *volume = colon + 1;

	bool found = false;
	char *end = nullptr;
	const char *num = dev.path + strlen(ubi_prefix);
	errno = 0;
	long devnum = strtol(num, &end, 10);
	DIR *dir = nullptr;
	if (end != num && *end == '\0' && errno == 0 && devnum >= 0 && devnum <= INT32_MAX)
		dir = io.opendir(ubi_sysfs);
	if (dir) {
		while (struct dirent *entry = io.readdir(dir)) {
			int d = -1, v = -1;
			if (sscanf(entry->d_name, "ubi%d_%d", &d, &v) != 2 || d != devnum || v < 0)
				continue;
			char file[512];
			snprintf(file, sizeof file, "%s/%s/name", ubi_sysfs, entry->d_name);
			FILE *f = io.fopen(file, "r");
			if (!f)
				continue;
			char *name = nullptr;
			int ret = fscanf(f, "%ms", &name);
			fclose(f);
			if (ret != 1 || !name) {
				fprintf(stderr, "Failed to read from file %s, ret = %d, name = %s\n", file, ret,
					name ? name : "(null)");
				free(name);
				continue;
			}
			bool match = strcmp(name, volume) == 0;
			free(name);
			if (!match)
				continue;
			char *renamed = nullptr;
			if (asprintf(&renamed, "%s_%d", dev.path, v) >= 0) {
				free(dev.path);
				dev.path = renamed;
				found = true;
			}
			break;
		}
		io.closedir(dir);
	}
	if (!found)
		fprintf(stderr, "Didn't found ubi volume \"%s\"\n", volume);
}

}  // namespace

const env_options *env_default_options() { return &default_options; }

uint64_t env_range_size(const env_device &dev)
{
	return static_cast<uint64_t>(dev.sector_count) * dev.erase_size;
}

int env_device_probe(int idx)
{
	const env_io &io = env_io_current();
	env_device &dev = envdevices[idx];
	dev.mtd_type = ENV_MTD_ABSENT;
	dev.is_ubi = strncmp(dev.path, ubi_prefix, strlen(ubi_prefix)) == 0;
	if (dev.is_ubi && strchr(dev.path, ':'))
		ubi_lookup_volume(dev);

	int fd = io.open(dev.path, O_RDONLY, 0);
	if (fd < 0) {
		fprintf(stderr, "Cannot open %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	int rc = -1;
	mode_t mode = 0;
	if (io.file_mode(fd, &mode) < 0) {
		fprintf(stderr, "Cannot stat the file %s\n", dev.path);
		goto out;
	}
	if (dev.is_ubi) {
		int32_t lnum = 0;
		if (io.ioctl(fd, UBI_IOCEBISMAP, &lnum) < 0) {
			fprintf(stderr, "Cannot get UBI information for %s\n", dev.path);
			goto out;
		}
	} else if (S_ISCHR(mode)) {
		struct mtd_info_user info = {};
		if (io.ioctl(fd, MEMGETINFO, &info) < 0) {
			fprintf(stderr, "Cannot get MTD information for %s\n", dev.path);
			goto out;
		}
		if (info.type != MTD_NORFLASH && info.type != MTD_NANDFLASH &&
		    info.type != MTD_DATAFLASH && info.type != MTD_UBIVOLUME) {
			fprintf(stderr, "Unsupported flash type %u on %s\n", unsigned(info.type), dev.path);
			goto out;
		}
		dev.mtd_type = info.type;
		if (dev.erase_size == 0)
			dev.erase_size = dev.env_size;
	} else {
		if (dev.erase_size == 0)
			dev.erase_size = 512;
		if (dev.offset < 0) {
			uint64_t size = 0;
			if (io.ioctl(fd, BLKGETSIZE64, &size) < 0) {
				fprintf(stderr, "Could not get block device size on %s\n", dev.path);
				goto out;
			}
			dev.offset += size > INT64_MAX ? INT64_MAX : static_cast<int64_t>(size);
		}
	}

	// The image must hold its header and at least the end of the list.
	if (dev.env_size <= (env_redundant ? 5u : 4u)) {
		fprintf(stderr, "Environment size %u is too small\n", unsigned(dev.env_size));
		errno = EINVAL;
		goto out;
	}
	// A UBI volume given without an erase size is one block of the image size.
	if (dev.erase_size == 0)
		dev.erase_size = dev.env_size;
	if (dev.sector_count == 0)
		dev.sector_count = static_cast<uint32_t>(
			(static_cast<uint64_t>(dev.env_size) + dev.erase_size - 1) / dev.erase_size);
	if (dev.offset % static_cast<int64_t>(dev.erase_size) != 0) {
		fprintf(stderr, "Environment does not start on (erase) block boundary\n");
		errno = EINVAL;
		goto out;
	}
	if (dev.env_size > env_range_size(dev)) {
		fprintf(stderr, "Environment does not fit into available sectors\n");
		errno = EINVAL;
		goto out;
	}
	rc = 0;
out:
	io.close(fd);
	return rc;
}

int env_config_read(const env_options *opts)
{
	const env_io &io = env_io_current();
	// A record without a path means the default file.
	const char *file = opts && opts->config_file ? opts->config_file : default_options.config_file;
	FILE *f = io.fopen(file, "r");
	if (!f) {
		fprintf(stderr, "Cannot parse config file '%s': %s\n", file, strerror(errno));
		return -EINVAL;
	}
	int count = 0;
	char *line = nullptr;
	size_t cap = 0;
	while (count < 2 && getline(&line, &cap, f) >= 0) {
		if (line[0] == '#')
			continue;
		char *path = nullptr;
		long long offset = 0;
		unsigned long env_size = 0, erase_size = 0, sectors = 0;
		int n = sscanf(line, "%ms %lli %lx %lx %lx", &path, &offset, &env_size, &erase_size,
			       &sectors);
		if (n < 3) {
			free(path);
			continue;
		}
		env_device &dev = envdevices[count++];
		free(dev.path);
		dev.path = path;
		dev.offset = offset;
		dev.env_size = clamp32(env_size);
		// Fields a shorter line leaves out keep the previous load's values.
		if (n >= 4)
			dev.erase_size = clamp32(erase_size);
		if (n >= 5)
			dev.sector_count = clamp32(sectors);
	}
	free(line);
	fclose(f);
	env_dev_count = count;
	env_redundant = count == 2;
	if (count == 0) {
		fprintf(stderr, "Cannot parse config file '%s': %s\n", file, strerror(EINVAL));
		errno = EINVAL;
		return -EINVAL;
	}
	if (env_device_probe(0) < 0)
		return -EINVAL;
	if (env_redundant) {
		if (env_device_probe(1) < 0)
			return -EINVAL;
		if (envdevices[0].env_size != envdevices[1].env_size) {
			fprintf(stderr, "Redundant environments have unequal size");
			return -EINVAL;
		}
	}
	return 0;
}
