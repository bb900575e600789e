// The converter's process-wide program name: argv[0] unchanged, the first
// word of every message the converter prints.
#ifndef BEJCONV_PROGRAM_H
#define BEJCONV_PROGRAM_H

#include <cstdio>
#include <cstring>

extern const char *program_name;

// "program: reason", for a failure that the system or json-c words.
inline void report_reason(const char *reason) { fprintf(stderr, "%s: %s\n", program_name, reason); }

// "program: path: reason", the message for a file that cannot be used.
inline void report_path_error(const char *path, int error)
{
	fprintf(stderr, "%s: %s: %s\n", program_name, path, strerror(error));
}

#endif
