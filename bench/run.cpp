// Measures whole processes on the inputs that bench_prepare wrote: bejconv's
// encode and decode next to json-c's parse, and parse plus pretty print, of
// the same document, all in the same run, interleaved, medians of the runs.
// With a second bejconv (an earlier build), that one is measured alongside
// and its outputs are compared with the first one's.
//
//   bench_run [--runs=N] [--inputs=NAME,...] [--floor=JSONC_FLOOR]
//             [--emulator=COMMAND] INPUT_DIR BEJCONV [EARLIER_BEJCONV]
//
// Time is processor time (user and system) of the process, which stays
// steadier than wall time on a shared machine; peak is its peak resident set.
// --floor names another jsonc_floor than the one beside this program, and
// --emulator a command (an absolute path, then its arguments, separated by
// spaces) that runs every measured program: the programs of another
// architecture.  The time is then the emulator's, whose ratios still say
// something of the instructions; its peak is the emulator's own, and is
// left out.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct sample {
	double seconds;
	long kib;
};

// Runs argv with stderr to /dev/null; returns what it writes to stdout.
// The exit status goes to *status.
std::string run(const std::vector<std::string> &argv, int *status)
{
	int fds[2];
	if (pipe(fds) != 0)
		return "";
	pid_t child = fork();
	if (child == 0) {
		FILE *null = fopen("/dev/null", "w");
		dup2(fds[1], 1);
		dup2(fileno(null), 2);
		close(fds[0]);
		std::vector<char *> args;
		for (const std::string &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
	close(fds[1]);
	std::string out;
	char chunk[65536];
	for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
		out.append(chunk, static_cast<size_t>(n));
	close(fds[0]);
	int wstatus = 0;
	waitpid(child, &wstatus, 0);
	*status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128;
	return out;
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	size_t n = values.size();
	return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The value a quarter of the way up: on a shared machine the slower runs
// are those the neighbours slowed down, and this moves less than the median.
double first_quartile(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values.empty() ? 0 : values[(values.size() - 1) / 4];
}

// The median over the runs of a's time divided by b's time in the same
// run.  A busy host slows every command of a run alike, often by half
// or more, so a ratio within a run moves far less than one of medians
// taken over runs of which some were slowed and some not.
double paired_ratio(const std::vector<double> &a, const std::vector<double> &b)
{
	std::vector<double> ratios;
	for (size_t k = 0; k < a.size() && k < b.size(); k++)
		if (b[k] > 0)
			ratios.push_back(a[k] / b[k]);
	return median(ratios);
}

// One measured command and its samples, in the order of the runs.
struct row {
	std::string label;
	std::vector<std::string> argv;
	std::vector<sample> samples;

	std::vector<double> times() const
	{
		std::vector<double> v;
		for (const sample &s : samples)
			v.push_back(s.seconds);
		return v;
	}
	double seconds() const { return median(times()); }
	double fast_seconds() const { return first_quartile(times()); }
	double mib() const
	{
		std::vector<double> v;
		for (const sample &s : samples)
			v.push_back(double(s.kib) / 1024);
		return median(v);
	}
};

struct tools {
	std::string measure, floor, bejconv, earlier;
	std::vector<std::string> emulator;  // empty: the programs run as they are
	std::vector<std::string> inputs = {"example", "1M", "8M", "logentry"};
	int runs = 21;

	// The command line that runs argv, through the emulator if there is one.
	std::vector<std::string> launch(const std::vector<std::string> &argv) const
	{
		std::vector<std::string> line = emulator;
		line.insert(line.end(), argv.begin(), argv.end());
		return line;
	}
};

// "a,b,,c" split at sep, without the empty pieces.
std::vector<std::string> split(const std::string &text, char sep)
{
	std::vector<std::string> pieces;
	std::istringstream in(text);
	for (std::string piece; std::getline(in, piece, sep);)
		if (!piece.empty())
			pieces.push_back(piece);
	return pieces;
}

bool measure(const tools &t, row &r)
{
	std::vector<std::string> argv = {t.measure};
	std::vector<std::string> line = t.launch(r.argv);
	argv.insert(argv.end(), line.begin(), line.end());
	int status = 0;
	std::istringstream result(run(argv, &status));
	int code = -1;
	sample s{};
	result >> code >> s.seconds >> s.kib;
	if (status != 0 || code != 0) {
		fprintf(stderr, "bench_run: %s failed (status %d)\n", r.argv[0].c_str(), code);
		return false;
	}
	r.samples.push_back(s);
	return true;
}

std::vector<std::string> command(const std::string &bejconv, const std::string &base,
				 const std::string &action, const std::string &file)
{
	return {bejconv,
		"-s",
		base + ".schema.bin",
		"-a",
		base + ".annotation.bin",
		"-m",
		base + ".map",
		action,
		file};
}

// Encodes the input with each bejconv (the BEJ that decode reads) and
// compares what the two builds write.
bool prepare(const tools &t, const std::string &base)
{
	int status = 0;
	std::string bej = run(t.launch(command(t.bejconv, base, "encode", base + ".json")),
			      &status);
	if (status != 0) {
		fprintf(stderr, "bench_run: %s does not encode\n", base.c_str());
		return false;
	}
	std::ofstream(base + ".bej", std::ios::binary | std::ios::trunc) << bej;
	if (t.earlier.empty())
		return true;
	int s1 = 0, s2 = 0;
	bool same_bej = run(t.launch(command(t.earlier, base, "encode", base + ".json")), &s1) ==
			bej;
	bool same_json = run(t.launch(command(t.bejconv, base, "decode", base + ".bej")), &s1) ==
			 run(t.launch(command(t.earlier, base, "decode", base + ".bej")), &s2);
	printf("both builds: %s BEJ, %s decoded JSON\n", same_bej ? "the same" : "DIFFERENT",
	       same_json && s1 == s2 ? "the same" : "DIFFERENT");
	return true;
}

// The table of one input; without the peak columns when with_peak is false
// (under an emulator, whose peak is its own).
void print_rows(const std::vector<row> &rows, bool with_peak)
{
	const row &parse = rows[0], &print = rows[1];
	printf("%-30s %9s", "", "time s");
	if (with_peak)
		printf(" %9s", "peak MiB");
	printf(" %14s", "time ratio");
	if (with_peak)
		printf(" %14s", "peak ratio");
	printf(" %14s %14s\n", "q1 time ratio", "paired ratio");
	for (const row &r : rows) {
		printf("%-30s %9.3f", r.label.c_str(), r.seconds());
		if (with_peak)
			printf(" %9.1f", r.mib());
		const row *floor = r.label.find("encode") != std::string::npos   ? &parse
				   : r.label.find("decode") != std::string::npos ? &print
										 : nullptr;
		const char *of = floor == &parse ? "parse" : "print";
		if (floor) {
			printf(" %6.2f x %-5s", r.seconds() / floor->seconds(), of);
			if (with_peak)
				printf(" %6.2f x %-5s", r.mib() / floor->mib(), of);
			printf(" %6.2f x %-5s %6.2f x %-5s",
			       r.fast_seconds() / floor->fast_seconds(), of,
			       paired_ratio(r.times(), floor->times()), of);
		}
		printf("\n");
	}
}

bool bench_input(const tools &t, const fs::path &dir, const std::string &name)
{
	std::string base = (dir / name).string();
	if (!fs::exists(base + ".json")) {
		printf("== %s: skipped, no %s.json\n\n", name.c_str(), base.c_str());
		return true;
	}
	if (!prepare(t, base))
		return false;
	std::vector<row> rows = {
		{"json-c parse", {t.floor, "parse", base + ".json"}, {}},
		{"json-c parse + pretty print", {t.floor, "print", base + ".json"}, {}},
	};
	for (std::string action : {"encode", "decode"}) {
		std::string file = base + (action == "encode" ? ".json" : ".bej");
		if (!t.earlier.empty())
			rows.push_back({"bejconv " + action + " (earlier)",
					command(t.earlier, base, action, file),
					{}});
		rows.push_back({"bejconv " + action, command(t.bejconv, base, action, file), {}});
	}
	for (int k = 0; k < t.runs; k++)
		for (row &r : rows)
			if (!measure(t, r))
				return false;
	printf("== %s: %zu bytes of JSON, %zu of BEJ; medians of %d runs (q1: first quartiles;"
	       " paired: median of the ratios within each run)\n",
	       name.c_str(), fs::file_size(base + ".json"), fs::file_size(base + ".bej"), t.runs);
	print_rows(rows, t.emulator.empty());
	printf("\n");
	return true;
}

}  // namespace

int main(int argc, char **argv)
{
	tools t;
	fs::path here = fs::canonical("/proc/self/exe").parent_path();
	t.measure = (here / "bench_measure").string();
	t.floor = (here / "jsonc_floor").string();
	std::vector<std::string> operands;
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		std::string value = arg.substr(arg.find('=') + 1);
		if (arg.rfind("--runs=", 0) == 0)
			t.runs = std::max(1, atoi(value.c_str()));
		else if (arg.rfind("--inputs=", 0) == 0)
			t.inputs = split(value, ',');
		else if (arg.rfind("--floor=", 0) == 0)
			t.floor = fs::absolute(value).string();
		else if (arg.rfind("--emulator=", 0) == 0)
			t.emulator = split(value, ' ');
		else
			operands.push_back(arg);
	}
	if (operands.size() < 2 || operands.size() > 3) {
		fprintf(stderr,
			"Usage: %s [--runs=N] [--inputs=NAME,...] [--floor=JSONC_FLOOR]"
			" [--emulator=COMMAND] INPUT_DIR BEJCONV [EARLIER_BEJCONV]\n",
			argv[0]);
		return 2;
	}
	t.bejconv = fs::absolute(operands[1]).string();
	if (operands.size() == 3)
		t.earlier = fs::absolute(operands[2]).string();

	row help = {"bejconv -h", {t.bejconv, "-h"}, {}};
	for (int k = 0; k < t.runs; k++)
		if (!measure(t, help))
			return 1;
	if (t.emulator.empty())
		printf("bejconv -h: peak %.1f MiB\n\n", help.mib());
	else
		printf("bejconv -h: %.3f s (start-up, which every command pays)\n\n",
		       help.seconds());
	for (const std::string &name : t.inputs)
		if (!bench_input(t, operands[0], name))
			return 1;
	return 0;
}
