#include "command_line.h"

#include <getopt.h>

std::string getopt_refusal(int c, char **argv)
{
	if (c == ':')
		return std::string("option requires an argument -- '") + (char)optopt + "'";
	if (optopt)
		return std::string("unknown option -- '") + (char)optopt + "'";
	return std::string("unknown option '") + argv[optind - 1] + "'";
}
