// The converter's process-wide program name: argv[0] unchanged, the first
// word of every message the converter prints.
#ifndef BEJCONV_PROGRAM_H
#define BEJCONV_PROGRAM_H

extern const char *program_name;

#endif
