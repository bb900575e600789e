// What rde-dictc and rde-inspect say about an option that getopt_long
// refused (both run it with opterr = 0 and an option string beginning with
// ':', so that the message and the usage text are theirs).
#ifndef DICTC_COMMAND_LINE_H
#define DICTC_COMMAND_LINE_H

#include <string>

// The reason for getopt_long's result c (':' or '?'), read from optopt and
// the word before optind.
std::string getopt_refusal(int c, char **argv);

#endif
