// SPDX-License-Identifier: MIT
// Tests of the hwstep program as a user runs it: the built executable is
// started with an argument vector, and its exit status, standard output and
// standard error are each compared whole.
#include <gtest/gtest.h>

#include "run_program.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

void PrintTo(const program_result &r, std::ostream *os)
{
	*os << "status " << r.status << ", stdout \"" << r.out
	    << "\", stderr \"" << r.err << "\"";
}

namespace {

program_result run_argv(const std::vector<std::string> &argv)
{
	return run_program(HWSTEP_PATH, argv);
}

program_result run(const std::vector<std::string> &words)
{
	std::vector<std::string> argv{"hwstep"};
	argv.insert(argv.end(), words.begin(), words.end());
	return run_argv(argv);
}

const std::string usage = "usage: hwstep highword lowword ...\n";

std::string malformed(const std::string &text)
{
	return "hwstep: malformed number `" + text + "'\n";
}

TEST(Hwstep, PrintsOneLinePerPair)
{
	const struct {
		std::vector<std::string> words;
		std::string out;
	} cases[] = {
		{{"1", "8000"}, "0x0001, 0x8000 => 67.500000\n"},
		{{"ffff", "ffff"}, "0xffff, 0xffff => -0.000687\n"},
		{{"8000", "0"}, "0x8000, 0x0000 => -1474560.000000\n"},
		{{"7fff", "ffff"}, "0x7fff, 0xffff => 1474559.999313\n"},
		{{"8000", "ffff"}, "0x8000, 0xffff => -1474515.000687\n"},
		{{"0X1A", "0x0"}, "0x001a, 0x0000 => 1170.000000\n"},
		{{"ff", "1"}, "0x00ff, 0x0001 => 11475.000687\n"},
		{{"", ""}, "0x0000, 0x0000 => 0.000000\n"},
		// 0.3515625 lies halfway: rounded to even
		{{"0", "200"}, "0x0000, 0x0200 => 0.351562\n"},
		{{"  +a", "-0"}, "0x000a, 0x0000 => 450.000000\n"},
		{{"1", "0", "1", "8000"},
	         "0x0001, 0x0000 => 45.000000\n0x0001, 0x8000 => 67.500000\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.words));
		EXPECT_EQ(run(c.words), (program_result{0, c.out, ""}));
	}
}

TEST(Hwstep, RefusesAWrongArgumentCount)
{
	const std::vector<std::string> cases[] = {
		{},
		{"1"},
		{"1", "0", "2"},
		// the count is checked before any word is read
		{"1", "0", "zz"},
		{"zz"},
		{"--help"},
		{"--version"},
	};
	for (const auto &words : cases) {
		SCOPED_TRACE(testing::PrintToString(words));
		EXPECT_EQ(run(words), (program_result{1, "", usage}));
	}
}

TEST(Hwstep, StopsAtTheFirstMalformedWord)
{
	const struct {
		std::vector<std::string> words;
		std::string out;
		std::string bad;
	} cases[] = {
		{{"zz", "0"}, "", "zz"},
		// the low word is read only when the high word was good
		{{"zz", "yy"}, "", "zz"},
		{{"1", "zz"}, "", "zz"},
		{{"10000", "0"}, "", "10000"},
		{{"-1", "0"}, "", "-1"},
		{{"12 ", "0"}, "", "12 "},
		{{"  ", "0"}, "", "  "},
		// earlier lines stay, later pairs are not read
		{{"1", "0", "zz", "0", "2", "0"},
	         "0x0001, 0x0000 => 45.000000\n",
	         "zz"},
		{{"1", "0", "2", "0x10000", "yy", "0"},
	         "0x0001, 0x0000 => 45.000000\n",
	         "0x10000"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.words));
		EXPECT_EQ(run(c.words),
		          (program_result{1, c.out, malformed(c.bad)}));
	}
}

TEST(Hwstep, NamesItselfAsStarted)
{
	EXPECT_EQ(
		run_argv({"/opt/bin/conv", "1"}),
		(program_result{
			1, "", "usage: /opt/bin/conv highword lowword ...\n"}));
	EXPECT_EQ(run_argv({"conv", "q", "0"}),
	          (program_result{1, "", "conv: malformed number `q'\n"}));
	// one line, whatever the name
	EXPECT_EQ(run_argv({"a\nb\\", "q", "0"}),
	          (program_result{1, "", "a\\nb\\\\: malformed number `q'\n"}));
}

TEST(Hwstep, SurvivesAnEmptyArgumentVector)
{
	// Linux hands such a program one empty name; were argc 0, the program
	// would call itself "try".
	const program_result r = run_argv({});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_TRUE(r.err == "usage:  highword lowword ...\n" ||
	            r.err == "usage: try highword lowword ...\n")
		<< r.err;
}

TEST(Hwstep, QuotesControlBytesInAMalformedWord)
{
	const struct {
		std::string word;
		std::string quoted;
	} cases[] = {
		{"0\nhwstep: write error: x", "0\\nhwstep: write error: x"},
		{"8000\r", "8000\\r"},
		{"\a\b\t\v\f", "\\a\\b\\t\\v\\f"},
		{"\x1b[2J", "\\033[2J"},
		{"1\x01\x1f\x7f", "1\\001\\037\\177"},
		{"a\\n", "a\\\\n"},
		{"caf\xc3\xa9", "caf\xc3\xa9"},
		{"0x1g ~!`'\"", "0x1g ~!`'\""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.quoted);
		EXPECT_EQ(run({"1", "0", "2", c.word}),
		          (program_result{1, "0x0001, 0x0000 => 45.000000\n",
		                          malformed(c.quoted)}));
	}
}

// Whether a run failed with the write error e and nothing else.
bool failed_to_write(const program_result &r, int e)
{
	return r.status == 1 && r.out.empty() &&
	       is_reason(r.err, "hwstep: write error: ", e);
}

TEST(Hwstep, ReportsAFailedWriteWithItsReason)
{
	// A short output, which a buffering C library writes only when it
	// flushes at the end; one larger than any stdio buffer, which fails
	// while printing and must stop the run there; and each before a
	// malformed word, which the run must not reach, whether the lines
	// before it filled a buffer or not.  Output to a terminal is not fully
	// buffered: each line is written by its own printf, whatever the
	// buffer's size.  To the terminal open for reading only, every printf
	// fails: were the run to go on after the first, the C library would
	// drop what it could not write, the last flush would find nothing to
	// write, and the reason, EBADF and not the EIO that the program falls
	// back on, would be lost.
	std::vector<std::string> many{"hwstep"};
	for (int i = 0; i < 1000; i++) {
		many.emplace_back("1");
		many.emplace_back("0");
	}
	std::vector<std::string> many_then_bad = many;
	many_then_bad.insert(many_then_bad.end(), {"zz", "0"});
	for (const auto &c : failing_outputs()) {
		ASSERT_NE(c.fd, -1) << c.what;
		for (const auto &argv :
		     {std::vector<std::string>{"hwstep", "1", "0"},
		      std::vector<std::string>{"hwstep", "1", "0", "zz", "0"},
		      many, many_then_bad}) {
			SCOPED_TRACE(testing::Message()
			             << c.what << ", " << argv.size() / 2
			             << " pairs");
			const program_result r =
				run_program(HWSTEP_PATH, argv, c.fd);
			EXPECT_TRUE(failed_to_write(r, c.error))
				<< testing::PrintToString(r);
		}
	}
}

TEST(Hwstep, ReportsAWriteThatFailsAfterTheFirstLines)
{
	// A disk that fills up after two lines: a file that may grow to two
	// lines, as a file size limit allows where its signal is ignored.  A
	// C library may write the first line as it is printed and the others
	// only when the output is flushed, before a malformed word or at the
	// end: the failure must be caught there too, not lost to exit's flush.
	// Standard error, collected in a file as well, stays under the limit.
	const std::string line = "0x0001, 0x0000 => 45.000000\n";
	for (const auto &argv :
	     {std::vector<std::string>{"hwstep", "1", "0", "1", "0", "1", "0"},
	      std::vector<std::string>{"hwstep", "1", "0", "1", "0", "1", "0",
	                               "zz", "0"}}) {
		SCOPED_TRACE(testing::PrintToString(argv));
		const auto into = [&argv](int fd) {
			return run_program(HWSTEP_PATH, argv, fd);
		};
		EXPECT_EQ(
			run_into_full_file(2 * line.size(), into),
			(program_result{1, line + line,
		                        std::string("hwstep: write error: ") +
		                                std::strerror(EFBIG) + "\n"}));
	}
}

TEST(Hwstep, WritesTheMalformedNumberMessageInOneWrite)
{
	// Each write to a sequenced-packet socket arrives as a message of its
	// own: a line torn into several writes, which another process writing
	// to the same standard error could come between, shows as several.
	int sv[2] = {-1, -1};
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
	const program_result r =
		run_program(HWSTEP_PATH, {"hwstep", "1", "0", "z\tz", "0"},
	                    collect_output, sv[1]);
	close(sv[1]);
	std::vector<std::string> writes;
	char buf[4096];
	ssize_t n = 0;
	while ((n = recv(sv[0], buf, sizeof buf, 0)) > 0)
		writes.emplace_back(buf, static_cast<size_t>(n));
	close(sv[0]);

	EXPECT_EQ(r, (program_result{1, "0x0001, 0x0000 => 45.000000\n", ""}));
	EXPECT_EQ(writes, std::vector<std::string>{malformed("z\\tz")});
}

} // namespace
