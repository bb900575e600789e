// bejconv over the published reference dictionaries: which of them register,
// how the others are refused, and locator bytes in a real schema.
#include "dictionary_view.h"
#include "paths.h"
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <optional>
#include <string>
#include <vector>

namespace {

// Raw little-endian fields of dictionary bytes, out of range reading as 0.
struct raw_dictionary {
	std::vector<uint8_t> b;
	unsigned u16(size_t at) const { return at + 1 < b.size() ? b[at] | b[at + 1] << 8 : 0; }
	unsigned count() const { return u16(2); }
	unsigned seq(unsigned entry) const { return u16(12 + 10 * entry + 1); }
	unsigned child_offset(unsigned entry) const { return u16(12 + 10 * entry + 3); }
	unsigned child_count(unsigned entry) const { return u16(12 + 10 * entry + 5); }
};

// Walks the child ranges from the root in the order registration builds
// them and returns the first child whose sequence number is not its
// position, as the pair (expected, found).  A range reaching a built entry
// is a shared list, which stops that range.  Other faults are not looked
// for: the reference dictionaries have none.
struct sequence_check {
	const raw_dictionary &d;
	std::vector<bool> built;
	std::optional<std::pair<unsigned, unsigned>> fault;

	bool build(unsigned entry)
	{
		built[entry] = true;
		unsigned offset = d.child_offset(entry);
		for (unsigned k = 0; k < d.child_count(entry); k++, offset = (offset + 10) & 0xffff) {
			unsigned child = (offset - 12) / 10;
			if (offset < 12 || (offset - 12) % 10 || child >= built.size())
				return false;
			if (d.seq(child) != k) {
				fault = {k, d.seq(child)};
				return false;
			}
			if (built[child])
				return true;
			if (!build(child))
				return false;
		}
		return true;
	}
};

std::optional<std::pair<unsigned, unsigned>> sequence_fault(const raw_dictionary &d)
{
	sequence_check check{d, std::vector<bool>(d.count()), std::nullopt};
	if (d.count() > 0)
		check.build(0);
	return check.fault;
}

std::vector<std::string> dictionary_files(const std::string &dir)
{
	std::vector<std::string> names;
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d)) {
			std::string n = e->d_name;
			if (n.size() > 4 && n.compare(n.size() - 4, 4, ".bin") == 0)
				names.push_back(n);
		}
		closedir(d);
	}
	std::sort(names.begin(), names.end());
	return names;
}

TEST(cli_reference, every_dictionary_registers_or_names_its_fault)
{
	std::string redfish = redfish_dir();
	if (redfish.empty())
		GTEST_SKIP() << "reference data absent: no Redfish dictionaries folder";
	std::string dicts = redfish + "/dictionaries";
	std::string annotation = dicts + "/annotation.bin";
	std::vector<std::string> names = dictionary_files(dicts);
	ASSERT_FALSE(names.empty());

	unsigned refused = 0;
	for (const std::string &name : names) {
		std::string path = dicts + "/" + name;
		std::string expected = "bejconv: locator must be specified\n";
		if (auto fault = sequence_fault(raw_dictionary{read_bytes(path)})) {
			refused++;
			expected = "librde[error]: Unexpected child sequence number (expected " +
				   std::to_string(fault->first) + ", found " +
				   std::to_string(fault->second) + ")\n"
				   "librde[error]: Failed to parse the dictionary\n"
				   "bejconv: failed to parse dictionary '" + path + "': Invalid argument\n";
		}
		run_result r = run_bejconv({"-s", path, "-a", annotation, "encode-locator"});
		EXPECT_EQ(r.status, 1) << name;
		EXPECT_EQ(r.out, "") << name;
		EXPECT_EQ(r.err, expected) << name;
	}
	// The excerpted dictionaries of the bundle, cut short inside a child range.
	EXPECT_EQ(refused, 24u);
}

TEST(cli_reference, chassis_locators)
{
	std::string redfish = redfish_dir();
	if (redfish.empty())
		GTEST_SKIP() << "reference data absent: no Redfish dictionaries folder";
	std::string chassis = redfish + "/dictionaries/Chassis_v1.bin";
	std::string annotation = redfish + "/dictionaries/annotation.bin";

	// Root, Status and Health fields from the dictionary's own bytes.
	raw_dictionary raw{read_bytes(chassis)};
	dictionary_view view(raw.b);
	auto root = view.root();
	ASSERT_TRUE(root);
	auto status = view.child(*root, "Status");
	ASSERT_TRUE(status);
	auto health = view.child(*status, "Health");
	ASSERT_TRUE(health);
	std::vector<uint8_t> body;
	for (unsigned entry : {root->index, status->index, health->index}) {
		auto field = nnint(2 * raw.seq(entry));
		body.insert(body.end(), field.begin(), field.end());
	}
	std::vector<uint8_t> expected = nnint(body.size());
	expected.insert(expected.end(), body.begin(), body.end());

	run_result r = run_bejconv({"-s", chassis, "-a", annotation, "-l", "Status/Health",
				    "encode-locator"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(to_hex({r.out.begin(), r.out.end()}), to_hex(expected));

	r = run_bejconv({"-s", chassis, "-a", annotation, "-l", "Status/Wellness",
			 "encode-locator"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "librde[error]: Invalid locator component: Wellness\n"
			 "bejconv: failed to build the locator\n");
}

}  // namespace
