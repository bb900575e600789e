// Shared fixture for the environment store's tests: a temporary directory,
// the simulated device layer with "/etc/fw_env.config" redirected to a
// test file, and helpers to build and read environment images.
#ifndef TESTS_FW_ENV_ENV_FIXTURE_H
#define TESTS_FW_ENV_ENV_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fw_env/fw_env.h"
#include "fw_env_internal.h"
#include "paths.h"
#include "sim_device.h"

struct captured {
	int rc = 0;
	std::string out, err;
};

// Runs f with standard output and error captured.
template <class F>
captured capture(F f)
{
	captured c;
	fflush(stdout);
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	c.rc = f();
	fflush(stdout);
	fflush(stderr);
	c.err = testing::internal::GetCapturedStderr();
	c.out = testing::internal::GetCapturedStdout();
	return c;
}

// An image of size bytes: CRC, the flag when flag >= 0, the variables.
inline std::vector<uint8_t> make_image(size_t size, int flag, const std::vector<std::string> &vars)
{
	size_t hdr = flag >= 0 ? 5 : 4;
	std::vector<uint8_t> img(size, 0);
	size_t pos = hdr;
	for (const auto &v : vars) {
		std::copy(v.begin(), v.end(), img.begin() + pos);
		pos += v.size() + 1;
	}
	if (flag >= 0)
		img[4] = static_cast<uint8_t>(flag);
	uint32_t crc = crc32(0, img.data() + hdr, size - hdr);
	memcpy(img.data(), &crc, 4);
	return img;
}

// The variables of an image, or {"<bad crc>"} when its CRC does not match.
inline std::vector<std::string> image_vars(const std::vector<uint8_t> &img, bool redundant)
{
	size_t hdr = redundant ? 5 : 4;
	uint32_t crc;
	memcpy(&crc, img.data(), 4);
	if (crc != crc32(0, img.data() + hdr, img.size() - hdr))
		return {"<bad crc>"};
	std::vector<std::string> vars;
	for (size_t pos = hdr; pos < img.size() && img[pos];) {
		std::string s(reinterpret_cast<const char *>(img.data() + pos));
		pos += s.size() + 1;
		vars.push_back(s);
	}
	return vars;
}

class EnvTest : public ::testing::Test {
protected:
	std::string dir, config;
	env_options options{};

	void SetUp() override
	{
		sim::install();
		// Start from a fresh process's device table: shorter configuration
		// lines keep the geometry of the previous load.
		for (auto &d : envdevices)
			d.erase_size = d.sector_count = 0;
		dir = make_temp_dir();
		config = dir + "/fw_env.config";
		options.config_file = config.c_str();
		sim::redirect("/etc/fw_env.config", config);
	}
	void TearDown() override
	{
		EXPECT_EQ(sim::open_devices(), 0) << "a device was left open";
		sim::uninstall();
	}
	void configure(const std::string &text) { write_file(config, text); }

	// fw_env_set with the test's configuration, output not captured.
	int raw_set(const std::vector<std::string> &words)
	{
		std::vector<char *> argv;
		for (const auto &w : words)
			argv.push_back(const_cast<char *>(w.c_str()));
		argv.push_back(nullptr);
		return fw_env_set(static_cast<int>(words.size()), argv.data(), &options);
	}
	// The same with its output captured.
	captured set(const std::vector<std::string> &words)
	{
		return capture([&] { return raw_set(words); });
	}
	// fw_getenv through "/etc/fw_env.config"; "<none>" for no value.
	std::string get(const char *name)
	{
		const char *v = fw_getenv(name);
		return v ? v : "<none>";
	}
};

#endif
