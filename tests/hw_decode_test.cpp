// SPDX-License-Identifier: MIT
// Tests of word decoding: the stepper value of a pair of words, and the
// reading of one word from text.
#include "hw_decode.hpp"
#include "word_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

static_assert(stepper_value_from_hw(0x0001, 0x8000) == 67.5,
              "the conversion is usable in constant expressions");

TEST(StepperValue, EdgePairsAreExact)
{
	const struct {
		hw_word w1, w0;
		double value;
	} cases[] = {
		{0x0000, 0x0000, 0.0},
		{0x0000, 0x0001, 0.0006866455078125},
		{0x0000, 0x0200, 0.3515625},
		{0x0000, 0x8000, 22.5},
		{0x0001, 0x0000, 45.0},
		{0x0001, 0x8000, 67.5},
		{0x7FFF, 0xFFFF, 1474559.9993133544921875},
		{0xFFFF, 0xFFFF, -0.0006866455078125},
		{0xFFFF, 0x0000, -45.0},
		{0xFFFE, 0x8000, -67.5},
		{0x8000, 0xFFFF, -1474515.0006866455078125},
		{0x8000, 0x0000, -1474560.0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << std::hex << "w1=0x" << c.w1
		                                << " w0=0x" << c.w0);
		const double v = stepper_value_from_hw(c.w1, c.w0);
		EXPECT_EQ(std::bit_cast<std::uint64_t>(v),
		          std::bit_cast<std::uint64_t>(c.value))
			<< "got " << v;
	}
}

// Counts the pairs, among those whose high word is first, first + step, ...
// and whose low word is one of lows, whose stepper value differs from the
// count times 45/65536 computed directly.  Bit patterns are compared, so
// -0.0 is no match for +0.0.
unsigned long count_wrong_pairs(hw_word first, hw_word step,
                                const std::vector<hw_word> &lows,
                                hw_word *first_bad)
{
	unsigned long wrong = 0;
	for (hw_word w1 = first; w1 <= 0xFFFF; w1 += step) {
		for (const hw_word w0 : lows) {
			const double want = model_stepper_value(w1, w0);
			const double got = stepper_value_from_hw(w1, w0);
			if (std::bit_cast<std::uint64_t>(got) !=
			            std::bit_cast<std::uint64_t>(want) &&
			    wrong++ == 0)
				*first_bad = w1 << 16 | w0;
		}
	}
	return wrong;
}

// Checks every high word with each of the low words lows, the high words
// shared out among the processors.
void expect_exact_with(const std::vector<hw_word> &lows)
{
	const unsigned n =
		std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
	std::vector<unsigned long> wrong(n);
	std::vector<hw_word> first_bad(n, 0);
	std::vector<std::thread> workers;

	for (unsigned k = 0; k < n; k++)
		workers.emplace_back([k, n, &lows, &wrong, &first_bad] {
			wrong[k] = count_wrong_pairs(k, n, lows, &first_bad[k]);
		});
	for (auto &w : workers)
		w.join();
	for (unsigned k = 0; k < n; k++)
		EXPECT_EQ(wrong[k], 0UL)
			<< "first wrong pair 0x" << std::hex << first_bad[k];
}

std::vector<hw_word> every_low_word()
{
	std::vector<hw_word> lows(0x10000);
	std::iota(lows.begin(), lows.end(), 0);
	return lows;
}

TEST(StepperValue, EveryPairEqualsCountTimes45Over65536)
{
	expect_exact_with(every_low_word());
}

// Where floating point is emulated slowly, all 2^32 pairs take longer than
// a test run may (16 minutes of two cores for 32-bit ARM, which divides in
// software, and 7 for 32-bit x86 under qemu-user), and this test stands in
// for the one above.
//
// Every division is the same case: the divisor lies 11/64 of a unit in the
// last place above 65536/45, so each quotient falls 0.17 to 0.35 of a unit
// below the exact value count * 45/65536, never near a tie.  A divider
// truncates to one unit below the exact value and rounds up, the carry
// running through as many bits as the significand has trailing zeros.  So
// what can differ from one count to another is the dividend's sign and
// exponent, which every high word covers, and the length of that carry,
// which the trailing zero bits of |count| set: the low words 2^k give each
// length for positive counts, 0x10000 - 2^k for negative ones, and 0 the
// longest.  2^k - 1 adds the longest runs of ones, and every 251st low word
// a spread of the rest.  Every count of 16 bits or fewer is checked too.
TEST(StepperValue, EveryHighWordWithTheLowWordsThatShapeTheRounding)
{
	std::vector<hw_word> lows{0};
	for (hw_word k = 0; k < 16; k++)
		lows.insert(lows.end(),
		            {1U << k, (1U << k) - 1, 0x10000 - (1U << k)});
	for (hw_word w0 = 251; w0 <= 0xFFFF; w0 += 251)
		lows.push_back(w0);
	expect_exact_with(lows);

	hw_word first_bad = 0;
	EXPECT_EQ(
		count_wrong_pairs(0x0000, 0xFFFF, every_low_word(), &first_bad),
		0UL)
		<< "first wrong pair 0x" << std::hex << first_bad;
}

TEST(HwFromHex, AcceptsWordsAndRefusesTheRest)
{
	const std::string nines(20, '9');
	const struct {
		std::string text;
		int status;
		hw_word word;
	} cases[] = {
		// every value in its written forms
		{"ffff", 0, 0xFFFF},
		{"FFFF", 0, 0xFFFF},
		{"0xffff", 0, 0xFFFF},
		{"0XFFFF", 0, 0xFFFF},
		{"00000000ffff", 0, 0xFFFF},
		{"0X1A", 0, 0x001A},
		{"aBc", 0, 0x0ABC},
		{"0", 0, 0x0000},
		{"8000", 0, 0x8000},
		// the quiet forms: sign, blanks, the empty text
		{"+7", 0, 0x0007},
		{"-0", 0, 0x0000},
		{"-0x0", 0, 0x0000},
		{"", 0, 0x0000},
		{"  12", 0, 0x0012},
		{"\t\n12", 0, 0x0012},
		// out of range
		{"10000", 1, 0},
		{"-1", 1, 0},
		{"-ffff", 1, 0},
		{nines, 1, 0},
		{"-" + nines, 1, 0},
		// strtoul would wrap these round to 1
		{"-ffffffffffffffff", 1, 0},
		{"-FFFFFFFFFFFF0001", 1, 0},
		// not a number, or something after it
		{"g", 1, 0},
		{"12 ", 1, 0},
		{"12g", 1, 0},
		{"0x", 1, 0},
		{"  ", 1, 0},
		{"+", 1, 0},
		{"1 2", 1, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE("text \"" + c.text + "\"");
		hw_word w = 0xDEADBEEF;
		EXPECT_EQ(hw_from_hex(c.text.c_str(), &w), c.status);
		EXPECT_EQ(w, c.status == 0 ? c.word : 0xDEADBEEF);
	}
}

TEST(HwFromHex, LeavesErrnoAlone)
{
	const std::string huge(40, 'f');
	for (const char *text : {"12", "g", huge.c_str()}) {
		SCOPED_TRACE(text);
		hw_word w = 0;
		errno = EDOM;
		hw_from_hex(text, &w);
		EXPECT_EQ(errno, EDOM);
	}
}

} // namespace
