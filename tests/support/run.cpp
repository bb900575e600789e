#include "run.h"

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

extern char **environ;

std::vector<std::string> target_launcher()
{
	std::vector<std::string> words;
	std::stringstream ss(BEJCONV_LAUNCHER);
	std::string w;
	while (std::getline(ss, w, '|'))
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
	std::vector<std::string> envs;
	for (char **e = environ; *e; e++)
		envs.emplace_back(*e);
	for (const auto &e : opts.env)
		envs.push_back(e);
	std::vector<char *> cargv, cenv;
	for (const auto &a : argv)
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);
	for (const auto &e : envs)
		cenv.push_back(const_cast<char *>(e.c_str()));
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

	run_result r;
	size_t written = 0;
	int in_fd = in[1];
	if (opts.input.empty()) {
		close(in_fd);
		in_fd = -1;
	} else {
		fcntl(in_fd, F_SETFL, O_NONBLOCK);
	}
	bool out_open = true, err_open = true;
	char buf[65536];
	while (out_open || err_open || in_fd >= 0) {
		struct pollfd fds[3];
		int n = 0;
		int io = -1, oo = -1, eo = -1;
		if (in_fd >= 0) {
			fds[n] = {in_fd, POLLOUT, 0};
			io = n++;
		}
		if (out_open) {
			fds[n] = {out[0], POLLIN, 0};
			oo = n++;
		}
		if (err_open) {
			fds[n] = {err[0], POLLIN, 0};
			eo = n++;
		}
		if (poll(fds, n, -1) < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		if (io >= 0 && fds[io].revents) {
			ssize_t w = write(in_fd, opts.input.data() + written,
					  opts.input.size() - written);
			if (w > 0)
				written += w;
			if (w < 0 && errno != EAGAIN) {
				close(in_fd);
				in_fd = -1;
			} else if (written == opts.input.size()) {
				close(in_fd);
				in_fd = -1;
			}
		}
		if (oo >= 0 && fds[oo].revents) {
			ssize_t k = read(out[0], buf, sizeof buf);
			if (k <= 0)
				out_open = false;
			else
				r.out.append(buf, k);
		}
		if (eo >= 0 && fds[eo].revents) {
			ssize_t k = read(err[0], buf, sizeof buf);
			if (k <= 0)
				err_open = false;
			else
				r.err.append(buf, k);
		}
	}
	close(out[0]);
	close(err[0]);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}

}  // namespace

run_result run_program(const std::vector<std::string> &argv, const run_options &opts)
{
	return spawn(argv.at(0), argv, opts);
}

run_result run_bejconv(const std::vector<std::string> &args, const run_options &opts)
{
	std::vector<std::string> launcher = target_launcher();
	std::vector<std::string> argv;
	if (launcher.empty()) {
		argv.push_back(opts.argv0);
		argv.insert(argv.end(), args.begin(), args.end());
		return spawn(bejconv_path(), argv, opts);
	}
	// qemu-arm: -0 sets the guest's argv[0], -E an environment entry that
	// only the guest sees (LD_PRELOAD must not reach the emulator itself).
	argv = launcher;
	for (const auto &e : opts.emulator_env) {
		argv.push_back("-E");
		argv.push_back(e);
	}
	argv.push_back("-0");
	argv.push_back(opts.argv0);
	argv.push_back(bejconv_path());
	argv.insert(argv.end(), args.begin(), args.end());
	std::string path = argv[0];
	if (path.find('/') == std::string::npos)
		path = "/usr/bin/" + path;
	return spawn(path, argv, opts);
}
