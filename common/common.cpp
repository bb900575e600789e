#include "common.h"

#include <getopt.h>

std::string getopt_refusal(int c, char **argv)
{
	if (c == ':')
		return std::string("option requires an argument -- '") + (char)optopt + "'";
	if (optopt)
		return std::string("unknown option -- '") + (char)optopt + "'";
	return std::string("unknown option '") + argv[optind - 1] + "'";
}

std::string version_text(uint32_t word)
{
	// The inverse of the compiler's reading of "version".
	if ((word & 0xFF) != 0)
		return "";
	std::string text;
	for (int shift = 24; shift > 0; shift -= 8) {
		unsigned b = (word >> shift) & 0xFF, tens = b >> 4, ones = b & 15;
		if (ones > 9 || (tens != 15 && (tens == 0 || tens > 9)))
			return "";
		text += std::to_string(tens == 15 ? ones : tens * 10 + ones) +
			(shift > 8 ? "." : "");
	}
	return text;
}
