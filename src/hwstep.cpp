// SPDX-License-Identifier: MIT
// hwstep: prints, for each pair of 16-bit words given in hexadecimal on the
// command line, high word first, the two words and the stepper value of the
// signed 32-bit count that they hold.
// C library headers only, so that the program builds against any C library
// with no C++ runtime, musl's included.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hw_decode.hpp"
#include "quote.hpp"

// Reports that the word t is malformed, quoted so that the message stays one
// line.
[[noreturn]] static void malformed(const char *progname, const char *t)
{
	// Buffered, so that the message goes out in one write when it fits.
	static char buf[BUFSIZ];

	setvbuf(stderr, buf, _IOFBF, sizeof buf);
	fprintf(stderr, "%s: malformed number `", progname);
	put_quoted(t, strlen(t), stderr);
	fputs("'\n", stderr);
	exit(1);
}

// Reports a failed write to standard output with the reason that the C
// library left in errno, and EIO where it left none.
[[noreturn]] static void write_error(const char *progname)
{
	fprintf(stderr, "%s: write error: %s\n", progname,
	        strerror(errno != 0 ? errno : EIO));
	exit(1);
}

// Writes out the lines that standard output still holds, and reports a
// failure as any failed write is reported.
static void flush_output(const char *progname)
{
	errno = 0;
	if (fflush(stdout) != 0 || ferror(stdout) != 0)
		write_error(progname);
}

int main(int argc, char *argv[])
{
	const char *progname = quoted_name(argv[0], "try");

	if (argc <= 1 || argc % 2 != 1) {
		fprintf(stderr, "usage: %s highword lowword ...\n", progname);
		exit(1);
	}

	for (int i = 1; i < argc; i += 2) {
		hw_word w1 = 0;
		hw_word w0 = 0;
		const char *t = argv[i];

		if (hw_from_hex(t, &w1) != 0 ||
		    hw_from_hex(t = argv[i + 1], &w0) != 0) {
			// The earlier lines go out first: were their write to
			// fail, that failure ends the run, whether the lines
			// filled a buffer before this word or not.
			flush_output(progname);
			malformed(progname, t);
		}
		// A C library may drop what it could not write: stop at the
		// first failure, while errno still holds its reason.
		errno = 0;
		if (printf("0x%04x, 0x%04x => %f\n", w1, w0,
		           stepper_value_from_hw(w1, w0)) < 0)
			write_error(progname);
	}

	// The last lines may still sit in the buffer: make sure they reached
	// the output before reporting success.
	flush_output(progname);
	exit(0);
}
