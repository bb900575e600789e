// Reading and setting variables: flags, access rules, value words, overflow.
#include "env_fixture.h"
#include "fw_env_internal.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace {

class VarsTest : public EnvTest {
protected:
	std::string file;
	void SetUp() override
	{
		EnvTest::SetUp();
		file = dir + "/env";
		configure(file + " 0 0x400\n");
	}
	void store(const std::vector<std::string> &vars, size_t size = 0x400)
	{
		write_bytes(file, make_image(size, -1, vars));
		char line[64];
		snprintf(line, sizeof line, " 0 0x%zx\n", size);
		configure(file + line);
	}
	std::vector<std::string> stored() { return image_vars(read_bytes(file), false); }
};

TEST_F(VarsTest, ValueChecksByType)
{
	std::ifstream table(tests_source_dir() + "/fw_env/value_checks.txt");
	ASSERT_TRUE(table.good());
	std::string line;
	while (std::getline(table, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		std::istringstream in(line);
		std::string flags, name, value, result, letter;
		in >> flags >> name >> value >> result >> letter;
		store(flags == "-" ? std::vector<std::string>{} : std::vector<std::string>{".flags=" + flags});
		captured r = set({name, value});
		EXPECT_EQ(r.rc, result == "pass" ? 0 : -1) << line << r.out << r.err;
		if (result == "pass") {
			EXPECT_EQ(get(name.c_str()), value) << line;
		} else {
			EXPECT_EQ(r.out, "## Error: flags type check failure for \"" + name + "\" <= \"" + value +
						 "\" (type: " + letter + ")\n") << line;
			EXPECT_EQ(get(name.c_str()), "<none>") << line;
		}
	}
}

TEST_F(VarsTest, AccessRules)
{
	// serial# is write-once by default: created once, then fixed.
	store({"a=1"});
	EXPECT_EQ(set({"serial#", "X1"}).rc, 0);
	EXPECT_EQ(fw_env_load(&options), 0);
	int err = 0;
	captured r = capture([&] { int rc = fw_env_write("serial#", "X2"); err = errno; return rc; });
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.out, "Can't overwrite \"serial#\"\n");
	EXPECT_EQ(err, EROFS);
	r = capture([&] { int rc = fw_env_write("serial#", nullptr); err = errno; return rc; });
	EXPECT_EQ(r.out, "Can't delete \"serial#\"\n");
	EXPECT_EQ(err, EROFS);
	fw_env_release(&options);
	r = set({"serial#", "X2"});
	EXPECT_EQ(r.rc, 0);  // refused, but the environment is still written back
	EXPECT_EQ(r.out, "Can't overwrite \"serial#\"\n");
	EXPECT_EQ(get("serial#"), "X1");

	// Change-default: bootdelay may leave its default 2 once.
	store({".flags=bootdelay:dc", "bootdelay=2"});
	EXPECT_EQ(set({"bootdelay", "5"}).out, "");
	EXPECT_EQ(set({"bootdelay", "6"}).out, "Can't overwrite \"bootdelay\"\n");
	EXPECT_EQ(set({"bootdelay"}).out, "Can't delete \"bootdelay\"\n");
	EXPECT_EQ(get("bootdelay"), "5");

	// Read-only cannot be created; unknown letters warn and mean string / any.
	store({".flags=ro:sr , odd : qz,long:dcx"});
	EXPECT_EQ(set({"ro", "1"}).out, "Can't create \"ro\"\n");
	r = set({"odd", "v"});
	EXPECT_EQ(r.out, "## Warning: Unknown environment variable type 'q'\n"
			 "## Warning: Unknown environment variable access method 'z'\n");
	EXPECT_EQ(get("odd"), "v");
	EXPECT_EQ(set({"long", "7"}).out, "");  // three letters: decimal, rule any
	EXPECT_EQ(set({"long"}).rc, 0);
	EXPECT_EQ(get("long"), "<none>");
	EXPECT_EQ(env_var_access("long"), ENV_ACCESS_ANY);
}

TEST_F(VarsTest, ValueWordsAndOrder)
{
	store({"first=1", "mid=2", "last=3"});
	captured r = set({"vlan", "1", "2"});
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.out, "## Error: too many parameters for setting \"vlan\"\n");

	EXPECT_EQ(set({"first", "a", "b", "c"}).rc, 0);
	EXPECT_EQ(stored(), (std::vector<std::string>{"mid=2", "last=3", "first=a b c"}));
	EXPECT_EQ(set({"mid"}).rc, 0);
	EXPECT_EQ(set({"absent"}).rc, 0);
	EXPECT_EQ(stored(), (std::vector<std::string>{"last=3", "first=a b c"}));

	// Only whole names match.
	store({"bootdelay=3"});
	EXPECT_EQ(get("bootd"), "<none>");
	EXPECT_EQ(get("bootdelay"), "3");

	int err = 0;
	r = capture([&] { int rc = fw_env_set(0, nullptr, nullptr); err = errno; return rc; });
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(err, EINVAL);
	EXPECT_EQ(r.err, "## Error: variable name missing\n");

	configure("# nothing\n");
	r = set({"a", "1"});
	EXPECT_EQ(r.rc, -1);
	EXPECT_NE(r.err.find("Error: environment not initialized\n"), std::string::npos);
}

TEST_F(VarsTest, OverflowDropsTheVariable)
{
	store({"keep=1", "big=old"}, 0x40);  // 60 data bytes
	captured r = set({"big", std::string(60, 'x')});
	EXPECT_EQ(r.rc, 0);
	EXPECT_EQ(r.err, "Error: environment overflow, \"big\" deleted\n");
	EXPECT_EQ(stored(), std::vector<std::string>{"keep=1"});
	// Exactly full: name, "=", value, NUL and the list end fill the rest.
	EXPECT_EQ(set({"n", std::string(50, 'y')}).err, "Error: environment overflow, \"n\" deleted\n");
	EXPECT_EQ(set({"n", std::string(49, 'y')}).err, "");
	EXPECT_EQ(stored().back(), "n=" + std::string(49, 'y'));
}

TEST_F(VarsTest, ReturnedValueOutlivesTheStore)
{
	store({"a=first", "b=second"});
	const char *a = fw_getenv("a");
	ASSERT_NE(a, nullptr);
	EXPECT_EQ(set({"a", "changed"}).rc, 0);  // the store was loaded and released again
	EXPECT_STREQ(a, "first");
	const char *b = fw_getenv("b");  // replaces the previous copy
	EXPECT_STREQ(b, "second");
	EXPECT_EQ(fw_getenv("nothing"), nullptr);
	EXPECT_EQ(fw_getenv(nullptr), nullptr);
}

}  // namespace
