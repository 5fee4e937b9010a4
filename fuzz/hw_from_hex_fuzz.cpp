// SPDX-License-Identifier: MIT
// Fuzz target for word decoding: hw_from_hex agrees with the model on every
// text, and so does the reading of a short word without strtol wherever it
// reads one; a word printed as the program prints it reads back as itself, and
// the stepper value of any pair is count * 45 / 65536 and never -0.0.
#include "hw_decode.hpp"
#include "line.hpp"
#include "word_model.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

static void check(bool ok, const char *what)
{
	if (!ok) {
		std::fprintf(stderr, "property failed: %s\n", what);
		std::abort();
	}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size)
{
	// The text is what comes before the first NUL, as in an argument.
	const std::string text(data, data + size);
	const char *str = text.c_str();

	hw_word want = 0;
	const bool accepted = model_word(str, &want);
	hw_word got = 0xDEADBEEF;
	const int status = hw_from_hex(str, &got);
	check(status == (accepted ? 0 : 1), "status agrees with the model");
	check(got == (accepted ? want : 0xDEADBEEF),
	      "word agrees with the model, untouched on refusal");

	hw_word fast = 0xDEADBEEF;
	if (hw_from_short_hex(text.data(), text.size(), &fast) == 0)
		check(status == 0 && fast == got,
		      "a short word reads as hw_from_hex reads it");

	if (accepted) {
		char shown[16];
		std::snprintf(shown, sizeof shown, "0x%04x", got);
		hw_word back = 0xDEADBEEF;
		check(hw_from_hex(shown, &back) == 0 && back == got,
		      "the printed word reads back as itself");
	}

	if (size >= 4) {
		const hw_word w1 = static_cast<hw_word>(data[0] << 8 | data[1]);
		const hw_word w0 = static_cast<hw_word>(data[2] << 8 | data[3]);
		const double v = stepper_value_from_hw(w1, w0);
		check(std::bit_cast<std::uint64_t>(v) ==
		              std::bit_cast<std::uint64_t>(
				      model_stepper_value(w1, w0)),
		      "stepper value is count * 45 / 65536, never -0.0");
	}
	return 0;
}
