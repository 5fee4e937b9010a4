// SPDX-License-Identifier: MIT
// Starting a program as a user would, with an exact argument vector, and
// collecting its exit status, standard output and standard error.
#ifndef RUN_PROGRAM_HPP
#define RUN_PROGRAM_HPP

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Runs the program as run_program does, with the text input on its
// standard input.
inline program_result run_program_on(const std::string &input, const char *path,
                                     const std::vector<std::string> &argv,
                                     int out_fd = collect_output)
{
	std::FILE *in = std::tmpfile();
	std::fwrite(input.data(), 1, input.size(), in);
	std::rewind(in);
	program_result r =
		run_program(path, argv, out_fd, collect_output, fileno(in));
	std::fclose(in);
	return r;
}

// What run gives where standard output is a file that may grow to limit
// bytes, as a file size limit allows where its signal is ignored: a disk
// that fills up.  run is called with the file's descriptor, and what
// reached the file is the output.
template <typename Run> program_result run_into_full_file(rlim_t limit, Run run)
{
	rlimit old_limit{};
	getrlimit(RLIMIT_FSIZE, &old_limit);
	rlimit limited = old_limit;
	limited.rlim_cur = limit;
	const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
	std::FILE *out = std::tmpfile();
	setrlimit(RLIMIT_FSIZE, &limited);
	program_result r = run(fileno(out));
	setrlimit(RLIMIT_FSIZE, &old_limit);
	std::signal(SIGXFSZ, old_handler);
	r.out = read_whole(out);
	return r;
}

// Whether text is the message head followed by the C library's reason for
// the error e: this one's, or for EIO and ENOMEM also musl's own words.
inline bool is_reason(const std::string &text, const std::string &head, int e)
{
	return text == head + std::strerror(e) + "\n" ||
	       (e == EIO && text == head + "I/O error\n") ||
	       (e == ENOMEM && text == head + "Out of memory\n");
}

// An output to which every write fails, and the error it gives.
struct failing_output {
	const char *what;
	int fd;
	int error;
};

// Opens a pseudo-terminal, its master side into *master, and returns its
// terminal side opened with the access mode given.  Once the master is
// closed, every write to the terminal fails as after a hang-up.
inline int open_terminal(int mode, int *master)
{
	*master = posix_openpt(O_RDWR | O_NOCTTY);
	if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0)
		return -1;
	const char *name = ptsname(*master);
	return name != nullptr ? open(name, mode | O_NOCTTY) : -1;
}

// A full disk, a closed output, a terminal whose other side has hung up,
// one open for reading only, and a pipe whose reader has gone, SIGPIPE
// being ignored, which a program started inherits.  From the first call on
// they stay open, and SIGPIPE ignored; fd is -1 where one did not open.
inline const std::vector<failing_output> &failing_outputs()
{
	static const std::vector<failing_output> outputs = [] {
		int pipe_fds[2] = {-1, -1};
		if (pipe(pipe_fds) == 0)
			close(pipe_fds[0]);
		int master = -1;
		const int tty = open_terminal(O_RDWR, &master);
		close(master);
		const int read_only_tty = open_terminal(O_RDONLY, &master);
		std::signal(SIGPIPE, SIG_IGN);
		return std::vector<failing_output>{
			{"full disk", open("/dev/full", O_WRONLY), ENOSPC},
			{"closed output", closed_output, EBADF},
			{"dead terminal", tty, EIO},
			{"terminal open for reading only", read_only_tty,
		         EBADF},
			{"pipe without reader", pipe_fds[1], EPIPE}};
	}();
	return outputs;
}

// For a fuzz target: aborts, saying how, where a run did not give what the
// model predicts.
inline void abort_unless_same(const program_result &got,
                              const program_result &want)
{
	if (got == want)
		return;
	std::fprintf(stderr,
	             "program and model disagree\n"
	             "status %d, want %d\n"
	             "stdout \"%s\"\nwant   \"%s\"\n"
	             "stderr \"%s\"\nwant   \"%s\"\n",
	             got.status, want.status, got.out.c_str(), want.out.c_str(),
	             got.err.c_str(), want.err.c_str());
	std::abort();
}

#endif
