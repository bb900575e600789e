// Configuration file, probing and geometry: the messages and the results.
#include "env_fixture.h"
#include "fw_env_internal.h"

#include <cerrno>
#include <sys/stat.h>

namespace {

class ConfigTest : public EnvTest {
protected:
	std::string file;

	void SetUp() override
	{
		EnvTest::SetUp();
		sim::add_mtd("/dev/mtd0", 3, 0x10000, 0x100000);   // NOR
		sim::add_mtd("/dev/mtd1", 4, 0x4000, 0x40000);     // NAND
		sim::add_mtd("/dev/mtd2", 1, 0x1000, 0x10000);     // RAM: not a flash type
		sim::add_block("/dev/mmcblk0", 16 << 20);
		sim::add_mtd("/dev/mtd3", 4, 0x4000, 0x40000).bad_blocks = {0, 1};
		file = dir + "/env.bin";
		write_bytes(file, std::vector<uint8_t>(0x4000, 0));
	}
	// Loads with text as the configuration (geometry defaults cleared first).
	captured load(const std::string &text)
	{
		configure(text);
		for (auto &d : envdevices)
			d.erase_size = d.sector_count = 0;
		captured c = capture([&] { return fw_env_load(&options); });
		fw_env_release(&options);
		return c;
	}
};

TEST_F(ConfigTest, MessagesForBadConfigurations)
{
	struct {
		std::string text;
		int rc;
		std::string err;  // expected within standard error
	} cases[] = {
		{"# only a comment\n#\n", -EINVAL,
		 "Cannot parse config file '" + config + "': Invalid argument\n"},
		{"\x01 zzz\n\n" + file + " 0\n", -EINVAL, "Cannot parse config file '" + config + "': Invalid argument\n"},
		{file + " 256 0x1000\n", -EINVAL, "Environment does not start on (erase) block boundary\n"},
		{file + " 0 0x3000 0x1000 2\n", -EINVAL, "Environment does not fit into available sectors\n"},
		{file + " 0 0x2000\n" + file + " 0x2000 0x1000\n", -EINVAL, "Redundant environments have unequal size"},
		{"/dev/mtd2 0 0x1000\n", -EINVAL, "Unsupported flash type 1 on /dev/mtd2\n"},
		{"/dev/absent 0 0x1000\n", -EINVAL, "Cannot open /dev/absent: No such file or directory\n"},
		{"/dev/mtd0 0 0x4000 0x4000\n/dev/mtd1 0 0x4000 0x4000\n", -EINVAL, "Incompatible flash types!\n"},
		{file + " 0 0x2000\n/dev/mmcblk0 0 0x2000\n", 0, ""},  // file and block device pair
		{file + " -512 0x1000\n", -EINVAL, "Could not get block device size on " + file + "\n"},
		{file + " 0 4\n", -EINVAL, "Environment size 4 is too small\n"},
		{file + " 0x100000 0x1000\n", -EIO, "Read error on " + file + ": Input/output error\n"},
		{file + " 0x7ffffffffffffe00 0x1000\n", -EIO, "Read error on " + file},
		{file + " 0 0x8000\n", -EIO, "Read error on " + file},  // the file is shorter than the image
		{file + " 0 0x1000 0xffffffff 0xffffffff\n", 0, "Warning: Bad CRC, using default environment\n"},
		{"/dev/mtd3 0 0x4000 0x4000 2\n", -EIO, "Too few good blocks within range\n"},
	};
	for (const auto &c : cases) {
		captured r = load(c.text);
		EXPECT_EQ(r.rc, c.rc) << c.text;
		EXPECT_NE(r.err.find(c.err), std::string::npos) << c.text << "\n" << r.err;
	}
	// A missing configuration file names the system's reason.
	std::string absent = dir + "/absent.config";
	options.config_file = absent.c_str();
	captured r = capture([&] { return fw_env_load(&options); });
	EXPECT_EQ(r.rc, -EINVAL);
	EXPECT_EQ(r.err, "Cannot parse config file '" + absent + "': No such file or directory\n");
}

TEST_F(ConfigTest, HugeSizesFailCleanly)
{
	// Allocation may succeed (then the short file fails the read) or not.
	// The sanitizer's allocator touches what it hands out: ask it for less.
#ifdef FW_ENV_SANITIZED
	const char *size = "0x4000000", *bytes = "67108864";
#else
	const char *size = "0xffffffff", *bytes = "4294967295";
#endif
	captured r = load(file + " 0 " + size + "\n");
	EXPECT_TRUE(r.rc == -ENOMEM || r.rc == -EIO) << r.rc;
	EXPECT_TRUE(r.err.find("Not enough memory for environment (" + std::string(bytes) + " bytes)\n") !=
			    std::string::npos ||
		    r.err.find("Read error on " + file) != std::string::npos) << r.err;
	// A reserved range beyond the end of the device: reading it back fails.
	r = load("/dev/mtd0 0 0x10000 0x10000 0x100\n");
	EXPECT_EQ(r.rc, 0);
	r = set({"x", "1"});
	EXPECT_EQ(r.rc, -1);
	EXPECT_NE(r.err.find("Read error on /dev/mtd0: Input/output error\nError: can't write fw_env to flash\n"),
		  std::string::npos) << r.err;
	// One too large for any buffer.
	r = load("/dev/mtd0 0 0x10000 0x10000 0x10001\n");
	EXPECT_EQ(r.rc, 0);
	r = set({"x", "1"});
	EXPECT_EQ(r.rc, -1);
	EXPECT_NE(r.err.find("Cannot malloc "), std::string::npos) << r.err;
}

TEST_F(ConfigTest, ProbingComputesGeometry)
{
	// NOR, three fields: the erase size defaults to the image size, one sector.
	EXPECT_EQ(load("/dev/mtd0 0x40000 0x10000\n").rc, 0);
	EXPECT_EQ(envdevices[0].erase_size, 0x10000u);
	EXPECT_EQ(envdevices[0].sector_count, 1u);
	EXPECT_EQ(envdevices[0].mtd_type, 3);

	// Fields a shorter line leaves out keep the previous load's values.
	configure(file + " 0 0x4000\n");
	EXPECT_EQ(capture([&] { return fw_env_load(&options); }).rc, 0);
	fw_env_release(&options);
	EXPECT_EQ(envdevices[0].erase_size, 0x10000u);

	// Files default to 512-byte blocks.
	EXPECT_EQ(load(file + " 512 0x1000\n").rc, 0);
	EXPECT_EQ(envdevices[0].erase_size, 512u);
	EXPECT_EQ(envdevices[0].sector_count, 8u);
	EXPECT_EQ(envdevices[0].mtd_type, 0);

	// A negative offset counts back from the end of a block device.
	EXPECT_EQ(load("/dev/mmcblk0 -0x20000 0x4000\n").rc, 0);
	EXPECT_EQ(envdevices[0].offset, (16 << 20) - 0x20000);

	// Only the first two accepted lines count.
	EXPECT_EQ(load(file + " 0 0x1000\n" + file + " 0x1000 0x1000\n/dev/absent 0 0x1000\n").rc, 0);
	EXPECT_EQ(env_dev_count, 2);
}

TEST_F(ConfigTest, UbiVolumeByName)
{
	std::string sys = dir + "/sys";
	sim::redirect("/sys/class/ubi", sys);
	mkdir(sys.c_str(), 0755);
	for (const char *entry : {"ubi0", "ubi0_0", "ubi0_3", "ubi0_5", "ubi0_6", "ubi1_1"})
		mkdir((sys + "/" + entry).c_str(), 0755);
	write_file(sys + "/ubi0/name", "env\n");  // the device itself, not a volume
	write_file(sys + "/ubi0_0/name", "kernel\n");
	write_file(sys + "/ubi0_3/name", "env\n");
	write_file(sys + "/ubi0_6/name", "");      // no word in it
	write_file(sys + "/ubi1_1/name", "other\n");
	sim::add_ubi("/dev/ubi0_3", 0x4000);
	sim::add_ubi("/dev/ubi1_1", 0x4000);

	captured r = load("/dev/ubi0:env 0 0x2000\n");
	EXPECT_EQ(r.rc, 0) << r.err;
	EXPECT_STREQ(envdevices[0].path, "/dev/ubi0_3");
	EXPECT_TRUE(envdevices[0].is_ubi);
	EXPECT_EQ(envdevices[0].mtd_type, 0);

	r = load("/dev/ubi1:other 0 0x2000\n");
	EXPECT_EQ(r.rc, 0) << r.err;
	EXPECT_STREQ(envdevices[0].path, "/dev/ubi1_1");

	r = load("/dev/ubi0:nope 0 0x2000\n");
	EXPECT_EQ(r.rc, -EINVAL);
	EXPECT_NE(r.err.find("Failed to read from file /sys/class/ubi/ubi0_6/name, ret = -1, name = (null)\n"),
		  std::string::npos) << r.err;
	EXPECT_NE(r.err.find("Didn't found ubi volume \"nope\"\nCannot open /dev/ubi0: "), std::string::npos)
		<< r.err;

	r = load("/dev/ubiX:env 0 0x2000\n");
	EXPECT_NE(r.err.find("Didn't found ubi volume \"env\"\n"), std::string::npos) << r.err;
}

}  // namespace
