// SPDX-License-Identifier: MIT
// Tests of the hwstep-lines program as a user runs it: started in a folder
// of files, with its standard input from a file or a pipe, and its exit
// status, standard output and standard error each compared whole.
#include <gtest/gtest.h>

#include "run_program.hpp"
#include "word_model.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

void PrintTo(const program_result &r, std::ostream *os);

namespace {

const std::string one = "0x0001, 0x8000 => 67.500000\n";
const std::string both = one + "0xffff, 0xffff => -0.000687\n";
const std::string l45 = "0x0001, 0x0000 => 45.000000\n";
const std::string l90 = "0x0002, 0x0000 => 90.000000\n";
const std::string bom = "\xEF\xBB\xBF";
const std::string zs(100000, 'z');
const std::string p = "hwstep-lines: ";
const std::string in = "(standard input)";
const std::string usage =
	"usage: hwstep-lines [-kHs] [-f high,low] [file ...]\n";

// The message about line n of the file.
std::string at(int n, const std::string &what, const std::string &file = in)
{
	return p + file + ":" + std::to_string(n) + ": " + what + "\n";
}

std::string malformed(int n, const std::string &quoted,
                      const std::string &file = in)
{
	return at(n, "malformed number `" + quoted + "'", file);
}

std::string no_file(const std::string &file)
{
	return p + file + ": No such file or directory\n";
}

// Each test runs in a folder of its own, which holds pairs.txt (the pairs
// of both), bad.txt (a malformed word on line 2 of 3) and the folder dir.
class HwstepLines : public testing::Test {
      protected:
	void SetUp() override
	{
		std::string t = std::filesystem::temp_directory_path() /
		                "hwstep-lines-XXXXXX";
		ASSERT_NE(mkdtemp(t.data()), nullptr);
		folder = t;
		ASSERT_EQ(chdir(t.c_str()), 0);
		std::ofstream("pairs.txt") << "1 8000\nffff ffff\n";
		std::ofstream("bad.txt") << "1 0\nzz 0\n2 0\n";
		std::filesystem::create_directory("dir");
	}

	void TearDown() override
	{
		ASSERT_EQ(chdir("/"), 0);
		std::filesystem::remove_all(folder);
	}

      private:
	std::filesystem::path folder;
};

// Runs hwstep-lines with the arguments args and the text input on its
// standard input; the descriptor out_fd, if given, is its standard output.
program_result run(const std::vector<std::string> &args,
                   const std::string &input, int out_fd = collect_output,
                   const std::string &name = "hwstep-lines")
{
	std::vector<std::string> argv{name};
	argv.insert(argv.end(), args.begin(), args.end());
	return run_program_on(input, HWSTEP_LINES_PATH, argv, out_fd);
}

TEST_F(HwstepLines, ConvertsAndRefusesLinesAsTheManualSays)
{
	const struct {
		std::vector<std::string> args;
		std::string input;
		int status;
		std::string out;
		std::string err;
		std::string name = "hwstep-lines";
	} cases[] = {
		// clang-format off
		// words in the forms that hwstep reads
		{{}, "1 8000\n", 0, one, ""},
		{{}, "ffff FFFF\n0X1A 0x0\n+7 -0\n00000001 8000\n\v1 8000\n", 0,
		 "0xffff, 0xffff => -0.000687\n0x001a, 0x0000 => 1170.000000\n"
		 "0x0007, 0x0000 => 315.000000\n" + one + one, ""},
		// 0.3515625 lies halfway: rounded to even
		{{}, "0 200\n8000 0\n7fff ffff\n", 0,
		 "0x0000, 0x0200 => 0.351562\n"
		 "0x8000, 0x0000 => -1474560.000000\n"
		 "0x7fff, 0xffff => 1474559.999313\n", ""},
		{{"-s"}, "8000 1\n0 8000\n", 0,
		 one + "0x8000, 0x0000 => -1474560.000000\n", ""},

		// Windows and CSV exports, and lines with nothing in them
		{{}, bom + "1 8000\r\nffff ffff\r\n", 0, both, ""},
		{{}, "1 8000\nffff ffff", 0, both, ""},
		{{}, "1 8000\r", 0, one, ""},
		{{}, "1,8000\n1, 8000\n1 ,\t8000\n\t 1\t8000 \t\n", 0,
		 one + one + one + one, ""},
		{{}, "\n \t\n\r\n1 8000\n\n", 0, one, ""},
		{{}, "", 0, "", ""},
		{{}, bom, 0, "", ""},

		// a line that is not a pair is refused before a word is read
		{{}, "1\n", 1, "", at(1, "not a pair")},
		{{}, "zz\n", 1, "", at(1, "not a pair")},
		{{}, "1 0\n1 8000 zz\n", 1, l45, at(2, "not a pair")},
		{{}, "1,\n", 1, "", at(1, "not a pair")},
		{{}, ",1\n", 1, "", at(1, "not a pair")},
		{{}, "1,,8000\n", 1, "", at(1, "not a pair")},
		{{}, "1, ,8000\n", 1, "", at(1, "not a pair")},
		{{}, "1;8000\n", 1, "", at(1, "not a pair")},
		{{}, "1\v8000\n", 1, "", at(1, "not a pair")},

		// the first malformed word in the line's order, quoted
		{{}, "zz 0\n", 1, "", malformed(1, "zz")},
		{{}, "1 zz\n", 1, "", malformed(1, "zz")},
		{{}, "zz yy\n", 1, "", malformed(1, "zz")},
		{{"-s"}, "zz yy\n", 1, "", malformed(1, "zz")},
		{{"-s"}, "1 zz\n", 1, "", malformed(1, "zz")},
		{{}, "10000 0\n", 1, "", malformed(1, "10000")},
		{{}, "-1 0\n", 1, "", malformed(1, "-1")},
		{{}, "1 8000\r\r\n", 1, "", malformed(1, "8000\\r")},
		{{}, "1 0\n" + bom + "1 0\n", 1, l45, malformed(2, bom + "1")},
		{{}, std::string("5\0dc 0\n", 7), 1, "",
		 malformed(1, "5\\000dc")},
		{{}, "3\\1 8000\n", 1, "", malformed(1, "3\\\\1")},
		{{}, "'2' \"2\"\n", 1, "", malformed(1, "'2'")},
		{{}, "1 " + zs + "\n", 1, "", malformed(1, zs.substr(0, 80) + "...")},
		{{}, "1 \1" + zs + "\n", 1, "",
		 malformed(1, "\\001" + zs.substr(0, 79) + "...")},
		{{}, std::string(100000, '0') + "1 8000\n", 0, one, ""},

		// the first failure ends the run; -k goes on, and fails at the
		// end
		{{"bad.txt", "pairs.txt"}, "", 1, l45,
		 malformed(2, "zz", "bad.txt")},
		{{"-k", "bad.txt", "bad.txt"}, "", 1, l45 + l90 + l45 + l90,
		 malformed(2, "zz", "bad.txt") + malformed(2, "zz", "bad.txt")},
		{{"-k"}, "1\nzz 0\n1 8000\n", 1, one,
		 at(1, "not a pair") + malformed(2, "zz")},

		// files, and standard input read to its end each time
		{{"pairs.txt", "-", "pairs.txt", "-"}, "1 0\n", 0,
		 both + l45 + both, ""},
		{{"missing", "pairs.txt"}, "", 1, "", no_file("missing")},
		{{"pairs.txt", "missing"}, "", 1, both, no_file("missing")},
		{{"dir", "pairs.txt"}, "", 1, "", p + "dir: Is a directory\n"},
		{{"-k", "missing", "dir", "pairs.txt"}, "", 1, both,
		 no_file("missing") + p + "dir: Is a directory\n"},
		{{"a\nb\\"}, "", 1, "", no_file("a\\nb\\\\")},

		// options come before the files; at a wrong one nothing is read
		{{"-x"}, "1 8000\n", 1, "", usage},
		{{"-k", "-x", "pairs.txt"}, "", 1, "", usage},
		{{"--help"}, "", 1, "", usage},
		{{"pairs.txt", "-k"}, "", 1, both, no_file("-k")},
		{{"--", "-k"}, "", 1, "", no_file("-k")},
		{{"-ks", "-"}, "8000 1\nzz\n", 1, one, at(2, "not a pair")},

		// -f: the words from two fields, the line kept with the value
		{{"-H", "-f", "2,3"}, "time,high,low\nT,0001,8000\n", 0,
		 "time,high,low,value\nT,0001,8000,67.500000\n", ""},
		{{"-f", "3,4"}, "2026-12-11 10:41:10 0001\t8000 \n", 0,
		 "2026-12-11 10:41:10 0001\t8000  67.500000\n", ""},
		{{"-f", "2,1"}, "8000,1\n", 0, "8000,1,67.500000\n", ""},
		{{"-H", "-f", "2,3"}, bom + "time,high,low\r\nT, 1 ,8000 \r\n", 0,
		 "time,high,low,value\nT, 1 ,8000 ,67.500000\n", ""},
		{{"-k", "-f", "2,3"}, "t1,1,0\nt2,1\n\nt4,zz,0\nt5,2,0\n", 1,
		 "t1,1,0,45.000000\nt5,2,0,90.000000\n",
		 at(2, "no field 3") + malformed(4, "zz")},
		{{"-f", "4,2"}, "a b\n", 1, "", at(1, "no field 4")},
		{{"-f", "2,3"}, "a,,1\n", 1, "", malformed(1, "")},
		{{"-H"}, "high low\n1 8000\n", 0, one, ""},
		{{"-H", "-f", "1,2", "pairs.txt", "pairs.txt"}, "", 0,
		 "1 8000 value\nffff ffff -0.000687\n"
		 "1 8000 value\nffff ffff -0.000687\n", ""},
		{{"-f", "2,2"}, "", 1, "",
		 p + "-f 2,2: not two different field numbers, high,low\n"},
		{{"-f", "1"}, "", 1, "",
		 p + "-f 1: not two different field numbers, high,low\n"},

		// the program named as started
		{{"-x"}, "", 1, "",
		 "usage: /opt/bin/conv [-kHs] [-f high,low] [file ...]\n",
		 "/opt/bin/conv"},
		{{}, "q 0\n", 1, "",
		 "conv: (standard input):1: malformed number `q'\n", "conv"},
		{{"-x"}, "", 1, "",
		 "usage: a\\nb\\\\ [-kHs] [-f high,low] [file ...]\n",
		 "a\nb\\"},
		// clang-format on
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.args) + " " +
		             testing::PrintToString(c.input.substr(0, 40)));
		EXPECT_EQ(run(c.args, c.input, collect_output, c.name),
		          (program_result{c.status, c.out, c.err}));
	}
}

TEST_F(HwstepLines, WritesEveryFractionAsPrintfDoes)
{
	// With the high word fixed, the 65,536 low words give the count's
	// magnitude times 45 every fraction of 65536 once, 45 being odd: each
	// of these high words gives them all, for the sign and for the
	// integer parts at both ends of the range.
	std::string input;
	std::string want;
	char line[64];
	for (const hw_word w1 :
	     {0x0000U, 0x0001U, 0x7FFFU, 0x8000U, 0xFFFEU, 0xFFFFU}) {
		for (hw_word w0 = 0; w0 <= 0xFFFF; w0++) {
			std::snprintf(line, sizeof line, "%x %x\n", w1, w0);
			input += line;
			std::snprintf(line, sizeof line,
			              "0x%04x, 0x%04x => %f\n", w1, w0,
			              model_stepper_value(w1, w0));
			want += line;
		}
	}
	const program_result r = run({}, input);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	// The first line that differs, rather than all 393,216.
	const auto differs = std::mismatch(want.begin(), want.end(),
	                                   r.out.begin(), r.out.end());
	const size_t from =
		want.rfind('\n',
	                   static_cast<size_t>(differs.first - want.begin())) +
		1;
	EXPECT_EQ(r.out.substr(from, 64), want.substr(from, 64));
	EXPECT_EQ(r.out.size(), want.size());
}

// Writes sent to the descriptor to, and returns the count writes that the
// sequenced-packet socket from receives then, each as a message of its
// own, waiting ten seconds at the most for each.
std::vector<std::string> answer(int to, const std::string &sent, int from,
                                size_t count)
{
	std::vector<std::string> got;
	char buf[4096];
	pollfd pfd{from, POLLIN, 0};
	ssize_t n = write(to, sent.data(), sent.size());
	while (n > 0 && got.size() < count && poll(&pfd, 1, 10000) == 1 &&
	       (n = recv(from, buf, sizeof buf, 0)) > 0)
		got.emplace_back(buf, static_cast<size_t>(n));
	return got;
}

TEST_F(HwstepLines, WritesEachLineAsItsPairComesInAndEachMessageInOneWrite)
{
	// Standard input stays open, and standard output and standard error
	// are one socket that keeps each write apart: each line must come out
	// while the program waits for the next, the lines before a message
	// must come before it, and the message in one write.
	int to[2] = {-1, -1};
	int from[2] = {-1, -1};
	ASSERT_TRUE(pipe2(to, O_CLOEXEC) == 0 &&
	            socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0,
	                       from) == 0);
	const pid_t pid =
		spawn_program(HWSTEP_LINES_PATH, {"hwstep-lines", "-k"}, to[0],
	                      from[1], from[1]);
	close(to[0]);
	close(from[1]);
	using writes = std::vector<std::string>;
	EXPECT_EQ(answer(to[1], "1 8000\n", from[0], 1), writes{one});
	EXPECT_EQ(answer(to[1], "1 0\nzz 0\n2 0\n", from[0], 3),
	          (writes{l45, malformed(3, "zz"), l90}));
	EXPECT_EQ(answer(to[1], "\nffff ffff\r\n", from[0], 1),
	          writes{"0xffff, 0xffff => -0.000687\n"});
	close(to[1]);
	EXPECT_EQ(wait_program(pid), 1);
	char rest[64];
	EXPECT_EQ(recv(from[0], rest, sizeof rest, MSG_DONTWAIT), 0);
	close(from[0]);
}

TEST_F(HwstepLines, WritesWhatItReadBeforeOpeningTheNextFile)
{
	// Opening a FIFO waits for its writer: the line of the file before it
	// must be out by then, not held until the FIFO's end.
	std::ofstream("a") << "1 8000";
	int from[2] = {-1, -1};
	ASSERT_TRUE(mkfifo("f", 0600) == 0 && pipe2(from, O_CLOEXEC) == 0);
	const pid_t pid = spawn_program(
		HWSTEP_LINES_PATH, {"hwstep-lines", "a", "f"}, -1, from[1], 2);
	close(from[1]);
	pollfd pfd{from[0], POLLIN, 0};
	char got[64];
	const ssize_t n =
		poll(&pfd, 1, 10000) == 1 ? read(from[0], got, sizeof got) : 0;
	close(open("f", O_WRONLY)); // the FIFO's end, which lets it go on
	EXPECT_EQ(std::string(got, static_cast<size_t>(n > 0 ? n : 0)), one);
	EXPECT_EQ(wait_program(pid), 0);
	close(from[0]);
}

TEST_F(HwstepLines, ReportsAFailedWriteAndStops)
{
	// A short output, which is written at the end; one larger than any
	// buffer, written while the input is read; and a bad line after
	// each, whose message the write error must take the place of, -k or
	// not.
	std::string many;
	for (int i = 0; i < 20000; i++)
		many += "1 0\n";
	const std::string inputs[] = {"1 0\n", many, "1 0\nzz 0\n",
	                              many + "zz 0\n"};
	for (const auto &c : failing_outputs()) {
		ASSERT_NE(c.fd, -1) << c.what;
		for (const auto &input : inputs) {
			for (const auto &args :
			     {std::vector<std::string>{},
			      std::vector<std::string>{"-k"}}) {
				SCOPED_TRACE(testing::Message()
				             << c.what << ", "
				             << input.size() / 4 << " lines "
				             << args.size());
				const program_result r = run(args, input, c.fd);
				EXPECT_TRUE(
					r.status == 1 && r.out.empty() &&
					is_reason(r.err,
				                  p + "write error: ", c.error))
					<< testing::PrintToString(r);
			}
		}
	}
}

TEST_F(HwstepLines, ReportsAWriteCutShort)
{
	// A file that may grow to two lines, as a file size limit allows where
	// its signal is ignored: the three lines, written at once, are written
	// in part, and the rest must fail, not be lost.
	const auto three_lines = [](int fd) {
		return run({}, "1 0\n1 0\n1 0\n", fd);
	};
	EXPECT_EQ(run_into_full_file(2 * l45.size(), three_lines),
	          (program_result{1, l45 + l45,
	                          p + "write error: " + std::strerror(EFBIG) +
	                                  "\n"}));
}

TEST_F(HwstepLines, ReportsALineTooLongForItsMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(HWSTEP_EMULATED)
	GTEST_SKIP() << "the limit on memory would hold the sanitizer's or "
			"the emulator's own";
#else
	// A line of 64 MiB of null bytes, in a file with holes, read with 64
	// MiB of address space; the line after it is read with -k.
	std::FILE *f = std::tmpfile();
	ASSERT_TRUE(f != nullptr && ftruncate(fileno(f), 64 << 20) == 0);
	std::fseek(f, 0, SEEK_END);
	std::fputs("\n1 8000\n", f);
	std::fflush(f);
	const std::string head =
		std::string(HWSTEP_LINES_PATH) + ": (standard input):1: ";
	for (const auto &[arg, out] :
	     {std::pair<std::string, std::string>{"-", ""}, {"-k", one}}) {
		std::rewind(f);
		const program_result r = run_program(
			"/bin/sh",
			{"sh", "-c", "ulimit -v 65536 && exec \"$0\" \"$@\"",
		         HWSTEP_LINES_PATH, arg},
			collect_output, collect_output, fileno(f));
		EXPECT_TRUE(r.status == 1 && r.out == out &&
		            is_reason(r.err, head, ENOMEM))
			<< arg << ": " << testing::PrintToString(r);
	}
	std::fclose(f);
#endif
}

} // namespace
