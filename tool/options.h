// The converter's command line: options, operands and the usage text.
#ifndef BEJCONV_OPTIONS_H
#define BEJCONV_OPTIONS_H

#include "url_table.h"

inline constexpr const char *DEFAULT_PDR_MAP = "/tmp/pdr_url_map";

// Settings of one run; the strings are borrowed from the argument vector.
struct settings {
	const char *schema_path = nullptr;
	const char *annotation_path = nullptr;
	int schema_type = 0;
	const char *output_path = nullptr;
	const char *locator = nullptr;
	const char *pdr_map = DEFAULT_PDR_MAP;
	const char *percent_path = nullptr;
	const char *prefix_url = DEFAULT_PREFIX_URL;
	const char *action = nullptr;
	const char *input_path = nullptr;  // standard input when not given
};

// Whether the run goes on after the command line, or ends with a status.
enum class parse_result { run, exit_success, exit_failure };

// Reads the options and operands into set.  -h prints the usage text and
// ends the run with success; a refused option, an unreadable schema type or
// a missing action ends it with failure after the usage text or a message.
parse_result parse_command_line(int argc, char **argv, settings &set);

// Writes the usage text to standard output.
void print_usage();

#endif
