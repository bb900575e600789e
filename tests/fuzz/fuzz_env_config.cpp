// Fuzzes the environment store's configuration reader: each input is a configuration file,
// read and its devices probed. Only paths in /tmp/fuzz_env/ open, so that probing never
// reaches a real device; the seeds name the configuration file itself as the device.
// Read again, a configuration gives the same devices (a short line keeps what probing set).
#include "device.h"
#include "fw_env_internal.h"  // the configuration reader and the loader have no public path

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

static int open_own(const char *path, int flags, mode_t mode)
{
	errno = ENOENT;
	bool own = strncmp(path, "/tmp/fuzz_env/", 14) == 0 && !strstr(path, "..");
	return own ? env_io_linux().open(path, flags, mode) : -1;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	static env_io io = env_io_linux();
	io.open = open_own;
	env_io_install(&io);
	mkdir("/tmp/fuzz_env", 0700);
	stdout = fopen("/dev/null", "w");  // the store's messages; libFuzzer keeps its own
	stderr = fopen("/dev/null", "w");
	return 0;
}

static auto devices()
{
	std::vector<std::tuple<std::string, int64_t, unsigned, unsigned, unsigned, int, bool>> all;
	for (const env_device &d : std::span(envdevices, size_t(env_dev_count)))
		all.emplace_back(d.path, d.offset, d.env_size, d.erase_size, d.sector_count,
				 d.mtd_type, d.is_ubi);
	return all;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *f = fopen("/tmp/fuzz_env/config", "w");
	fwrite(data, 1, size, f);
	fclose(f);
	for (auto &d : envdevices)  // a fresh process each time
		d.erase_size = d.sector_count = 0;
	env_options options = {"/tmp/fuzz_env/config", nullptr};
	if (env_config_read(&options) == 0) {
		auto first = devices();
		if (env_config_read(&options) != 0 || devices() != first)
			__builtin_trap();
	}
	return 0;
}
