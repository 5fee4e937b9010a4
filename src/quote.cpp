// SPDX-License-Identifier: MIT
// The quoting of a refused text in a message.
#include "quote.hpp"

void put_quoted(const char *t, size_t n, FILE *f)
{
	for (const char *e = t + n; t < e; t++) {
		const auto c = static_cast<unsigned char>(*t);

		if (c >= '\a' && c <= '\r')
			fprintf(f, "\\%c", "abtnvfr"[c - '\a']);
		else if (c < 0x20 || c == 0x7F)
			fprintf(f, "\\%03o", c);
		else if (c == '\\')
			fputs("\\\\", f);
		else
			putc(c, f);
	}
}
