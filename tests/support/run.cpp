#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

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

run_result spawn(const std::string &path, const std::vector<std::string> &argv,
		 const run_options &opts)
{
	int in[2], out[2], err[2];
	if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
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
	posix_spawn_file_actions_adddup2(&actions, out[1], 1);
	posix_spawn_file_actions_adddup2(&actions, err[1], 2);
	pid_t pid;
	int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, cargv.data(), cenv.data());
	posix_spawn_file_actions_destroy(&actions);
	if (rc != 0)
		throw std::runtime_error("cannot start " + path + ": " + strerror(rc));
	close(in[0]);
	close(out[1]);
	close(err[1]);
	signal(SIGPIPE, SIG_IGN);

	// The input is fed and both outputs drained in one loop, so that no pipe
	// fills while another is waited on; poll skips a closed one, set to -1.
	run_result r;
	std::string *sinks[] = {nullptr, &r.out, &r.err};
	struct pollfd fds[] = {{in[1], POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	size_t written = 0;
	char buf[65536];
	fcntl(in[1], F_SETFL, O_NONBLOCK);
	while (fds[0].fd >= 0 || fds[1].fd >= 0 || fds[2].fd >= 0) {
		if (written == opts.input.size() && fds[0].fd >= 0)
			close(std::exchange(fds[0].fd, -1));
		if (poll(fds, 3, -1) < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		if (fds[0].revents) {
			ssize_t w = write(fds[0].fd, opts.input.data() + written,
					  opts.input.size() - written);
			if (w < 0 && errno != EAGAIN)
				written = opts.input.size();  // the child stopped reading
			else
				written += std::max<ssize_t>(w, 0);
		}
		for (int i = 1; i < 3; i++) {
			if (!fds[i].revents)
				continue;
			ssize_t k = read(fds[i].fd, buf, sizeof buf);
			if (k > 0)
				sinks[i]->append(buf, k);
			else
				close(std::exchange(fds[i].fd, -1));
		}
	}
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
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
