// SPDX-License-Identifier: MIT
// Reads two words from the command line and prints their stepper value.
#include <hw_decode.hpp>

#include <cstdio>

int main(int argc, char *argv[])
{
	hw_word w1 = 0;
	hw_word w0 = 0;
	if (argc != 3 || hw_from_hex(argv[1], &w1) != 0 ||
	    hw_from_hex(argv[2], &w0) != 0)
		return 1;
	std::printf("%.10f\n", stepper_value_from_hw(w1, w0));
	return 0;
}
