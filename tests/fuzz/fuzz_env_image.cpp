// Fuzzes loading the environment image and reading and changing its
// variables, kept once or twice in a file. The first byte says whether there
// are two copies and whether each copy's CRC is made to match; the rest of
// the input fills the copies.  The variables committed are those that load
// next.
#include "fw_env_internal.h"  // the configuration reader and the loader have no public path

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	stdout = fopen("/dev/null", "w");  // the store's messages; libFuzzer keeps its own
	stderr = fopen("/dev/null", "w");
	mkdir("/tmp/fuzz_env_image", 0700);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const int copies = data[0] & 1 ? 2 : 1, hdr = copies + 3;
	uint8_t image[2][0x200] = {};
	for (size_t i = 0, from, to; i < size_t(copies); i++) {
		from = 1 + i * (size - 1) / copies, to = 1 + (i + 1) * (size - 1) / copies;
		memcpy(image[i], data + from, std::min(to - from, sizeof image[i]));
		uint32_t crc = crc32(0, image[i] + hdr, sizeof image[i] - hdr);
		if (data[0] & (2 << i))
			memcpy(image[i], &crc, 4);
	}
	FILE *f = fopen("/tmp/fuzz_env_image/env", "w");
	fwrite(image, 1, sizeof image, f);
	fclose(f);
	f = fopen("/tmp/fuzz_env_image/config", "w");
	fprintf(f, "/tmp/fuzz_env_image/env 0 0x200\n%s",
		copies == 1 ? "" : "/tmp/fuzz_env_image/env 0x200 0x200\n");
	fclose(f);
	env_options options = {"/tmp/fuzz_env_image/config", nullptr};
	if (fw_env_load(&options) == 0) {
		fw_getenv("a");
		fw_env_write("ipaddr", "1.2.3.4");
		fw_env_write("a", nullptr);
		std::string variables(env_state.data, env_state.data_size);
		if (fw_env_commit(&options) == 0 &&
		    (fw_env_load(&options) != 0 ||
		     variables != std::string(env_state.data, env_state.data_size)))
			__builtin_trap();
		fw_env_release(&options);
	}
	return 0;
}
