// The environment image: CRC-32, the default environment, the choice of a
// copy, commits on every kind of device, hostile images and power loss.
#include "env_fixture.h"
#include "fw_env_internal.h"

#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>

namespace {

std::vector<std::string> loaded_vars()
{
	std::vector<std::string> vars;
	for (size_t pos = 0; pos < env_state.data_size && env_state.data[pos];) {
		std::string s(env_state.data + pos, strnlen(env_state.data + pos, env_state.data_size - pos));
		pos += s.size() + 1;
		vars.push_back(s);
	}
	return vars;
}

class ImageTest : public EnvTest {
protected:
	// Two copies of kind (nor, dataflash, nand, ubi, file, block) holding
	// img0 and img1; returns the configuration text.
	std::string pair(const std::string &kind, const std::vector<uint8_t> &img0,
			 const std::vector<uint8_t> &img1, uint32_t erase = 0x800)
	{
		const std::vector<uint8_t> *imgs[] = {&img0, &img1};
		std::string text;
		for (int i = 0; i < 2; i++) {
			std::string path = "/dev/sim" + std::to_string(i);
			std::vector<uint8_t> *data = nullptr;
			if (kind == "file") {
				path = dir + "/copy" + std::to_string(i);
				write_bytes(path, *imgs[i]);
			} else if (kind == "block") {
				data = &sim::add_block(path, 0x10000).data;
			} else if (kind == "ubi") {
				path = "/dev/ubi0_" + std::to_string(i);
				data = &sim::add_ubi(path, 0x10000).data;
			} else {
				uint8_t type = kind == "nor" ? 3 : kind == "nand" ? 4 : 6;
				data = &sim::add_mtd(path, type, erase, 0x10000).data;
			}
			if (data)
				std::copy(imgs[i]->begin(), imgs[i]->end(), data->begin());
			char line[256];
			snprintf(line, sizeof line, "%s 0 0x%zx 0x%x 1\n", path.c_str(), img0.size(), unsigned(erase));
			text += line;
		}
		return text;
	}
	std::vector<uint8_t> sim_image(const std::string &path, size_t size, size_t offset = 0)
	{
		auto &d = sim::device(path).data;
		return {d.begin() + offset, d.begin() + offset + size};
	}
};

TEST(Crc32, StandardAndChained)
{
	const uint8_t text[] = "123456789";
	EXPECT_EQ(crc32(0, text, 9), 0xCBF43926u);
	EXPECT_EQ(crc32(crc32(0, text, 4), text + 4, 5), 0xCBF43926u);
	EXPECT_EQ(crc32(0x1234u, text, 0), 0x1234u);
	EXPECT_EQ(crc32(0, nullptr, 0), 0u);
}

TEST_F(ImageTest, BadCrcUsesTheDefaultEnvironment)
{
	std::string file = dir + "/env";
	write_bytes(file, std::vector<uint8_t>(0x400, 0x5A));
	configure(file + " 0 0x400\n");
	captured r = capture([&] { return fw_env_load(&options); });
	ASSERT_EQ(r.rc, 0);
	EXPECT_EQ(r.err, "Warning: Bad CRC, using default environment\n");
	std::vector<std::string> names;
	for (const auto &v : loaded_vars())
		names.push_back(v.substr(0, v.find('=')));
	EXPECT_EQ(names, (std::vector<std::string>{"bootargs", "bootcmd", "bootdelay", "baudrate", "ipaddr",
						   "serverip", "gatewayip", "netmask", "bootfile", "verify",
						   "k_addr", "r_addr", "cpk", "cpr", "ramargs", "bootram"}));
	// The rest of the area is cleared rather than left as it was read.
	EXPECT_EQ(std::count(env_state.data + 510, env_state.data + env_state.data_size, 0),
		  static_cast<long>(env_state.data_size - 510));
	fw_env_release(&options);
	EXPECT_EQ(capture([&] { return get("bootdelay") == "2"; }).rc, 1);
}

TEST_F(ImageTest, SmallAreaHoldsTheLeadingDefaultsWhole)
{
	// 196 data bytes: the first seven variables fit whole, netmask does not.
	std::string file = dir + "/env";
	write_bytes(file, std::vector<uint8_t>(200, 0));
	configure(file + " 0 0xc8\n");
	captured r = capture([&] { return fw_env_load(&options); });
	ASSERT_EQ(r.rc, 0);
	std::vector<std::string> vars = loaded_vars();
	ASSERT_EQ(vars.size(), 7u);
	EXPECT_EQ(vars.back(), "gatewayip=192.168.0.1");
	EXPECT_STREQ(env_default_get("bootdelay"), "2");
	fw_env_release(&options);
	EXPECT_EQ(capture([&] { return get("netmask") == "<none>"; }).rc, 1);
}

TEST_F(ImageTest, CopyChoice)
{
	std::ifstream table(tests_source_dir() + "/fw_env/copy_choice.txt");
	ASSERT_TRUE(table.good());
	std::string line;
	int cases = 0;
	while (std::getline(table, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		std::istringstream in(line);
		std::string kind, crc0, crc1, expected;
		int f0, f1;
		in >> kind >> f0 >> f1 >> crc0 >> crc1 >> expected;
		sim::install();
		sim::redirect("/etc/fw_env.config", config);
		auto img0 = make_image(0x800, f0, {"copy=0"});
		auto img1 = make_image(0x800, f1, {"copy=1"});
		if (crc0 == "bad")
			img0[0] ^= 1;
		if (crc1 == "bad")
			img1[0] ^= 1;
		configure(pair(kind, img0, img1));
		captured r = capture([&] { return fw_env_load(&options); });
		ASSERT_EQ(r.rc, 0) << line << r.err;
		std::string got = get("copy");
		if (expected == "default") {
			EXPECT_EQ(got, "<none>") << line;
			EXPECT_EQ(r.err, "Warning: Bad CRC, using default environment\n") << line;
			EXPECT_EQ(env_state.current, 0);
		} else {
			EXPECT_EQ(got, expected) << line;
			EXPECT_EQ(env_state.current, std::stoi(expected)) << line;
			EXPECT_EQ(r.err, "") << line;
		}
		fw_env_release(&options);
		cases++;
	}
	EXPECT_GT(cases, 20);
}

TEST_F(ImageTest, CommitWritesTheOtherCopyWithTheNewerFlag)
{
	// Incremental, with the counter wrapping from 255 to 0.
	configure(pair("nand", make_image(0x800, 255, {"a=1"}), make_image(0x800, 254, {"a=0"})));
	EXPECT_EQ(set({"a", "2"}).rc, 0);
	auto img1 = sim_image("/dev/sim1", 0x800);
	EXPECT_EQ(img1[4], 0);
	EXPECT_EQ(image_vars(img1, true), std::vector<std::string>{"a=2"});
	EXPECT_EQ(image_vars(sim_image("/dev/sim0", 0x800), true), std::vector<std::string>{"a=1"});
	EXPECT_EQ(get("a"), "2");

	// Boolean: the new copy is active, the old one becomes obsolete, and
	// flash is always erased before it is programmed.
	sim::install();
	sim::redirect("/etc/fw_env.config", config);
	configure(pair("nor", make_image(0x800, 1, {"a=1"}), make_image(0x800, 0, {"a=0"})));
	EXPECT_EQ(set({"a", "2"}).rc, 0);
	EXPECT_EQ(sim_image("/dev/sim1", 0x800)[4], 1);
	EXPECT_EQ(sim_image("/dev/sim0", 0x800)[4], 0);
	EXPECT_EQ(get("a"), "2");
	EXPECT_EQ(set({"a", "3"}).rc, 0);
	EXPECT_EQ(sim_image("/dev/sim0", 0x800)[4], 1);
	EXPECT_EQ(sim_image("/dev/sim1", 0x800)[4], 0);
	EXPECT_EQ(get("a"), "3");
	EXPECT_EQ(sim::device("/dev/sim0").write_violations, 0);
	EXPECT_EQ(sim::device("/dev/sim1").write_violations, 0);

	// DATAFLASH is written without an erase.
	sim::install();
	sim::redirect("/etc/fw_env.config", config);
	configure(pair("dataflash", make_image(0x800, 1, {"a=1"}), make_image(0x800, 0, {"a=0"})));
	EXPECT_EQ(set({"a", "2"}).rc, 0);
	EXPECT_EQ(get("a"), "2");
	EXPECT_EQ(sim::device("/dev/sim1").erases, 0);
}

TEST_F(ImageTest, NorReservedRangeKeepsTheBlocksAfterTheImage)
{
	auto &dev = sim::add_mtd("/dev/mtd0", 3, 0x400, 0x4000);
	auto img = make_image(0x400, -1, {"a=1"});
	std::copy(img.begin(), img.end(), dev.data.begin() + 0x800);
	std::fill(dev.data.begin() + 0xC00, dev.data.begin() + 0x1400, 0xA5);
	configure("/dev/mtd0 0x800 0x400 0x400 3\n");
	EXPECT_EQ(set({"b", "2"}).rc, 0);
	EXPECT_EQ(image_vars(sim_image("/dev/mtd0", 0x400, 0x800), false),
		  (std::vector<std::string>{"a=1", "b=2"}));
	auto rest = sim_image("/dev/mtd0", 0x800, 0xC00);
	EXPECT_EQ(std::count(rest.begin(), rest.end(), 0xA5), 0x800);
	EXPECT_EQ(dev.write_violations, 0);
}

TEST_F(ImageTest, NandSkipsBadBlocks)
{
	auto &dev = sim::add_mtd("/dev/mtd0", 4, 0x400, 0x4000);
	dev.bad_blocks = {0};
	auto img = make_image(0x400, -1, {"a=1"});
	std::copy(img.begin(), img.end(), dev.data.begin() + 0x400);
	configure("/dev/mtd0 0 0x400 0x400 2\n");
	EXPECT_EQ(get("a"), "1");
	EXPECT_EQ(set({"a", "2"}).rc, 0);
	EXPECT_EQ(image_vars(sim_image("/dev/mtd0", 0x400, 0x400), false), std::vector<std::string>{"a=2"});
	// With every block of the range bad the commit cannot find room.
	dev.bad_blocks = {0, 1};
	captured r = set({"a", "3"});
	EXPECT_EQ(r.rc, -1);
	EXPECT_NE(r.err.find("Too few good blocks within range\n"), std::string::npos) << r.err;
}

TEST_F(ImageTest, SingleFileIsReplacedThroughATemporaryFile)
{
	std::string file = dir + "/env";
	std::vector<uint8_t> content(512, 'P');
	auto img = make_image(0x400, -1, {"a=1"});
	content.insert(content.end(), img.begin(), img.end());
	content.insert(content.end(), 100, 'S');
	write_bytes(file, content);
	chmod(file.c_str(), 0640);
	struct stat before, after;
	ASSERT_EQ(stat(file.c_str(), &before), 0);
	configure(file + " 512 0x400\n");

	captured r = set({"b", "2"});
	EXPECT_EQ(r.rc, 0) << r.err;
	ASSERT_EQ(stat(file.c_str(), &after), 0);
	EXPECT_NE(before.st_ino, after.st_ino) << "the file was written in place";
	EXPECT_EQ(after.st_mode & 07777, 0640u);
	auto now = read_bytes(file);
	ASSERT_EQ(now.size(), content.size());
	EXPECT_TRUE(std::equal(content.begin(), content.begin() + 512, now.begin()));
	EXPECT_TRUE(std::equal(content.end() - 100, content.end(), now.end() - 100));
	EXPECT_EQ(image_vars({now.begin() + 512, now.begin() + 512 + 0x400}, false),
		  (std::vector<std::string>{"a=1", "b=2"}));
	// Nothing is left behind next to it.
	int entries = 0;
	DIR *d = opendir(dir.c_str());
	while (struct dirent *e = readdir(d))
		entries += e->d_name[0] != '.';
	closedir(d);
	EXPECT_EQ(entries, 2);  // the configuration and the environment
}

TEST_F(ImageTest, SingleBlockDeviceIsWrittenInPlace)
{
	auto &dev = sim::add_block("/dev/mmcblk0", 0x10000);
	configure("/dev/mmcblk0 -0x1000 0x400\n");
	EXPECT_EQ(set({"a", "1"}).rc, 0);
	EXPECT_EQ(image_vars(sim_image("/dev/mmcblk0", 0x400, 0xF000), false).back(), "a=1");
	EXPECT_EQ(std::count(dev.data.begin(), dev.data.begin() + 0xF000, 0), 0xF000);
}

TEST_F(ImageTest, HostileImagesNeverCrash)
{
	std::string file = dir + "/env";
	configure(file + " 0 0x100\n");
	// A valid CRC over an area without any NUL.
	auto img = make_image(0x100, -1, {std::string(0xFC, 'A')});
	img.resize(0x100);
	uint32_t crc = crc32(0, img.data() + 4, 0xFC);
	memcpy(img.data(), &crc, 4);
	write_bytes(file, img);
	captured r = capture([&] { return get("A") == "<none>"; });
	EXPECT_EQ(r.rc, 1);
	EXPECT_EQ(r.err, "## Error: environment not terminated\n");
	r = set({"x", "1"});
	EXPECT_EQ(r.rc, 0);  // the change fails, the commit does not
	EXPECT_EQ(r.err.rfind("## Error: environment not terminated\n", 0), 0u) << r.err;

	// Random areas with valid CRCs: reads and changes stay in bounds.
	std::mt19937 rng(7);
	for (int i = 0; i < 200; i++) {
		std::vector<uint8_t> area(0xFC);
		for (auto &b : area)
			b = "ab=\0\0x"[rng() % 6];
		std::vector<uint8_t> image(4);
		image.insert(image.end(), area.begin(), area.end());
		crc = crc32(0, area.data(), area.size());
		memcpy(image.data(), &crc, 4);
		write_bytes(file, image);
		capture([&] {
			get("a");
			get("");
			return raw_set({"ab", "x"}) + raw_set({"a"});
		});
	}
}

// For every possible power cut across a commit to two copies, the next load
// finds either the old or the new environment, never a mix or the default.
TEST_F(ImageTest, PowerLossLeavesTheOldOrTheNewEnvironment)
{
	const std::vector<std::string> old_vars = {"a=1", "b=old"}, new_vars = {"a=1", "b=new"};
	for (std::string kind : {"nor", "nand", "ubi", "block"}) {
		int active = kind == "nor" ? 1 : 5, older = kind == "nor" ? 0 : 4;
		auto img0 = make_image(0x200, active, old_vars);
		auto img1 = make_image(0x200, older, {"a=0"});
		auto reset = [&] {
			sim::install();
			sim::redirect("/etc/fw_env.config", config);
			configure(pair(kind, img0, img1, 0x200));
		};
		reset();
		sim::set_write_budget(INT64_MAX);
		ASSERT_EQ(set({"b", "new"}).rc, 0) << kind;
		int64_t total = INT64_MAX - sim::write_budget();
		ASSERT_GE(total, 0x200) << kind;
		for (int64_t n = 0; n <= total; n++) {
			reset();
			sim::set_write_budget(n);
			set({"b", "new"});
			sim::set_write_budget(-1);
			captured r = capture([&] { return fw_env_load(&options); });
			ASSERT_EQ(r.rc, 0) << kind << " cut after " << n;
			std::vector<std::string> vars = loaded_vars();
			fw_env_release(&options);
			ASSERT_TRUE(vars == old_vars || vars == new_vars) << kind << " cut after " << n << ": " << r.err;
			if (n == total) {
				EXPECT_EQ(vars, new_vars) << kind;
			}
		}
	}
}

}  // namespace
