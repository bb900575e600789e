// Configuration file, device probing and geometry.
#include "device.h"
#include "fw_env_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include <linux/fs.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>

namespace {

constexpr char ubi_prefix[] = "/dev/ubi";
constexpr char ubi_sysfs[] = "/sys/class/ubi";

constexpr env_options default_options = {"/etc/fw_env.config", nullptr};

uint32_t clamp32(unsigned long v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// The number N of a "/dev/ubiN" path, or -1 when it is not one.
long ubi_device_number(const char *path)
{
	const char *num = path + strlen(ubi_prefix);
	char *end = nullptr;
	errno = 0;
	long devnum = strtol(num, &end, 10);
	if (end == num || *end != '\0' || errno != 0 || devnum < 0 || devnum > INT32_MAX)
		return -1;
	return devnum;
}

// Whether the sysfs entry (a volume of some device) is called volume.
bool volume_has_name(const char *entry, const char *volume)
{
	char file[512];
	snprintf(file, sizeof file, "%s/%s/name", ubi_sysfs, entry);
	FILE *f = env_io_current().fopen(file, "r");
	if (!f)
		return false;
	char *name = nullptr;
	int ret = fscanf(f, "%ms", &name);
	fclose(f);
	if (ret != 1 || !name) {
		fprintf(stderr, "Failed to read from file %s, ret = %d, name = %s\n", file, ret,
			name ? name : "(null)");
		free(name);
		return false;
	}
	bool match = strcmp(name, volume) == 0;
	free(name);
	return match;
}

// The number of the volume of UBI device devnum called volume, or -1.
int find_ubi_volume(long devnum, const char *volume)
{
	DIR *dir = env_io_current().opendir(ubi_sysfs);
	if (!dir)
		return -1;
	int found = -1;
	while (struct dirent *entry = readdir(dir)) {
		int d = -1, v = -1;
		if (sscanf(entry->d_name, "ubi%d_%d", &d, &v) != 2 || d != devnum || v < 0)
			continue;
		if (volume_has_name(entry->d_name, volume)) {
			found = v;
			break;
		}
	}
	closedir(dir);
	return found;
}

// Replaces "/dev/ubiN:NAME" by "/dev/ubiN_V" when volume V of device N is
// called NAME; otherwise by "/dev/ubiN" with a message.
void ubi_lookup_volume(env_device &dev)
{
	char *colon = strchr(dev.path, ':');
	*colon = '\0';
	const char *volume = colon + 1;
	long devnum = ubi_device_number(dev.path);
	int v = devnum < 0 ? -1 : find_ubi_volume(devnum, volume);
	char *renamed = nullptr;
	if (v >= 0 && asprintf(&renamed, "%s_%d", dev.path, v) >= 0) {
		free(dev.path);
		dev.path = renamed;
		return;
	}
	fprintf(stderr, "Didn't found ubi volume \"%s\"\n", volume);
}

int probe_ubi(int fd, const env_device &dev)
{
	int32_t lnum = 0;
	if (env_io_current().ioctl(fd, UBI_IOCEBISMAP, &lnum) < 0) {
		fprintf(stderr, "Cannot get UBI information for %s\n", dev.path);
		return -1;
	}
	return 0;
}

int probe_mtd(int fd, env_device &dev)
{
	struct mtd_info_user info = {};
	if (env_io_current().ioctl(fd, MEMGETINFO, &info) < 0) {
		fprintf(stderr, "Cannot get MTD information for %s\n", dev.path);
		return -1;
	}
	if (info.type != MTD_NORFLASH && info.type != MTD_NANDFLASH && info.type != MTD_DATAFLASH &&
	    info.type != MTD_UBIVOLUME) {
		fprintf(stderr, "Unsupported flash type %u on %s\n", unsigned(info.type), dev.path);
		return -1;
	}
	dev.mtd_type = info.type;
	if (dev.erase_size == 0)
		dev.erase_size = dev.env_size;
	return 0;
}

// A regular file or a block device.
int probe_file(int fd, env_device &dev)
{
	if (dev.erase_size == 0)
		dev.erase_size = 512;
	if (dev.offset >= 0)
		return 0;
	uint64_t size = 0;
	if (env_io_current().ioctl(fd, BLKGETSIZE64, &size) < 0) {
		fprintf(stderr, "Could not get block device size on %s\n", dev.path);
		return -1;
	}
	dev.offset += size > INT64_MAX ? INT64_MAX : static_cast<int64_t>(size);
	return 0;
}

int probe_kind(int fd, env_device &dev)
{
	mode_t mode = 0;
	if (env_io_current().file_mode(fd, &mode) < 0) {
		fprintf(stderr, "Cannot stat the file %s\n", dev.path);
		return -1;
	}
	if (dev.is_ubi)
		return probe_ubi(fd, dev);
	if (S_ISCHR(mode))
		return probe_mtd(fd, dev);
	return probe_file(fd, dev);
}

int geometry_error(const char *message)
{
	fputs(message, stderr);
	errno = EINVAL;
	return -1;
}

// Fills in the default sector count and checks that the image fits.
int check_geometry(env_device &dev)
{
	// The image must hold its header and at least the end of the list.
	if (dev.env_size <= (env_redundant ? 5u : 4u)) {
		fprintf(stderr, "Environment size %u is too small\n", unsigned(dev.env_size));
		errno = EINVAL;
		return -1;
	}
	// A UBI volume given without an erase size is one block of the image size.
	if (dev.erase_size == 0)
		dev.erase_size = dev.env_size;
	if (dev.sector_count == 0)
		dev.sector_count = static_cast<uint32_t>(
			(static_cast<uint64_t>(dev.env_size) + dev.erase_size - 1) /
			dev.erase_size);
	if (dev.offset % static_cast<int64_t>(dev.erase_size) != 0)
		return geometry_error("Environment does not start on (erase) block boundary\n");
	if (dev.env_size > env_range_size(dev))
		return geometry_error("Environment does not fit into available sectors\n");
	return 0;
}

// Takes one line of the configuration into envdevices[count]: true when it
// configures a device (a path, an offset and a size at least).
bool config_line(const char *line, int count)
{
	if (line[0] == '#')
		return false;
	char *path = nullptr;
	long long offset = 0;
	unsigned long env_size = 0, erase_size = 0, sectors = 0;
	int n = sscanf(line, "%ms %lli %lx %lx %lx", &path, &offset, &env_size, &erase_size,
		       &sectors);
	if (n < 3) {
		free(path);
		return false;
	}
	env_device &dev = envdevices[count];
	free(dev.path);
	dev.path = path;
	dev.offset = offset;
	dev.env_size = clamp32(env_size);
	// Fields a shorter line leaves out keep the previous load's values.
	if (n >= 4)
		dev.erase_size = clamp32(erase_size);
	if (n >= 5)
		dev.sector_count = clamp32(sectors);
	return true;
}

// Reads the first two device lines of f: how many there were.
int config_lines(FILE *f)
{
	int count = 0;
	char *line = nullptr;
	size_t cap = 0;
	while (count < 2 && getline(&line, &cap, f) >= 0)
		count += config_line(line, count);
	free(line);
	return count;
}

// Probes device idx: 0, or -1 after a message.
int env_device_probe(int idx)
{
	env_device &dev = envdevices[idx];
	dev.mtd_type = ENV_MTD_ABSENT;
	dev.is_ubi = strncmp(dev.path, ubi_prefix, strlen(ubi_prefix)) == 0;
	if (dev.is_ubi && strchr(dev.path, ':'))
		ubi_lookup_volume(dev);

	const env_io &io = env_io_current();
	int fd = io.open(dev.path, O_RDONLY, 0);
	if (fd < 0) {
		fprintf(stderr, "Cannot open %s: %s\n", dev.path, strerror(errno));
		return -1;
	}
	int rc = probe_kind(fd, dev);
	if (rc == 0)
		rc = check_geometry(dev);
	io.close(fd);
	return rc;
}

}  // namespace

const env_options *env_default_options() { return &default_options; }

uint64_t env_range_size(const env_device &dev)
{
	return static_cast<uint64_t>(dev.sector_count) * dev.erase_size;
}

int env_config_read(const env_options *opts)
{
	// A record without a path means the default file.
	const char *file = opts && opts->config_file ? opts->config_file
						     : default_options.config_file;
	FILE *f = env_io_current().fopen(file, "r");
	if (!f) {
		fprintf(stderr, "Cannot parse config file '%s': %s\n", file, strerror(errno));
		return -EINVAL;
	}
	int count = config_lines(f);
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
	if (!env_redundant)
		return 0;
	if (env_device_probe(1) < 0)
		return -EINVAL;
	if (envdevices[0].env_size != envdevices[1].env_size) {
		fprintf(stderr, "Redundant environments have unequal size");
		return -EINVAL;
	}
	return 0;
}
