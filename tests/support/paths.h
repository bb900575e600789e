// Locations the tests read from and write to.
#ifndef TESTS_SUPPORT_PATHS_H
#define TESTS_SUPPORT_PATHS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

std::string tests_source_dir();

// The reference Redfish data folder (REDFISH_DIR in the environment wins);
// empty when it is absent.
std::string redfish_dir();

// A fresh, empty directory for one test, removed by the caller or left in
// the build tree.
std::string make_temp_dir();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
std::vector<uint8_t> read_bytes(const std::string &path);
void write_bytes(const std::string &path, const std::vector<uint8_t> &data);
bool file_exists(const std::string &path);

// The files of a case folder by name: its own, and those its file "shared"
// names (one a line, relative to tests/), which other cases hold too.
std::map<std::string, std::string> case_files(const std::string &dir);
// The descriptions a vector case registers: its schema.json with its
// annotation.json (none without one), or else those of the folder above it.
std::pair<std::string, std::string> vector_descriptions(const std::string &dir);

// text with every from replaced by to.
std::string replace_all(std::string text, const std::string &from, const std::string &to);

// got with the lines that each line "... N lines" of want stands for cut to
// such a line, so that comparing it with want checks the others exactly.
std::string elided(const std::string &got, const std::string &want);

// "01 0a ff" and similar (blanks, newlines and # comments ignored) to bytes.
std::vector<uint8_t> parse_hex(const std::string &text);
std::string to_hex(const std::vector<uint8_t> &bytes);

// The nnint of value as BEJ writes it: a length byte, then the value's bytes
// from the least significant one, at least one.
std::vector<uint8_t> nnint(uint64_t value);

#endif
