// The environment image: CRC-32, loading and choosing a copy, the default
// environment, committing the image back, and the walk of a variable area.
#include "fw_env_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Sixteen variables, the end of the list and one more NUL (the literal's own).
constexpr char env_default[] =
	"bootargs=console=ttyS4,115200n8 root=/dev/mtdblock2 rootfstype=squashfs rw\0"
	"bootcmd=bootm 20120000\0"
	"bootdelay=2\0"
	"baudrate=115200\0"
	"ipaddr=192.168.0.99\0"
	"serverip=192.168.0.10\0"
	"gatewayip=192.168.0.1\0"
	"netmask=255.255.255.0\0"
	"bootfile=all.bin\0"
	"verify=yes\0"
	"k_addr=0x83000000\0"
	"r_addr=0x81000000\0"
	"cpk=tftp ${k_addr} out_kernel.bin\0"
	"cpr=tftp ${r_addr} out_rootfs_img.bin\0"
	"ramargs=setenv bootargs console=ttyS4,115200n8 mem=432M root=/dev/ram0 "
	"initrd=${r_addr},32M rootfstype=squashfs rw\0"
	"bootram=run cpk cpr ramargs; bootm ${k_addr}\0"
	"\0";
static_assert(sizeof env_default == 510, "the default environment is 510 bytes");

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

// Header bytes before the variable area.
size_t header_size() { return env_redundant ? 5 : 4; }

// Whether the stored CRC of an image matches its variable area. An erase
// cut short by a power loss can leave the CRC word and the first four bytes
// of the area erased (0xFF) over an area of zeros, and the CRC of exactly
// that is the erased word: such a copy is taken as erased, never as valid.
bool crc_ok(const uint8_t *image)
{
	static constexpr uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
	uint32_t stored;
	memcpy(&stored, image, sizeof stored);
	size_t size = envdevices[0].env_size, hdr = header_size();
	if (size - hdr >= 4 && memcmp(image, erased, 4) == 0 && memcmp(image + hdr, erased, 4) == 0)
		return false;
	return crc32(0, image + hdr, size - hdr) == stored;
}

// Warns and puts the default environment into the image's variable area, as
// much of it as fits: the leading variables that fit whole, then the end of
// the list; the rest zeroed. (An area smaller than the 510-byte block keeps
// only complete variables, so no value is ever cut short.)
void use_default(uint8_t *image)
{
	fprintf(stderr, "Warning: Bad CRC, using default environment\n");
	char *area = reinterpret_cast<char *>(image + header_size());
	size_t size = envdevices[0].env_size - header_size();
	memset(area, 0, size);
	size_t pos = 0;
	for (size_t i = 0; env_default[i];) {
		size_t len = strlen(env_default + i) + 1;
		if (pos + len + 1 > size)
			break;
		memcpy(area + pos, env_default + i, len);
		pos += len;
		i += len;
	}
}

// Allocates a zeroed image and reads the copy of device idx into it: 0,
// -ENOMEM or -EIO (nothing kept).
int read_new_copy(int idx, uint8_t **image)
{
	uint32_t size = envdevices[0].env_size;
	*image = static_cast<uint8_t *>(calloc(1, size));
	if (!*image) {
		fprintf(stderr, "Not enough memory for environment (%llu bytes)\n",
			static_cast<unsigned long long>(size));
		return -ENOMEM;
	}
	if (env_device_io(ENV_IO_READ, idx, *image) < 0) {
		free(*image);
		*image = nullptr;
		return -EIO;
	}
	return 0;
}

// The flag scheme of a pair of devices, none when they do not pair.
env_flag_scheme pairing_scheme(const env_device &d0, const env_device &d1)
{
	if (d0.mtd_type != d1.mtd_type)
		return env_flag_scheme::none;
	switch (d1.mtd_type) {
	case ENV_MTD_NORFLASH:
	case ENV_MTD_DATAFLASH:
		return env_flag_scheme::boolean;
	case ENV_MTD_NANDFLASH:
	case ENV_MTD_UBIVOLUME:
		return env_flag_scheme::incremental;
	case ENV_MTD_ABSENT:
		return d0.is_ubi == d1.is_ubi ? env_flag_scheme::incremental
					      : env_flag_scheme::none;
	default:
		return env_flag_scheme::none;
	}
}

bool boolean_prefers_first(uint8_t f0, uint8_t f1)
{
	if (f0 == ENV_ACTIVE_FLAG && f1 == env_obsolete_flag)
		return true;
	if (f0 == env_obsolete_flag && f1 == ENV_ACTIVE_FLAG)
		return false;
	if (f0 == f1 || f0 == 0xFF)
		return true;
	return f1 != 0xFF;
}

// The higher counter is newer, with 0 following 255.
bool incremental_prefers_first(uint8_t f0, uint8_t f1)
{
	if (f0 == 0xFF && f1 == 0)
		return false;
	return (f1 == 0xFF && f0 == 0) || f0 >= f1;
}

// Which of two stored copies a load keeps, from their CRCs and flags:
// neither when both CRCs are bad (the default environment is used).
struct env_copy {
	bool crc_ok;
	uint8_t flag;
};
enum class env_choice { first, second, neither };

env_choice env_choose_copy(env_flag_scheme scheme, env_copy first, env_copy second)
{
	if (first.crc_ok != second.crc_ok)
		return first.crc_ok ? env_choice::first : env_choice::second;
	if (!first.crc_ok)
		return env_choice::neither;
	bool keep_first = scheme == env_flag_scheme::boolean
				  ? boolean_prefers_first(first.flag, second.flag)
				  : incremental_prefers_first(first.flag, second.flag);
	return keep_first ? env_choice::first : env_choice::second;
}

// Makes image the loaded image, the copy of device current.
void adopt(uint8_t *image, env_flag_scheme scheme, int current)
{
	env_state.image = image;
	env_state.data = reinterpret_cast<char *>(image + header_size());
	env_state.data_size = envdevices[0].env_size - header_size();
	env_state.scheme = scheme;
	env_state.current = current;
}

// The redundant half of a load: reads the second copy and keeps the one the
// CRCs and flags choose.
int load_second(uint8_t *first)
{
	uint8_t *second = nullptr;
	int rc = read_new_copy(1, &second);
	if (rc < 0) {
		free(first);
		return rc;
	}
	env_flag_scheme scheme = pairing_scheme(envdevices[0], envdevices[1]);
	if (scheme == env_flag_scheme::none) {
		fprintf(stderr, "Incompatible flash types!\n");
		free(first);
		free(second);
		return -EINVAL;
	}
	env_choice choice = env_choose_copy(scheme, {crc_ok(first), first[4]},
					    {crc_ok(second), second[4]});
	if (choice == env_choice::neither)
		use_default(first);
	bool take_second = choice == env_choice::second;
	free(take_second ? first : second);
	adopt(take_second ? second : first, scheme, take_second ? 1 : 0);
	return 0;
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

void fw_env_release(const env_options *)
{
	free(env_state.image);
	env_state = env_store{nullptr, nullptr, 0, env_flag_scheme::none, 0};
}

int fw_env_load(const env_options *opts)
{
	fw_env_release(opts);
	if (env_config_read(opts) < 0)
		return -EINVAL;
	uint8_t *first = nullptr;
	int rc = read_new_copy(0, &first);
	if (rc < 0)
		return rc;
	if (env_redundant)
		return load_second(first);
	if (!crc_ok(first))
		use_default(first);
	adopt(first, env_flag_scheme::none, 0);
	return 0;
}

int fw_env_commit(const env_options *)
{
	if (!env_state.image)
		return -1;
	uint32_t crc = crc32(0, reinterpret_cast<const uint8_t *>(env_state.data),
			     env_state.data_size);
	memcpy(env_state.image, &crc, sizeof crc);
	if (env_device_io(ENV_IO_WRITE, env_state.current, env_state.image) < 0) {
		fprintf(stderr, "Error: can't write fw_env to flash\n");
		return -1;
	}
	return 0;
}

const char *env_default_get(const char *name)
{
	// Bounded like the loaded area, so that a store smaller than the default
	// block sees the same defaults it would hold.
	size_t bound = env_state.image ? env_state.data_size : sizeof env_default;
	if (bound > sizeof env_default)
		bound = sizeof env_default;
	size_t start = 0, end = 0;
	int found = env_find(env_default, bound, name, &start, &end);
	if (found < 0) {
		fprintf(stderr, "## Error: default environment not terminated\n");
		return nullptr;
	}
	return found ? env_default + start + strlen(name) + 1 : nullptr;
}

int env_find(const char *area, size_t size, const char *name, size_t *start, size_t *end)
{
	size_t nlen = strlen(name);
	size_t pos = 0;
	for (;;) {
		if (pos >= size)
			return -1;
		if (area[pos] == '\0')
			return 0;
		const char *nul = static_cast<const char *>(memchr(area + pos, '\0', size - pos));
		if (!nul)
			return -1;
		size_t next = static_cast<size_t>(nul - area) + 1;
		if (next - pos > nlen + 1 && strncmp(area + pos, name, nlen) == 0 &&
		    area[pos + nlen] == '=') {
			*start = pos;
			*end = next;
			return 1;
		}
		pos = next;
	}
}
