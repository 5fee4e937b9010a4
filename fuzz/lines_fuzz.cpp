// SPDX-License-Identifier: MIT
// Fuzz target for the hwstep-lines program: the input, after its first byte,
// is the standard input of hwstep-lines -k, with -s too where the first
// byte is odd, and the program's status, standard output and standard error
// must be what a model of the line syntax predicts.
#include "run_program.hpp"
#include "word_model.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool blank(char c)
{
	return c == ' ' || c == '\t';
}

std::string trimmed(const std::string &s)
{
	const auto first = std::find_if_not(s.begin(), s.end(), blank);
	const auto last = std::find_if_not(s.rbegin(), s.rend(), blank).base();
	return first < last ? std::string(first, last) : std::string();
}

// The two words of a trimmed line, if it holds a pair: with no comma, two
// runs of other bytes between blanks; with one, a run on each side of it,
// blanks around it allowed; with more, never.
bool pair_of(const std::string &line, std::string *w)
{
	switch (std::count(line.begin(), line.end(), ',')) {
	case 0: {
		const auto gap = std::find_if(line.begin(), line.end(), blank);
		w[0] = std::string(line.begin(), gap);
		w[1] = trimmed(std::string(gap, line.end()));
		break;
	}
	case 1:
		w[0] = trimmed(line.substr(0, line.find(',')));
		w[1] = trimmed(line.substr(line.find(',') + 1));
		break;
	default:
		return false;
	}
	return !w[0].empty() && !w[1].empty() &&
	       std::none_of(w[0].begin(), w[0].end(), blank) &&
	       std::none_of(w[1].begin(), w[1].end(), blank);
}

// Adds to o what the program gives line n of its input.
void predict_line(std::string line, size_t n, bool swapped, program_result *o)
{
	const std::string at =
		"hwstep-lines: (standard input):" + std::to_string(n) + ": ";
	if (n == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
		line.erase(0, 3);
	if (!line.empty() && line.back() == '\r')
		line.pop_back();
	line = trimmed(line);
	if (line.empty())
		return;
	std::string w[2];
	hw_word v[2] = {0, 0};
	if (!pair_of(line, w)) {
		o->err += at + "not a pair\n";
		return;
	}
	for (int i = 0; i < 2; i++) {
		if (w[i].find('\0') != std::string::npos ||
		    !model_word(w[i].c_str(), &v[i])) {
			o->err += at + "malformed number `" +
			          model_quoted(w[i]) + "'\n";
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

program_result predict(const std::string &input, bool swapped)
{
	program_result o{0, "", ""};
	size_t n = 0;
	for (size_t start = 0; start < input.size();) {
		const size_t nl =
			std::min(input.find('\n', start), input.size());
		predict_line(input.substr(start, nl - start), ++n, swapped, &o);
		start = nl + 1;
	}
	o.status = o.err.empty() ? 0 : 1;
	return o;
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

	std::FILE *f = std::tmpfile();
	std::fwrite(input.data(), 1, input.size(), f);
	std::rewind(f);
	const program_result got =
		run_program(HWSTEP_LINES_PATH, argv, collect_output,
	                    collect_output, fileno(f));
	std::fclose(f);
	const program_result want = predict(input, swapped);
	abort_unless_same(got, want);
	return 0;
}
