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

#endif
