/*
 * Runs one command with its output discarded and prints
 * "STATUS CPU_SECONDS PEAK_KIB": its exit status (128 + signal when a
 * signal ended it), its processor time (user and system) and its peak
 * resident set size as the kernel reports them for the process.
 *
 *   bench_measure PROGRAM [ARGUMENT...]
 *
 * Plain C and tiny on purpose: the command starts as a copy of this
 * process, so this process's own size is the least the command can show.
 */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "Usage: %s PROGRAM [ARGUMENT...]\n", argv[0]);
		return 2;
	}
	pid_t child = fork();
	if (child == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		execv(argv[1], argv + 1);
		_exit(127);
	}
	int status = 0;
	struct rusage usage;
	if (child < 0 || wait4(child, &status, 0, &usage) != child) {
		perror(argv[0]);
		return 1;
	}
	double cpu = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec * 1e-6 +
		     (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec * 1e-6;
	int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	printf("%d %.4f %ld\n", code, cpu, usage.ru_maxrss);
	return 0;
}
