// The exported functions as a client library sees them: preloaded into the
// real executable (natively, or in the emulator for cross builds).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "fw_env/fw_env.h"
#include "paths.h"
#include "run.h"

namespace {

bool emulated() { return !target_launcher().empty(); }

// Runs "bejconv -h" with the client library preloaded and vars set.
run_result run_with_client(const std::vector<std::string> &vars)
{
	run_options opts;
	opts.env = vars;
	if (emulated())
		opts.emulator_env = {std::string("LD_PRELOAD=") + FW_ENV_PRELOAD};
	else
		opts.env.push_back(std::string("LD_PRELOAD=") + FW_ENV_PRELOAD);
	return run_bejconv({"-h"}, opts);
}

std::string image(const std::vector<std::string> &vars)
{
	std::string area;
	for (const auto &v : vars)
		area += v + '\0';
	area.resize(0x100 - 4, '\0');
	uint32_t crc = crc32(0, reinterpret_cast<const uint8_t *>(area.data()), area.size());
	return std::string(reinterpret_cast<const char *>(&crc), 4) + area;
}

class ExportsTest : public ::testing::Test {
protected:
	void SetUp() override
	{
#ifdef FW_ENV_SANITIZED
		if (!emulated())
			GTEST_SKIP() << "a preloaded library cannot precede the sanitizer runtime";
#endif
	}
};

TEST_F(ExportsTest, ClientCallsTheExportedFunctions)
{
	std::string dir = make_temp_dir();
	write_file(dir + "/env", image({"a=1"}));
	write_file(dir + "/fw_env.config", dir + "/env 0 0x100\n");
	run_result r = run_with_client({"FW_ENV_PRELOAD_CRC=123456789", "FW_ENV_PRELOAD_SET=greeting hello world",
					"FW_ENV_PRELOAD_CONFIG=" + dir + "/fw_env.config"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("exported=1\ncrc32=cbf43926\nset=0\n"), std::string::npos) << r.out << r.err;
	EXPECT_EQ(read_file(dir + "/env"), image({"a=1", "greeting=hello world"}));
}

// fw_getenv always reads "/etc/fw_env.config": the run gets a private mount
// namespace in which an overlay on /etc holds the test's configuration; the
// machine's /etc is never written.
TEST_F(ExportsTest, GetenvReadsTheSystemConfiguration)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root for a private mount namespace";
	std::string dir = make_temp_dir();
	write_file(dir + "/env", image({"bootdelay=7"}));
	write_file(dir + "/fw_env.config", dir + "/env 0 0x100\n");
	mkdir((dir + "/ns").c_str(), 0700);

	std::string script =
		"mount -t tmpfs tmpfs \"$NS\" && mkdir \"$NS/u\" \"$NS/w\" && "
		"mount -t overlay overlay -o lowerdir=/etc,upperdir=\"$NS/u\",workdir=\"$NS/w\" /etc && "
		"ln -sf \"$CFG\" /etc/fw_env.config && exec \"$@\"";
	std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh"};
	run_options opts;
	opts.env = {"NS=" + dir + "/ns", "CFG=" + dir + "/fw_env.config", "FW_ENV_PRELOAD_GET=bootdelay"};
	std::vector<std::string> launcher = target_launcher();
	if (launcher.empty()) {
		argv.insert(argv.end(), {"/usr/bin/env", std::string("LD_PRELOAD=") + FW_ENV_PRELOAD});
	} else {
		argv.insert(argv.end(), launcher.begin(), launcher.end());
		argv.insert(argv.end(), {"-E", std::string("LD_PRELOAD=") + FW_ENV_PRELOAD});
	}
	argv.insert(argv.end(), {bejconv_path(), "-h"});

	run_result probe = run_program({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
					"mount -t tmpfs tmpfs \"$NS\" && mkdir \"$NS/u\" \"$NS/w\" && "
					"mount -t overlay overlay -o lowerdir=/etc,upperdir=\"$NS/u\",workdir=\"$NS/w\" /etc"},
				       opts);
	if (probe.status != 0)
		GTEST_SKIP() << "no private mount namespace with an overlay on /etc: " << probe.err;

	run_result r = run_program(argv, opts);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("get=7\n"), std::string::npos) << r.out << r.err;
	EXPECT_FALSE(file_exists("/etc/fw_env.config") && read_file("/etc/fw_env.config").find(dir) != std::string::npos);
}

}  // namespace
