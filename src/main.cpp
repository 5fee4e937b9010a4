// hwstep: prints, for each pair of 16-bit words given in hexadecimal on the
// command line, high word first, the two words and the stepper value of the
// signed 32-bit count that they hold.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hw_decode.hpp"

int main(int argc, char *argv[])
{
	const char *progname = argv[0] != nullptr ? argv[0] : "try";

	if (argc <= 1 || argc % 2 != 1) {
		std::fprintf(stderr, "usage: %s highword lowword ...\n",
		             progname);
		std::exit(1);
	}

	for (int i = 1; i < argc; i += 2) {
		hw_word w1 = 0;
		hw_word w0 = 0;
		const char *t = argv[i];

		if (hw_from_hex(t, &w1) != 0 ||
		    hw_from_hex(t = argv[i + 1], &w0) != 0) {
			std::fprintf(stderr, "%s: malformed number `%s'\n",
			             progname, t);
			std::exit(1);
		}
		std::printf("0x%04x, 0x%04x => %f\n", w1, w0,
		            stepper_value_from_hw(w1, w0));
	}

	// The last lines may still sit in the buffer: make sure they reached
	// the output before reporting success.
	errno = 0;
	if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
		std::fprintf(stderr, "%s: write error: %s\n", progname,
		             std::strerror(errno != 0 ? errno : EIO));
		std::exit(1);
	}
	std::exit(0);
}
