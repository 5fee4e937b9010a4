// SPDX-License-Identifier: MIT
// The quoting of a refused text in a message, shared by the programs.
#ifndef QUOTE_HPP
#define QUOTE_HPP

#include <stddef.h>
#include <stdio.h>

// Writes the n bytes at t to f with control bytes and the backslash as C
// escapes (\n, \033, \\), so that a message stays one line and reads back
// without ambiguity; every other byte is written as it is.
void put_quoted(const char *t, size_t n, FILE *f);

#endif
