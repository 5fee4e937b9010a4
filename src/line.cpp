// SPDX-License-Identifier: MIT
// The line that the programs print for a pair of words.
#include "line.hpp"

#include <stdint.h>
#include <string.h>

char *line_from_hw(char *p, hw_word w1, hw_word w0)
{
	static const char hex[] = "0123456789abcdef";

	// NOLINTNEXTLINE(bugprone-not-null-terminated-result): a line's head
	memcpy(p, "0x...., 0x.... => ", 18);
	for (int i = 0, shift = 12; shift >= 0; i++, shift -= 4) {
		p[2 + i] = hex[(w1 >> shift) & 0xF];
		p[10 + i] = hex[(w0 >> shift) & 0xF];
	}
	p = value_from_hw(p + 18, w1, w0);
	*p = '\n';
	return p + 1;
}

// The stepper value is m / 65536, m being the count's magnitude times 45,
// written in the digits that printf's %f gives it: the integer part, and
// six decimals rounded half to even.  The largest fraction, 65535/65536,
// rounds to .999985, so nothing carries into the integer part.
char *value_from_hw(char *p, hw_word w1, hw_word w0)
{
	const auto count = static_cast<int64_t>(w1 << 16 | w0) -
	                   ((w1 & 0x8000) != 0 ? INT64_C(1) << 32 : 0);
	if (count < 0)
		*p++ = '-';
	const auto m = static_cast<uint64_t>(count < 0 ? -count : count) * 45;
	const uint64_t scaled = (m & 0xFFFF) * 1000000;
	uint64_t decimals = scaled >> 16;
	const uint64_t rest = scaled & 0xFFFF;
	if (rest > 0x8000 || (rest == 0x8000 && (decimals & 1) != 0))
		decimals++;

	char digits[16];
	char *d = digits + sizeof digits;
	for (int i = 0; i < 6; i++, decimals /= 10)
		*--d = static_cast<char>('0' + decimals % 10);
	*--d = '.';
	uint64_t whole = m >> 16;
	do
		*--d = static_cast<char>('0' + whole % 10);
	while ((whole /= 10) != 0);
	const auto k = static_cast<size_t>(digits + sizeof digits - d);
	memcpy(p, d, k);
	return p + k;
}
