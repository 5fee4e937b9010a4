// SPDX-License-Identifier: MIT
// Reading of one 16-bit word from hexadecimal text.
#include "hw_decode.hpp"

#include <errno.h>
#include <stdlib.h>

int hw_from_hex(const char *str, hw_word *rval)
{
	char *ep = nullptr;
	const int saved_errno = errno;

	// A negative number turns into a value far above 0xFFFF, and one too
	// large for a long into LONG_MAX: the range test refuses both.
	const auto t = static_cast<unsigned long>(strtol(str, &ep, 16));
	errno = saved_errno;

	if (t > 0xFFFF)
		return 1;
	if (*ep != '\0')
		return 1;
	*rval = static_cast<hw_word>(t);
	return 0;
}
