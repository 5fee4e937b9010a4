// SPDX-License-Identifier: MIT
// The quoting of a refused text, and of the program's name, in a message,
// shared by the programs.
#ifndef QUOTE_HPP
#define QUOTE_HPP

#include <stddef.h>
#include <stdio.h>

// Writes the n bytes at t to f with control bytes and the backslash as C
// escapes (\n, \033, \\), so that a message stays one line and reads back
// without ambiguity; every other byte is written as it is.
void put_quoted(const char *t, size_t n, FILE *f);

// Writes the n bytes at t as put_quoted does, but where they are more than
// quoted_max, only the first quoted_max of them, and "...".
constexpr size_t quoted_max = 80;
void put_quoted_short(const char *t, size_t n, FILE *f);

// Returns the name escaped as put_quoted escapes it, for the messages of a
// program started under it: the name itself where nothing in it needs an
// escape, fallback where it is null.
const char *quoted_name(const char *name, const char *fallback);

#endif
