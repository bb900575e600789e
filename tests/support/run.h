// Running the real bejconv executable (through the cross launcher when the
// suite runs under an emulator) and capturing what it prints.
#ifndef TESTS_SUPPORT_RUN_H
#define TESTS_SUPPORT_RUN_H

#include <string>
#include <vector>

struct run_result {
	int status = -1;  // exit status, or 128 + signal
	std::string out;  // standard output
	std::string err;  // standard error
};

struct run_options {
	std::string input;              // written to standard input
	std::vector<std::string> env;   // extra NAME=VALUE entries
	std::string argv0 = "bejconv";  // the program name it sees
};

// Runs bejconv with args; the child sees argv[0] = opts.argv0.
run_result run_bejconv(const std::vector<std::string> &args, const run_options &opts = {});

// Runs any program (argv[0] is its path, or its name in /usr/bin) with the
// same capture.
run_result run_program(const std::vector<std::string> &argv, const run_options &opts = {});

// The launcher words that prefix target executables (empty natively).
std::vector<std::string> target_launcher();
std::string bejconv_path();

#endif
