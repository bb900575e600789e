// A simulated device layer for the environment store's tests: NOR, NAND and
// DATAFLASH MTD devices, UBI volumes and block devices held in memory, with
// erase semantics, bad blocks, volume updates and a power cut after a number
// of written bytes. Every other path goes to the real layer (plain files
// always do), optionally redirected (the configuration file, sysfs).
#ifndef TESTS_FW_ENV_SIM_DEVICE_H
#define TESTS_FW_ENV_SIM_DEVICE_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct sim_device {
	enum class kind { mtd, ubi, block };
	kind k = kind::mtd;
	uint8_t mtd_type = 3;          // MEMGETINFO type (3 NOR, 4 NAND, 6 DATAFLASH, ...)
	uint32_t erase_size = 4096;
	std::vector<uint8_t> data;
	std::set<uint64_t> bad_blocks; // block numbers (NAND)
	bool updating = false;         // a UBI volume update in progress
	uint64_t update_left = 0;
	int erases = 0;
	int write_violations = 0;      // NOR writes that needed a 0 -> 1 bit change
};

namespace sim {

// Installs the simulated layer (empty, unlimited writes) / the real one back.
void install();
void uninstall();

// Adds a device at path; returns it (valid until uninstall).
sim_device &add_mtd(const std::string &path, uint8_t type, uint32_t erase_size, size_t size);
sim_device &add_ubi(const std::string &path, size_t size);
sim_device &add_block(const std::string &path, size_t size);
sim_device &device(const std::string &path);

// Paths beginning with from are opened as to + the rest.
void redirect(const std::string &from, const std::string &to);

// Writes and erases stop after this many more written bytes (-1: never).
void set_write_budget(int64_t bytes);

// The budget left (-1: unlimited).
int64_t write_budget();

// Simulated devices currently open (0 after every store operation).
int open_devices();

}  // namespace sim

#endif
