// SPDX-License-Identifier: MIT
// Fuzz target for the hwstep-lines program: the input, after its first byte,
// is the standard input of hwstep-lines -k, with -s too where the first
// byte is odd, and the program's status, standard output and standard error
// must be what a model of the line syntax, stated as patterns, predicts.
#include "run_program.hpp"
#include "word_model.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

// Adds to o what the program gives line n of its input.
void predict_line(std::string line, size_t n, bool swapped, program_result *o)
{
	static const std::regex empty("[ \t]*");
	static const std::regex pair(
		"[ \t]*([^ \t,]+)(?:[ \t]+|[ \t]*,[ \t]*)([^ \t,]+)[ \t]*");
	const std::string at =
		"hwstep-lines: (standard input):" + std::to_string(n) + ": ";
	if (n == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
		line.erase(0, 3);
	if (!line.empty() && line.back() == '\r')
		line.pop_back();
	std::smatch words;
	if (std::regex_match(line, empty))
		return;
	if (!std::regex_match(line, words, pair)) {
		o->err += at + "not a pair\n";
		return;
	}
	hw_word v[2] = {0, 0};
	for (size_t i = 0; i < 2; i++) {
		const std::string w = words[i + 1];
		if (w.find('\0') != std::string::npos ||
		    !model_word(w.c_str(), &v[i])) {
			o->err += at + "malformed number `" +
			          model_quoted(w.substr(0, 80)) +
			          (w.size() > 80 ? "..." : "") + "'\n";
			return;
		}
	}
	const hw_word w1 = v[swapped ? 1 : 0];
	const hw_word w0 = v[swapped ? 0 : 1];
	char text[64];
	std::snprintf(text, sizeof text, "0x%04x, 0x%04x => %f\n", w1, w0,
	              model_stepper_value(w1, w0));
	o->out += text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size)
{
	if (size == 0)
		return 0;
	const bool swapped = (data[0] & 1) != 0;
	const std::string input(data + 1, data + size);
	std::vector<std::string> argv{"hwstep-lines", "-k"};
	if (swapped)
		argv.emplace_back("-s");

	program_result want{0, "", ""};
	size_t n = 0;
	for (size_t start = 0; start < input.size(); n++) {
		const size_t nl =
			std::min(input.find('\n', start), input.size());
		predict_line(input.substr(start, nl - start), n + 1, swapped,
		             &want);
		start = nl + 1;
	}
	want.status = want.err.empty() ? 0 : 1;
	abort_unless_same(run_program_on(input, HWSTEP_LINES_PATH, argv), want);
	return 0;
}
