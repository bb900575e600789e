// The URL table: the PDR-to-URL map read into one record per id, each
// entry's URL composed from its parent's.  A run fills one table once and
// only reads it afterwards; the units that use it take it as a parameter.
#ifndef BEJCONV_URL_TABLE_H
#define BEJCONV_URL_TABLE_H

#include "url_macros.h"

// The URL of id 1 when -u does not give one.
inline constexpr const char *DEFAULT_PREFIX_URL = "/redfish/v1";

struct url_table {
	pdr_url_entry entries[URL_TABLE_SIZE];
};

// Reads the map into table (all of it replaced), composes every URL with
// prefix_url as the URL of id 1 and writes the percent file when
// percent_path is not null.  Returns 0 or -EIO after a message.
int load_pdr_url_map(url_table &table, const char *map_path, const char *prefix_url,
		     const char *percent_path);

#endif
