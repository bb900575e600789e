// The percent replacement file (-p): every macro with the text it stands
// for, one per line, for the people who read encoded data by hand.
#ifndef BEJCONV_PERCENT_FILE_H
#define BEJCONV_PERCENT_FILE_H

#include "url_table.h"

#include <cstdio>

// Opens path for writing, replacing what it held.  Returns the stream, or
// nullptr after a message.
FILE *open_percent_file(const char *path);

// Writes the lines of every macro of table (%L1 to %L255, %C, %I1) to file
// and closes it.  Returns 0, or -EIO after a message naming path when a
// line could not be written in full (a full disk).
int write_percent_file(FILE *file, const char *path, const url_table &table);

#endif
