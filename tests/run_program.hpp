// SPDX-License-Identifier: MIT
// Starting a program as a user would, with an exact argument vector, and
// collecting its exit status, standard output and standard error.
#ifndef RUN_PROGRAM_HPP
#define RUN_PROGRAM_HPP

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct program_result {
	int status;
	std::string out;
	std::string err;

	bool operator==(const program_result &) const = default;
};

inline std::string read_whole(std::FILE *f)
{
	std::string s;
	std::rewind(f);
	char buf[4096];
	size_t n = 0;
	while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	std::fclose(f);
	return s;
}

// For run_program's out_fd: collect standard output, or start the program
// with standard output closed; for err_fd, collect standard error.
constexpr int collect_output = -1;
constexpr int closed_output = -2;

// Starts the program at path with the argument vector argv (its name
// included, so that it may be anything, or absent) and an empty environment,
// but for the processor that qemu-user emulates when the tests run under it,
// with the descriptors in_fd (-1: this process's standard input), out_fd
// (closed_output: closed) and err_fd as its standard input, output and
// error.  Returns its process id, or -1 when it could not be started.
inline pid_t spawn_program(const char *path,
                           const std::vector<std::string> &argv, int in_fd,
                           int out_fd, int err_fd)
{
	// posix_spawn takes char *const[] for C's sake and writes nothing.
	std::vector<char *> v(argv.size() + 1, nullptr);
	std::transform(argv.begin(), argv.end(), v.begin(),
	               [](const std::string &a) {
			       // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
			       return const_cast<char *>(a.c_str());
		       });
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	if (in_fd >= 0)
		posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
	if (out_fd == closed_output)
		posix_spawn_file_actions_addclose(&fa, 1);
	else
		posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
	posix_spawn_file_actions_adddup2(&fa, err_fd, 2);

	std::string cpu = "QEMU_CPU=";
	const char *qemu_cpu = std::getenv("QEMU_CPU");
	char *envp[] = {qemu_cpu != nullptr ? cpu.append(qemu_cpu).data()
	                                    : nullptr,
	                nullptr};
	pid_t pid = 0;
	const int rc = posix_spawn(&pid, path, &fa, nullptr, v.data(), envp);
	posix_spawn_file_actions_destroy(&fa);
	return rc == 0 ? pid : -1;
}

// Waits for the process pid to end, and returns its exit status, 128 plus
// the signal number when a signal ended it, or -1 for no process.
inline int wait_program(pid_t pid)
{
	int ws = 0;
	pid_t done = -1;
	while (pid > 0 && (done = waitpid(pid, &ws, 0)) < 0 && errno == EINTR)
		;
	if (done != pid)
		return -1;
	return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

// Runs the program as spawn_program starts it, and collects what it
// writes: standard output is collected, closed, or the descriptor out_fd;
// standard error is collected or the descriptor err_fd; standard input is
// this process's, or the descriptor in_fd.
inline program_result run_program(const char *path,
                                  const std::vector<std::string> &argv,
                                  int out_fd = collect_output,
                                  int err_fd = collect_output, int in_fd = -1)
{
	std::FILE *out = std::tmpfile();
	std::FILE *err = std::tmpfile();
	if (out == nullptr || err == nullptr) {
		std::perror("tmpfile");
		std::abort();
	}
	const int status = wait_program(
		spawn_program(path, argv, in_fd,
	                      out_fd == collect_output ? fileno(out) : out_fd,
	                      err_fd == collect_output ? fileno(err) : err_fd));
	return {status, read_whole(out), read_whole(err)};
}

#endif
