// The percent replacement file (-p): every macro with the text it stands
// for, one per line.
#ifndef BEJCONV_PERCENT_FILE_H
#define BEJCONV_PERCENT_FILE_H

#include "url_macros.h"

#include <cstdio>

// Opens path for writing, replacing what it held.  Returns the stream, or
// nullptr after a message.
FILE *open_percent_file(const char *path);

// Writes the lines of every macro (%L1 to %L255 with the URLs of entries,
// which holds URL_TABLE_SIZE records, then %C and %I1) to file and closes
// it.  Returns 0, or -EIO after a message naming path when a line could not
// be written in full.
int write_percent_file(FILE *file, const char *path, const pdr_url_entry *entries);

#endif
