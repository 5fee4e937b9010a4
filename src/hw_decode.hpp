// SPDX-License-Identifier: MIT
// Word decoding: the hw_word type, the reading of one 16-bit word from
// hexadecimal text, and the stepper value of a high word and a low word.
#ifndef HW_DECODE_HPP
#define HW_DECODE_HPP

#include <stdint.h>

// One 16-bit hardware word, held in the low 16 bits.
using hw_word = uint32_t;

// Returns the stepper value of the signed 32-bit count whose bits 31 to 16
// are w1 and bits 15 to 0 are w0: the count times 45/65536, exactly.  The
// words must lie from 0 to 0xFFFF.  The divisor is 65536/45 rounded to the
// nearest double; it is close enough that every quotient rounds to the exact
// value, and the result is never negative zero.
constexpr double stepper_value_from_hw(hw_word w1, hw_word w0) noexcept
{
	double v32 = 0.0;

	if ((w1 & 0x8000) != 0) {
		// Ones' complement of the count; the final minus one is done in
		// floating point so that -2^31 never passes through an int.
		const auto v31 = static_cast<long>(((~w1 & 0x7FFFU) << 16) |
		                                   (~w0 & 0xFFFFU));
		v32 = static_cast<double>(-v31) - 1.0;
	} else {
		const auto v31 = static_cast<long>(((w1 & 0x7FFFU) << 16) |
		                                   (w0 & 0xFFFFU));
		v32 = static_cast<double>(v31);
	}
	return v32 / 1456.3555555555556;
}

// Reads str as a word in hexadecimal, in any form that strtol reads in base
// 16 (leading white space, a sign, a 0x or 0X prefix), provided the whole text
// is used and the value lies from 0 to 0xFFFF.  The empty text reads as 0.
// Returns 0 and stores the word in *rval, or returns 1 and leaves *rval as it
// was.  errno is left as it was.
int hw_from_hex(const char *str, hw_word *rval);

#endif
