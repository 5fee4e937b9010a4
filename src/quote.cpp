// SPDX-License-Identifier: MIT
// The quoting of a refused text, and of the program's name, in a message.
#include "quote.hpp"

#include <stdlib.h>
#include <string.h>

// Writes the escape of the byte c at p, the byte itself where it needs
// none, and returns its end.
static char *escaped(char *p, unsigned char c)
{
	if (c >= '\a' && c <= '\r') {
		*p++ = '\\';
		*p++ = "abtnvfr"[c - '\a'];
	} else if (c < 0x20 || c == 0x7F) {
		*p++ = '\\';
		*p++ = static_cast<char>('0' + (c >> 6));
		*p++ = static_cast<char>('0' + ((c >> 3) & 7));
		*p++ = static_cast<char>('0' + (c & 7));
	} else if (c == '\\') {
		*p++ = '\\';
		*p++ = '\\';
	} else {
		*p++ = static_cast<char>(c);
	}
	return p;
}

void put_quoted(const char *t, size_t n, FILE *f)
{
	char e[4] = {};

	for (const char *end = t + n; t < end; t++)
		fwrite(e, 1,
		       static_cast<size_t>(
			       escaped(e, static_cast<unsigned char>(*t)) - e),
		       f);
}

void put_quoted_short(const char *t, size_t n, FILE *f)
{
	put_quoted(t, n > quoted_max ? quoted_max : n, f);
	if (n > quoted_max)
		fputs("...", f);
}

const char *quoted_name(const char *name, const char *fallback)
{
	if (name == nullptr)
		return fallback;
	const size_t n = strlen(name);
	char e[4] = {};
	size_t size = 1;
	for (size_t i = 0; i < n; i++)
		size += static_cast<size_t>(
			escaped(e, static_cast<unsigned char>(name[i])) - e);
	if (size == n + 1)
		return name;
	// NOLINTNEXTLINE(cppcoreguidelines-no-malloc): kept for the whole run
	auto *q = static_cast<char *>(malloc(size));
	if (q == nullptr)
		return fallback;
	char *p = q;
	for (size_t i = 0; i < n; i++)
		p = escaped(p, static_cast<unsigned char>(name[i]));
	*p = '\0';
	return q;
}
