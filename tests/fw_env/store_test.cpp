// The environment store driven by the transcripts in cases/: each file is a
// script of commands, each followed by what it printed. The runner replays
// the commands on simulated devices and real files in a fresh folder ("$D")
// and compares the whole transcript, whose expected lines are kept by hand.
// Printed: "= " a result, "1> " and "2> " lines of standard output and error
// ("1% ", "2% " a last line without its newline), ": " listed lines.
#include <gtest/gtest.h>

#include "capture.h"
#include "device.h"           // the device layer and
#include "fw_env_internal.h"  // loading and changing the store have no public path
#include "paths.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <numeric>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/fs.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>

namespace {

// The simulated device layer: MTD devices, UBI volumes and block devices in
// memory, with erase semantics, bad blocks, a power cut after a number of
// written bytes and one-shot faults. Other paths reach real files only inside
// the root folder, where "/etc/fw_env.config" and "/sys/class/ubi" lead too.
namespace sim {

struct sim_device {
	uint8_t mtd_type;  // MEMGETINFO type (3 NOR, 4 NAND, 6 DATAFLASH, 7 UBI), 0 a block device
	uint32_t erase_size = 512;
	std::vector<uint8_t> data;
	std::set<uint64_t> bad_blocks;  // block numbers
	std::set<uint64_t> locked;      // block numbers: no erase, no write
};

// The call named (open, close, read, write, seek, stat, ioctl, fsync, rename, mkstemp,
// opendir) fails once with err after skip good ones; an ioctl given err 0 answers 1,
// and "write-short" makes a write take half of what it is given.
struct fault {
	std::string call;
	int err = 0, skip = 0;
};

std::map<std::string, sim_device> devices;  // by path; a copy saves them all
int64_t write_budget = -1;  // writes and erases stop after this many more bytes; -1: never
fault next_fault;
struct open_file {
	sim_device *dev;
	int64_t pos;
};

std::string root;
std::map<int, open_file> files;
const env_io &real_io = env_io_linux();

// True (errno set) when this call is the one to fail.
bool fails(const char *call)
{
	if (next_fault.call != call || next_fault.skip-- > 0)
		return false;
	next_fault.call.clear();
	errno = next_fault.err;
	return true;
}

// The real path for path: redirected into the root, empty outside it.
std::string real(const char *path)
{
	std::string p = path;
	if (p == "/etc/fw_env.config" || p.rfind("/sys/class/ubi", 0) == 0)
		return root + (p[1] == 'e' ? "/fw_env.config" : "/sys" + p.substr(14));
	return p.rfind(root + "/", 0) == 0 || p == root ? p : "";
}

// The simulated device open as fd, or nullptr for a real file.
open_file *sim_file(int fd)
{
	auto it = files.find(fd);
	return it == files.end() ? nullptr : &it->second;
}

int sim_open(const char *path, int flags, mode_t mode)
{
	if (fails("open"))
		return -1;
	auto it = devices.find(path);
	if (it == devices.end())
		return real_io.open(real(path).c_str(), flags, mode);
	int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
	files[fd] = {&it->second, 0};
	return fd;
}

int sim_close(int fd)
{
	files.erase(fd);
	return real_io.close(fd) < 0 || fails("close") ? -1 : 0;
}

ssize_t sim_read(int fd, void *buf, size_t len)
{
	open_file *f = sim_file(fd);
	if (bool failed = fails("read"); failed || !f)
		return failed ? -1 : real_io.read(fd, buf, len);
	std::vector<uint8_t> &data = f->dev->data;
	size_t at = std::min<uint64_t>(f->pos, data.size()), n = std::min(len, data.size() - at);
	memcpy(buf, data.data() + at, n);
	f->pos += n;
	return static_cast<ssize_t>(n);
}

// Flash programming only clears bits: writing over bits not erased fails,
// as do writes to bad blocks and past the end of the write budget.
ssize_t sim_write(int fd, const void *buf, size_t len)
{
	open_file *f = sim_file(fd);
	if (!f || fails("write"))
		return f ? -1 : real_io.write(fd, buf, len);
	sim_device &d = *f->dev;
	bool flash = d.mtd_type == 3 || d.mtd_type == 4;
	size_t n = write_budget < 0 ? len : std::min<size_t>(len, write_budget);
	if (fails("write-short"))  // a write that takes only half
		n = std::max<size_t>(1, n / 2);
	errno = EIO;
	if (f->pos + len > d.data.size() || n == 0 ||
	    (flash && d.bad_blocks.count(f->pos / d.erase_size)))
		return -1;
	if (d.locked.count(f->pos / d.erase_size))
		return errno = EROFS, -1;
	const uint8_t *src = static_cast<const uint8_t *>(buf);
	uint8_t *dst = d.data.data() + f->pos;
	if (flash &&
	    !std::equal(src, src + n, dst, [](uint8_t a, uint8_t b) { return (a & b) == a; }))
		return -1;
	std::copy(src, src + n, dst);
	write_budget -= write_budget < 0 ? 0 : n;
	f->pos += n;
	return static_cast<ssize_t>(n);
}

int64_t sim_seek(int fd, int64_t offset, int whence)
{
	open_file *f = sim_file(fd);
	if (!f || fails("seek"))
		return f ? -1 : real_io.seek(fd, offset, whence);
	return f->pos = (whence == SEEK_SET ? 0 : f->pos) + offset;
}

int sim_file_mode(int fd, mode_t *mode)
{
	open_file *f = sim_file(fd);
	if (!f || fails("stat"))
		return f ? -1 : real_io.file_mode(fd, mode);
	*mode = f->dev->mtd_type == 0 ? S_IFBLK : S_IFCHR;
	return 0;
}

// The ioctls the store makes, whatever the device: the size of a block
// device, MTD information, bad blocks and erasing, UBI block maps and updates.
int sim_ioctl(int fd, unsigned long request, void *arg)
{
	open_file *f = sim_file(fd);
	if (!f || fails("ioctl"))
		return f ? (errno ? -1 : 1) : real_io.ioctl(fd, request, arg);
	sim_device &d = *f->dev;
	const auto *e = static_cast<const erase_info_user *>(arg);
	const auto *bytes = static_cast<const int64_t *>(arg);  // a position or a size
	errno = EIO;
	if (request == MEMGETINFO)
		*static_cast<mtd_info_user *>(arg) = {d.mtd_type};
	else if (request == BLKGETSIZE64)
		*static_cast<uint64_t *>(arg) = d.data.size();
	else if (request == MEMGETBADBLOCK || request == UBI_IOCEBISMAP)
		return request == UBI_IOCEBISMAP || d.bad_blocks.count(*bytes / d.erase_size);
	else if (request == MEMLOCK || request == MEMUNLOCK)
		for (uint64_t b = e->start / d.erase_size; b * d.erase_size < e->start + e->length;
		     b++)
			request == MEMLOCK ? (void)d.locked.insert(b) : (void)d.locked.erase(b);
	else if (request == MEMERASE && d.locked.count(e->start / d.erase_size))
		return errno = EROFS, -1;
	else if (request == MEMERASE &&
		 (d.mtd_type == 6 || e->start % d.erase_size || e->length % d.erase_size ||
		  e->start + uint64_t(e->length) > d.data.size()))
		return -1;  // DATAFLASH needs no erase
	else if (request == UBI_IOCVOLUP && (*bytes > int64_t(d.data.size()) || write_budget == 0))
		return -1;
	else if (request == UBI_IOCVOLUP)
		std::fill(d.data.begin(), d.data.end(), 0xFF);
	else if (request == MEMERASE) {  // erased from the start until the power goes
		int64_t n = write_budget < 0 ? e->length
					     : std::min<int64_t>(e->length, write_budget);
		std::fill_n(d.data.begin() + e->start, n, 0xFF);
		write_budget -= write_budget < 0 ? 0 : n;
		return n < e->length ? -1 : 0;
	}
	return 0;
}

int sim_fsync(int fd) { return fails("fsync") ? -1 : sim_file(fd) ? 0 : real_io.fsync(fd); }

int sim_rename(const char *from, const char *to)
{
	return fails("rename") ? -1 : real_io.rename(real(from).c_str(), real(to).c_str());
}

// Temporary files get one name, so that messages name them alike each run.
int sim_mkstemp(char *path)
{
	memcpy(path + strlen(path) - 6, "000000", 6);
	return fails("mkstemp") ? -1
				: real_io.open(real(path).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
}

DIR *sim_opendir(const char *p)
{
	return fails("opendir") ? nullptr : real_io.opendir(real(p).c_str());
}
FILE *sim_fopen(const char *p, const char *mode) { return real_io.fopen(real(p).c_str(), mode); }

const env_io sim_io = {sim_open,  sim_close, sim_read,   sim_write,   sim_seek,    sim_file_mode,
		       sim_ioctl, sim_fsync, sim_rename, sim_mkstemp, sim_opendir, sim_fopen};

// Installs an empty simulated layer; an empty root puts the real one back.
void install(const std::string &folder)
{
	env_io_install(folder.empty() ? nullptr : &sim_io);
	devices.clear();
	write_budget = -1;
	next_fault = {};
	root = folder;
}

}  // namespace sim

using sim::sim_device;

using words = std::vector<std::string>;
namespace fs = std::filesystem;

uint64_t num(const std::string &s) { return std::stoull(s, nullptr, 0); }
long open_files() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }
std::string shown(const char *value) { return "= " + std::string(value ? value : "(none)") + "\n"; }

std::string render(const std::string &stream, const std::string &text)
{
	std::string out;
	for (size_t pos = 0, nl; pos < text.size(); pos = nl + 1) {
		if ((nl = text.find('\n', pos)) == std::string::npos)
			return out + stream + "% " + text.substr(pos) + "\n";
		out += stream + ">" + (nl > pos ? " " + text.substr(pos, nl - pos) : "") + "\n";
	}
	return out;
}

// An image of size bytes: the CRC, the flag unless it is "-", the variables.
std::vector<uint8_t> image(size_t size, const std::string &flag, const words &vars)
{
	size_t hdr = flag == "-" ? 4 : 5, pos = hdr;
	std::vector<uint8_t> img(size, 0);
	img[4] = flag == "-" ? 0 : uint8_t(num(flag));
	for (const auto &v : vars)
		pos = std::copy(v.begin(), v.end(), img.begin() + pos) - img.begin() + 1;
	uint32_t crc = crc32(0, img.data() + hdr, size - hdr);
	memcpy(img.data(), &crc, 4);
	return img;
}

// The bytes of a simulated device or of a real file.
std::vector<uint8_t> contents(const std::string &path)
{
	return sim::devices.count(path) ? sim::devices[path].data
	       : file_exists(path)      ? read_bytes(path)
					: std::vector<uint8_t>();
}

// "fill PATH OFFSET LEN BYTE", "image PATH OFFSET SIZE FLAG VAR...": puts the
// bytes or the image into a simulated device or a real file, grown as needed.
void put(const words &w)
{
	std::vector<uint8_t> bytes = w[0] == "fill"
					     ? std::vector<uint8_t>(num(w[3]), uint8_t(num(w[4])))
					     : image(num(w[3]), w[4], {w.begin() + 5, w.end()}),
			     data = contents(w[1]);
	data.resize(std::max<size_t>(data.size(), num(w[2]) + bytes.size()));
	std::copy(bytes.begin(), bytes.end(), data.begin() + num(w[2]));
	sim::devices.count(w[1]) ? void(sim::devices[w[1]].data = data) : write_bytes(w[1], data);
}

// "bytes PATH OFFSET LEN": the runs of equal bytes as VALUE*COUNT, then
// whether the device's block at OFFSET is locked, or a real file's mode.
std::string runs(const words &w)
{
	std::vector<uint8_t> all = contents(w[1]);
	std::string out = "=";
	char run[32];
	for (size_t i = num(w[2]), n, end = std::min<size_t>(i + num(w[3]), all.size()); i < end;
	     i += n) {
		for (n = 1; i + n < end && all[i + n] == all[i];)
			n++;
		out += (snprintf(run, sizeof run, " %02x*%zu", all[i], n), run);
	}
	struct stat st;
	if (sim::devices.count(w[1]))
		out += sim::devices[w[1]].locked.count(num(w[2]) / sim::devices[w[1]].erase_size)
			       ? " locked"
			       : "";
	else if (stat(w[1].c_str(), &st) == 0)
		out += (snprintf(run, sizeof run, " mode %03o", unsigned(st.st_mode & 0777)), run);
	return out + "\n";
}

// "dev KIND PATH SIZE [ERASE]": a simulated device, erased.
void add_device(const words &w)
{
	static const std::map<std::string, uint8_t> types = {
		{"nor", 3}, {"nand", 4}, {"dataflash", 6}, {"ram", 1}, {"ubi", 7}, {"block", 0}};
	sim_device &d = sim::devices[w[2]] = {types.at(w[1])};
	d.erase_size = w.size() > 4 ? uint32_t(num(w[4])) : 512;
	d.data.assign(num(w[3]), w[1] == "block" ? 0 : 0xFF);
}

// "fault CALL ERRNO [SKIP]": that call fails once; ERRNO 0: an ioctl answers 1.
void add_fault(const words &w)
{
	int err = 0;
	for (const char *n = ""; w[2] != "0" && err < 200 && w[2] != n;)
		n = strerrorname_np(++err) ? strerrorname_np(err) : "";
	sim::next_fault = {w[1], err, w.size() > 3 ? int(num(w[3])) : 0};
}

struct script {
	std::string dir, config = dir + "/fw_env.config", options_path = config;
	env_options options{options_path.c_str()};
	const char *last = nullptr;

	// A status; a failed set or write adds its error number's name.
	static std::string result(int rc, bool with_errno = false)
	{
		const char *name = with_errno && rc < 0 && errno ? strerrorname_np(errno) : nullptr;
		return "= " + std::to_string(rc) + (name ? " " + std::string(name) : "") + "\n";
	}
	// "config TEXT", "text PATH TEXT": writes the file, "\n" ending a line;
	// config starts a fresh process, with no geometry from earlier loads.
	void write_text(const words &w, const std::string &line)
	{
		std::string path = w[0] == "config" ? config : w[1];
		size_t skip = w[0].size() + 1 + (w[0] == "text" ? path.size() + 1 : 0);
		std::string text = line.size() > skip ? line.substr(skip) + "\n" : "\n";
		fs::create_directories(fs::path(path).parent_path());
		write_file(path, replace_all(text, "\\n", "\n"));
		for (auto &d : envdevices)
			if (w[0] == "config")
				d.erase_size = d.sector_count = 0;
	}
	std::string set(words w)
	{
		std::vector<char *> argv;
		for (auto &a : w)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		errno = 0;
		if (w[0] == "write")  // write NAME [VALUE], on the loaded store
			return result(fw_env_write(argv[1], argv[2]), true);
		// A "|" ends the words that argc counts; those after it stay in argv.
		int argc = int(std::find(w.begin(), w.end(), "|") - w.begin()) - 1;
		return result(
			fw_env_set(argc, argv.data() + 1, options_path == "-" ? nullptr : &options),
			true);
	}
	// "vars": the variables a load finds, a line each, or its failed result.
	std::string listed()
	{
		int rc = fw_env_load(&options);
		std::string out = rc < 0 ? result(rc) : "",
			    area(env_state.data, env_state.data_size);
		for (size_t pos = 0; pos < area.size() && area[pos]; pos += strlen(&area[pos]) + 1)
			out += ": " + std::string(&area[pos]) + "\n";
		return fw_env_release(&options), out;
	}
	std::string sweep(const words &op);
	std::string command(const words &w, const std::string &line);
	std::string run(const std::string &line);
};

std::string script::command(const words &w, const std::string &line)
{
	using action = std::function<std::string()>;
	const std::map<std::string, action> commands = {
		{"load", [&] { return result(fw_env_load(&options)); }},
		{"release", [&] { return fw_env_release(&options), ""; }},
		{"get", [&] { return last = fw_getenv(w[1].c_str()), shown(last); }},
		{"last", [&] { return shown(last); }},  // what the latest get returned, read now
		{"set", [&] { return set(w); }},
		{"write", [&] { return set(w); }},
		{"vars", [&] { return listed(); }},
		{"bytes", [&] { return runs(w); }},
		{"sweep", [&] { return sweep(words(w.begin() + 1, w.end())); }},
		{"dev", [&] { return add_device(w), ""; }},
		{"bad", [&] { return sim::devices.at(w[1]).bad_blocks.insert(num(w[2])), ""; }},
		{"lock", [&] { return sim::devices.at(w[1]).locked.insert(num(w[2])), ""; }},
		{"fill", [&] { return put(w), ""; }},
		{"image", [&] { return put(w), ""; }},
		{"config", [&] { return write_text(w, line), ""; }},
		{"text", [&] { return write_text(w, line), ""; }},
		{"options",
		 [&] { return options.config_file = (options_path = w[1]).c_str(), ""; }},
		{"link",
		 [&] { return "= " + std::to_string(::link(w[1].c_str(), w[2].c_str())) + "\n"; }},
		{"budget", [&] { return sim::write_budget = std::stoll(w[1], nullptr, 0), ""; }},
		{"fault", [&] { return add_fault(w), ""; }},
	};
	return commands.count(w[0]) ? commands.at(w[0])() : "unknown command\n";
}

// Runs one command line: what it printed, with the folder as "$D".
std::string script::run(const std::string &line)
{
	std::string text = replace_all(line, "$D", dir);
	std::istringstream in(text);
	words w{std::istream_iterator<std::string>(in), {}};
	auto before = open_files();
	stderr_capture err;
	fflush(stdout);
	testing::internal::CaptureStdout();
	std::string result = command(w, text);
	std::string out = testing::internal::GetCapturedStdout(), errors = err.text();
	if (w[0] != "sweep")  // each of its runs prints what its cut leaves
		result += render("1", out) + render("2", errors);
	EXPECT_EQ(open_files(), before) << "a file left open by " << line;
	return replace_all(result, dir, "$D");
}

// "sweep COMMAND...": runs the command with the power cut after every
// possible number of written or erased bytes, each time from the same
// devices, and names what the next load finds: the old environment, the new
// one or the default (a fresh store's). Two copies never lose both, and
// nothing else is ever found.
std::string script::sweep(const words &op)
{
	auto saved = sim::devices;
	std::map<std::string, std::string> names = {{listed(), " old"}};
	sim::write_budget = INT64_MAX;
	command(op, "");
	int64_t total = INT64_MAX - sim::write_budget;
	names.emplace(listed(), " new");
	for (auto &dev : sim::devices)
		dev.second.data.assign(dev.second.data.size(), 0);
	names.emplace(listed(), " default");
	std::set<std::string> seen;
	for (int64_t n = 0; n <= total; n++) {
		sim::devices = saved;
		sim::write_budget = n;
		command(op, "");
		std::string name = names[listed()];
		EXPECT_TRUE(name == " old" || name == " new" ||
			    (name == " default" && !env_redundant));
		seen.insert(name.empty() ? " other" : name);
	}
	sim::devices = saved, sim::write_budget = -1;
	return std::accumulate(seen.begin(), seen.end(), std::string("=")) + "\n";
}

TEST(Store, Transcripts)
{
	umask(022);  // the modes files are made with
	for (const auto &e : fs::directory_iterator(tests_source_dir() + "/fw_env/cases")) {
		std::string expected = read_file(e.path()), actual, line;
		script s{make_temp_dir()};
		sim::install(s.dir);
		std::istringstream in(expected);
		while (std::getline(in, line))
			if (line.find_first_of("=:") != 0 && line.find_first_of("12") != 0)
				actual += line + "\n" +
					  (line.empty() || line[0] == '#' ? "" : s.run(line));
		fw_env_release(nullptr);
		sim::install("");
		EXPECT_EQ(expected, actual) << e.path().filename();
	}
}

}  // namespace
