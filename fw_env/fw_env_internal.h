// Internal records and operations of the environment store, by unit from
// the bottom up: each unit calls only those listed before it.
#ifndef FW_ENV_INTERNAL_H
#define FW_ENV_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "fw_env/fw_env.h"

// MTD types as the kernel reports them (mtd_info_user.type).
enum : uint8_t {
	ENV_MTD_ABSENT = 0,
	ENV_MTD_NORFLASH = 3,
	ENV_MTD_NANDFLASH = 4,
	ENV_MTD_DATAFLASH = 6,
	ENV_MTD_UBIVOLUME = 7,
};

// One configured copy of the environment.
struct env_device {
	char *path;           // from the configuration; may be rewritten by the UBI lookup
	int64_t offset;       // negative: from the end of a block device (made absolute by probing)
	uint32_t env_size;    // image size in bytes
	uint32_t erase_size;  // erase block size; 0 asks for the default
	uint32_t sector_count;  // erase blocks reserved; 0 asks for as many as needed
	uint8_t mtd_type;
	bool is_ubi;
};

enum class env_flag_scheme { none, boolean, incremental };

// The loaded image and where its parts lie.
struct env_store {
	uint8_t *image;  // env_size bytes; nullptr when unloaded
	char *data;      // the variable area
	size_t data_size;
	env_flag_scheme scheme;
	int current;  // index of the device whose copy was chosen
};

// state.cpp: the process-wide state.  The device table and the counters are
// filled again by every load; env_state is the loaded store.
extern env_device envdevices[2];
extern int env_dev_count;
extern bool env_redundant;
extern env_store env_state;
// Copy flag values of the boolean scheme: the process-wide obsolete byte
// (written to mark the old copy) and the active value.
extern const uint8_t env_obsolete_flag;
constexpr uint8_t ENV_ACTIVE_FLAG = 1;

// config.cpp: the configuration file, probing and geometry.
// Reads the configuration file and probes the devices: 0 or -EINVAL.
int env_config_read(const env_options *opts);
// Size of the reserved range of a device (sector_count x erase_size).
uint64_t env_range_size(const env_device &dev);
// Options used when the caller passes none.
const env_options *env_default_options();

// storage.cpp: one copy on its device.
enum env_io_mode { ENV_IO_READ, ENV_IO_WRITE };
// ENV_IO_READ: reads the copy of device into image (env_size bytes);
// ENV_IO_WRITE: writes image, the loaded copy of device, to the target: the
// other device with redundancy, else device itself.  0 or -1.
int env_device_io(env_io_mode mode, int device, uint8_t *image);

// image.cpp: loading and choosing a copy, committing, the default
// environment and the walk of a variable area.
int fw_env_load(const env_options *opts);
void fw_env_release(const env_options *opts);
int fw_env_commit(const env_options *opts);

// The value of name in the default environment, or nullptr.
const char *env_default_get(const char *name);

// Walks a variable area of size bytes for name. Returns 1 and the entry's
// bounds [*start, *end) (end past its NUL) when found, 0 when absent,
// -1 when the area ends before the list does.
int env_find(const char *area, size_t size, const char *name, size_t *start, size_t *end);

// vars.cpp: the exported functions and the change of the loaded area.
// Changes the loaded area; 0, or -1 with errno set.
int fw_env_write(const char *name, const char *value);

#endif
