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

// Writes the n bytes at p to standard output, all of them; where a write
// fails, says so as "%s: write error: %s\n" with progname and ends the run
// with status 1.
void write_lines(const char *progname, const char *p, size_t n);

// Writes the stepper value of the pair w1, w0 at p as "%f" writes it, at
// most 16 bytes, and returns its end.
char *value_from_hw(char *p, hw_word w1, hw_word w0);

// The value of each byte as a hexadecimal digit, or 16 and more.
struct hex_digits {
	unsigned char value[256];
	constexpr hex_digits() : value()
	{
		for (int c = 0; c < 256; c++)
			value[c] = static_cast<unsigned char>(
				c >= '0' && c <= '9'   ? c - '0'
				: c >= 'a' && c <= 'f' ? c - 'a' + 10
				: c >= 'A' && c <= 'F' ? c - 'A' + 10
						       : 0xFF);
	}
	constexpr unsigned operator()(char c) const
	{
		return value[static_cast<unsigned char>(c)];
	}
};
inline constexpr hex_digits hex_digit;

// Reads the n bytes at t as hw_from_hex reads them where they are one to
// four hexadecimal digits, the common case, without strtol: returns 0 and
// stores the word, or -1 for any other text, which hw_from_hex must read.
inline int hw_from_short_hex(const char *t, size_t n, hw_word *w)
{
	if (n == 0 || n > 4)
		return -1;
	hw_word v = 0;
	for (size_t i = 0; i < n; i++) {
		const unsigned d = hex_digit(t[i]);
		if (d > 0xF)
			return -1;
		v = v << 4 | d;
	}
	*w = v;
	return 0;
}

#endif
