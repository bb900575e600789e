#include "paths.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

std::string tests_source_dir() { return TESTS_SOURCE_DIR; }

std::string redfish_dir()
{
	const char *env = std::getenv("REDFISH_DIR");
	std::string dir = env && *env ? env : REDFISH_DIR;
	struct stat st;
	if (stat((dir + "/dictionaries").c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
		return "";
	return dir;
}

std::string make_temp_dir()
{
	std::string base = std::string(TESTS_BINARY_DIR) + "/tmp";
	mkdir(base.c_str(), 0755);
	std::string templ = base + "/t.XXXXXX";
	if (!mkdtemp(templ.data()))
		throw std::runtime_error("mkdtemp failed");
	return templ;
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		throw std::runtime_error("cannot read " + path);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void write_file(const std::string &path, const std::string &data)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	if (!f)
		throw std::runtime_error("cannot write " + path);
	f << data;
}

std::vector<uint8_t> read_bytes(const std::string &path)
{
	std::string s = read_file(path);
	return {s.begin(), s.end()};
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &data)
{
	write_file(path, std::string(data.begin(), data.end()));
}

bool file_exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

std::map<std::string, std::string> case_files(const std::string &dir)
{
	std::map<std::string, std::string> files;
	for (const auto &f : std::filesystem::directory_iterator(dir))
		files[f.path().filename().string()] = f.path().string();
	std::istringstream shared(files.count("shared") ? read_file(files["shared"]) : "");
	for (std::string path; std::getline(shared, path);)
		files[std::filesystem::path(path).filename().string()] = tests_source_dir() + "/" +
									 path;
	return files;
}

std::pair<std::string, std::string> vector_descriptions(const std::string &dir)
{
	std::map<std::string, std::string> files = case_files(dir);
	std::string above = std::filesystem::path(dir).parent_path().string() + "/";
	if (files.count("schema.json"))
		return {files["schema.json"], files["annotation.json"]};  // "" without one
	return {above + "schema.json", above + "annotation.json"};
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
	for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
		text.replace(at, from.size(), to);
	return text;
}

std::string elided(const std::string &got, const std::string &want)
{
	std::string out;
	size_t at = 0;
	std::istringstream lines(want);
	for (std::string line; at < got.size() && std::getline(lines, line);) {
		unsigned n = 0, cut = 0;
		int end = 0;
		bool marker = sscanf(line.c_str(), "... %u lines%n", &n, &end) == 1 &&
			      end == (int)line.size();
		size_t from = at;
		for (; cut < (marker ? n : 1) && at < got.size(); cut++)
			at = std::min(got.find('\n', at), got.size() - 1) + 1;
		out += marker ? "... " + std::to_string(cut) + " lines\n"
			      : got.substr(from, at - from);
	}
	return out + got.substr(at);
}

std::vector<uint8_t> parse_hex(const std::string &text)
{
	std::string digits;
	std::istringstream lines(text);
	for (std::string line; std::getline(lines, line);)
		for (char c : line.substr(0, line.find('#')))
			digits += std::isxdigit(static_cast<unsigned char>(c)) ? std::string(1, c)
									       : "";
	if (digits.size() % 2)
		throw std::runtime_error("odd number of hex digits");
	std::vector<uint8_t> out;
	for (size_t i = 0; i < digits.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
	return out;
}

std::string to_hex(const std::vector<uint8_t> &bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < bytes.size(); i++) {
		if (i)
			s += ' ';
		s += digits[bytes[i] >> 4];
		s += digits[bytes[i] & 15];
	}
	return s;
}

std::vector<uint8_t> nnint(uint64_t value)
{
	std::vector<uint8_t> out{0};
	do {
		out.push_back(static_cast<uint8_t>(value));
		value >>= 8;
	} while (value);
	out[0] = static_cast<uint8_t>(out.size() - 1);
	return out;
}
