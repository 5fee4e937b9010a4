// SPDX-License-Identifier: MIT
// Fuzz target for the hwstep program as a whole: the input, split at NUL
// bytes, is an argument vector (the program's name first); the built program
// is started with it, and its status, standard output and standard error must
// be what the model of the command line predicts.
#include "run_program.hpp"
#include "word_model.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

program_result predict(const std::vector<std::string> &argv)
{
	program_result o{0, "", ""};
	// Linux starts a program given no arguments at all with one empty name.
	const std::string progname = argv.empty() ? "" : model_quoted(argv[0]);
	const std::size_t argc = argv.empty() ? 1 : argv.size();

	if (argc <= 1 || argc % 2 != 1) {
		o.err = "usage: " + progname + " highword lowword ...\n";
		o.status = 1;
		return o;
	}
	for (std::size_t i = 1; i < argc; i += 2) {
		hw_word w1 = 0;
		hw_word w0 = 0;
		const std::string *bad = nullptr;
		if (!model_word(argv[i].c_str(), &w1))
			bad = &argv[i];
		else if (!model_word(argv[i + 1].c_str(), &w0))
			bad = &argv[i + 1];
		if (bad != nullptr) {
			o.err = progname + ": malformed number `" +
			        model_quoted(*bad) + "'\n";
			o.status = 1;
			return o;
		}
		char line[64];
		std::snprintf(line, sizeof line, "0x%04x, 0x%04x => %f\n", w1,
		              w0, model_stepper_value(w1, w0));
		o.out += line;
	}
	return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size)
{
	std::vector<std::string> argv;
	const std::uint8_t *end = data + size;
	for (const std::uint8_t *p = data; p < end;) {
		const std::uint8_t *q = p;
		while (q < end && *q != '\0')
			q++;
		argv.emplace_back(p, q);
		p = q + 1;
	}

	const program_result want = predict(argv);
	const program_result got = run_program(HWSTEP_PATH, argv);
	abort_unless_same(got, want);
	return 0;
}
