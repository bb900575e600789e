#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

std::vector<std::string> target_launcher()
{
	std::vector<std::string> words;
	std::stringstream ss(BEJCONV_LAUNCHER);
	for (std::string w; std::getline(ss, w, '|');)
		if (!w.empty())
			words.push_back(w);
	return words;
}

std::string bejconv_path() { return BEJCONV_PATH; }

namespace {

// What a file descriptor's file holds, read from its start; the descriptor
// is closed.
std::string drained(int fd)
{
	std::string text;
	char buf[65536];
	lseek(fd, 0, SEEK_SET);
	for (ssize_t k; (k = read(fd, buf, sizeof buf)) > 0;)
		text.append(buf, k);
	close(fd);
	return text;
}

run_result spawn(const std::string &path, const std::vector<std::string> &argv,
		 const run_options &opts)
{
	// Both outputs go to files, so that the child never waits for the
	// parent while the parent feeds it its input through a pipe.
	int in[2], out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
	if (pipe2(in, O_CLOEXEC) || out < 0 || err < 0)
		throw std::runtime_error("pipe failed");
	std::vector<char *> cargv, cenv;
	for (const auto &a : argv)
		cargv.push_back(const_cast<char *>(a.c_str()));
	for (char **e = environ; *e; e++)
		cenv.push_back(*e);
	for (const auto &e : opts.env)
		cenv.push_back(const_cast<char *>(e.c_str()));
	cargv.push_back(nullptr);
	cenv.push_back(nullptr);

	// posix_spawn rather than fork: a forked child of a program running
	// under qemu-arm does not survive, a spawned one does.
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, in[0], 0);
	posix_spawn_file_actions_adddup2(&actions, out, 1);
	posix_spawn_file_actions_adddup2(&actions, err, 2);
	pid_t pid;
	int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, cargv.data(), cenv.data());
	posix_spawn_file_actions_destroy(&actions);
	if (rc != 0)
		throw std::runtime_error("cannot start " + path + ": " + strerror(rc));
	close(in[0]);
	signal(SIGPIPE, SIG_IGN);
	for (size_t written = 0; written < opts.input.size();) {
		ssize_t w = write(in[1], opts.input.data() + written, opts.input.size() - written);
		if (w < 0 && errno != EINTR)
			break;  // the child stopped reading
		written += std::max<ssize_t>(w, 0);
	}
	close(in[1]);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), drained(out),
		drained(err)};
}

}  // namespace

run_result run_program(const std::vector<std::string> &argv, const run_options &opts)
{
	const std::string &path = argv.at(0);
	return spawn(path.find('/') == std::string::npos ? "/usr/bin/" + path : path, argv, opts);
}

run_result run_bejconv(const std::vector<std::string> &args, const run_options &opts)
{
	std::vector<std::string> argv = target_launcher();
	bool native = argv.empty();
	if (native)
		argv.push_back(opts.argv0);
	else  // qemu-arm: -0 sets the guest's argv[0]
		argv.insert(argv.end(), {"-0", opts.argv0, bejconv_path()});
	argv.insert(argv.end(), args.begin(), args.end());
	return native ? spawn(bejconv_path(), argv, opts) : run_program(argv, opts);
}
