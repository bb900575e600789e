/*
 * Boot-loader environment store: the functions bejconv exports to the
 * shared libraries it loads.
 */
#ifndef FW_ENV_FW_ENV_H
#define FW_ENV_FW_ENV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Where the store finds its configuration. Only config_file is read; the
 * second word is not used and should be zero.
 */
struct env_options {
	const char *config_file; /* path of the configuration file */
	void *reserved;          /* not read */
};

/*
 * Takes a variable name; returns its value from the environment named by
 * "/etc/fw_env.config", or NULL when the store cannot be loaded or the
 * variable is absent.
 * The store keeps a private copy of the value: do not free it; it stays
 * readable until the next call of fw_getenv, which replaces it.
 */
char *fw_getenv(const char *name);

/*
 * Takes argv[0] = the variable name and argv[1..argc-1] = the words of the
 * new value (joined by single spaces; none deletes it), and the options or
 * NULL for "/etc/fw_env.config".
 * Returns 0 when the environment was written back, -1 otherwise; nothing
 * passed in is kept or freed by the store.
 */
int fw_env_set(int argc, char *const argv[], struct env_options *opts);

/*
 * Takes a running CRC (0 to start), a buffer and its length in bytes;
 * returns the IEEE 802.3 CRC-32 continued over the buffer.
 * Chained calls give the CRC of the concatenation; the buffer is only read.
 */
uint32_t crc32(uint32_t crc, const uint8_t *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif
