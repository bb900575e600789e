// Fuzzes the environment store's configuration reader: each input is a configuration file,
// read and its devices probed. Only paths in /tmp/fuzz_env/ open, so that probing never
// reaches a real device; the seeds name the configuration file itself as the device.
#include "device.h"
#include "fw_env_internal.h"  // the configuration reader and the loader have no public path

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *f = fopen("/tmp/fuzz_env/config", "w");
	fwrite(data, 1, size, f);
	fclose(f);
	for (auto &d : envdevices)  // a fresh process each time
		d.erase_size = d.sector_count = 0;
	env_options options = {"/tmp/fuzz_env/config", nullptr};
	env_config_read(&options);
	return 0;
}
