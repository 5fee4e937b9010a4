// SPDX-License-Identifier: MIT
// The line that the programs print for a pair of words, made without
// printf, shared by hwstep-lines and hwstep-modbus.
#ifndef LINE_HPP
#define LINE_HPP

#include <stddef.h>

#include "hw_decode.hpp"

// The most bytes a line takes: "0x8000, 0x0000 => -1474560.000000\n" is 34.
constexpr size_t line_max = 40;

// Writes the line of the pair w1, w0 at p, the line that hwstep prints with
// "0x%04x, 0x%04x => %f\n", and returns its end.
char *line_from_hw(char *p, hw_word w1, hw_word w0);

// Writes the stepper value of the pair w1, w0 at p as "%f" writes it, at
// most 16 bytes, and returns its end.
char *value_from_hw(char *p, hw_word w1, hw_word w0);

// Reads the n bytes at t as hw_from_hex reads them where they are one to
// four hexadecimal digits, the common case, without strtol: returns 0 and
// stores the word, or -1 for any other text, which hw_from_hex must read.
inline int hw_from_short_hex(const char *t, size_t n, hw_word *w)
{
	if (n == 0 || n > 4)
		return -1;
	hw_word v = 0;
	for (size_t i = 0; i < n; i++) {
		const auto c = static_cast<unsigned char>(t[i]);
		unsigned d = c - '0';
		if (d > 9) {
			d = (c | 0x20U) - 'a';
			if (d > 5)
				return -1;
			d += 10;
		}
		v = v << 4 | d;
	}
	*w = v;
	return 0;
}

#endif
