// SPDX-License-Identifier: MIT
// The line that the programs print for a pair of words.
#include "line.hpp"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

void write_lines(const char *progname, const char *p, size_t n)
{
	while (n > 0) {
		const ssize_t k = write(STDOUT_FILENO, p, n);

		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0) {
			fprintf(stderr, "%s: write error: %s\n", progname,
			        strerror(k < 0 ? errno : EIO));
			exit(1);
		}
		p += k;
		n -= static_cast<size_t>(k);
	}
}

// "00" to "99", and "00" to "ff": the digits of a number below 100, and of
// a byte in hexadecimal, two at a time.
static const char decimal_pairs[] =
	"00010203040506070809101112131415161718192021222324252627282930313233"
	"34353637383940414243444546474849505152535455565758596061626364656667"
	"6869707172737475767778798081828384858687888990919293949596979899";
static const char *decimal_pair(uint32_t n)
{
	return decimal_pairs + 2 * static_cast<size_t>(n);
}

static const struct hex_pairs {
	char pair[256][2];
	constexpr hex_pairs() : pair()
	{
		for (int i = 0; i < 256; i++) {
			pair[i][0] = "0123456789abcdef"[i >> 4];
			pair[i][1] = "0123456789abcdef"[i & 0xF];
		}
	}
} hex;

char *line_from_hw(char *p, hw_word w1, hw_word w0)
{
	// NOLINTNEXTLINE(bugprone-not-null-terminated-result): a line's head
	memcpy(p, "0x...., 0x.... => ", 18);
	memcpy(p + 2, hex.pair[w1 >> 8], 2);
	memcpy(p + 4, hex.pair[w1 & 0xFF], 2);
	memcpy(p + 10, hex.pair[w0 >> 8], 2);
	memcpy(p + 12, hex.pair[w0 & 0xFF], 2);
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
	auto decimals = static_cast<uint32_t>(scaled >> 16);
	const uint64_t rest = scaled & 0xFFFF;
	if (rest > 0x8000 || (rest == 0x8000 && (decimals & 1) != 0))
		decimals++;

	// The digits from the last, two at a time: the integer part is below
	// 1474561, seven digits at the most.
	char digits[16];
	char *d = digits + sizeof digits;
	for (int i = 0; i < 3; i++, decimals /= 100)
		memcpy(d -= 2, decimal_pair(decimals % 100), 2);
	*--d = '.';
	auto whole = static_cast<uint32_t>(m >> 16);
	for (; whole >= 100; whole /= 100)
		memcpy(d -= 2, decimal_pair(whole % 100), 2);
	if (whole >= 10)
		memcpy(d -= 2, decimal_pair(whole), 2);
	else
		*--d = static_cast<char>('0' + whole);
	const auto k = static_cast<size_t>(digits + sizeof digits - d);
	memcpy(p, d, k);
	return p + k;
}
