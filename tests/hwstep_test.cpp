// Tests of the hwstep program as a user runs it: the built executable is
// started with an argument vector, and its exit status, standard output and
// standard error are each compared whole.
#include <gtest/gtest.h>

#include "run_program.hpp"

#include <string>
#include <vector>

void PrintTo(const program_result &r, std::ostream *os)
{
	*os << "status " << r.status << ", stdout \"" << r.out
	    << "\", stderr \"" << r.err << "\"";
}

namespace {

program_result run_argv(const std::vector<std::string> &argv,
                        const char *out_path = nullptr)
{
	return run_program(HWSTEP_PATH, argv, out_path);
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

TEST(Hwstep, ReportsAFailedWrite)
{
	// Both a short output, which fails only in the final flush, and one
	// larger than the stdio buffer, which fails while printing.
	std::vector<std::string> many{"hwstep"};
	for (int i = 0; i < 1000; i++) {
		many.emplace_back("1");
		many.emplace_back("0");
	}
	const std::vector<std::string> cases[] = {{"hwstep", "1", "0"}, many};
	for (const auto &argv : cases) {
		SCOPED_TRACE(argv.size());
		EXPECT_EQ(
			run_argv(argv, "/dev/full"),
			(program_result{1, "",
		                        "hwstep: write error: No space left on "
		                        "device\n"}));
	}
}

} // namespace
