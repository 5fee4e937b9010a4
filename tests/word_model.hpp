// SPDX-License-Identifier: MIT
// Independent statements of word decoding for the tests and fuzz targets: the
// word syntax as a scanner of its own rather than another call of strtol, and
// the stepper value written directly as count * 45 / 65536.
#ifndef WORD_MODEL_HPP
#define WORD_MODEL_HPP

#include "hw_decode.hpp"

#include <cstdint>
#include <string>

inline bool model_is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
	       c == '\r';
}

inline int model_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Returns true and sets *word when s is a word: blanks, an optional sign, an
// optional 0x or 0X before a digit, digits, and nothing else; the empty text
// is 0, minus zero is 0, and any other negative or a value above 0xFFFF is
// refused.  A text with no digits uses up nothing, so only the empty text is
// accepted among them.
inline bool model_word(const char *s, hw_word *word)
{
	const char *p = s;
	while (model_is_blank(*p))
		p++;
	bool negative = false;
	if (*p == '+' || *p == '-')
		negative = *p++ == '-';
	if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
	    model_digit(p[2]) >= 0)
		p += 2;
	if (model_digit(*p) < 0) {
		if (*s != '\0')
			return false;
		*word = 0;
		return true;
	}
	std::uint32_t value = 0;
	for (; model_digit(*p) >= 0; p++) {
		if (value <= 0xFFFF)
			value = value * 16 +
			        static_cast<std::uint32_t>(model_digit(*p));
	}
	if (*p != '\0' || value > 0xFFFF || (negative && value != 0))
		return false;
	*word = value;
	return true;
}

// The product is below 2^37 and the division by 2^16 is exact, so this is the
// exact stepper value, and +0.0 for the zero count.
inline double model_stepper_value(hw_word w1, hw_word w0)
{
	const auto count = static_cast<std::int32_t>(w1 << 16 | w0);
	return static_cast<double>(count) * 45.0 / 65536.0;
}

// The refused text as a message quotes it, from a table of the control
// bytes' names.
inline std::string model_quoted(const std::string &text)
{
	static const char *const names[0x20] = {
		"\\000", "\\001", "\\002", "\\003", "\\004", "\\005", "\\006",
		"\\a",   "\\b",   "\\t",   "\\n",   "\\v",   "\\f",   "\\r",
		"\\016", "\\017", "\\020", "\\021", "\\022", "\\023", "\\024",
		"\\025", "\\026", "\\027", "\\030", "\\031", "\\032", "\\033",
		"\\034", "\\035", "\\036", "\\037",
	};
	std::string q;
	for (const char c : text) {
		const auto b = static_cast<unsigned char>(c);
		if (b < 0x20)
			q += names[b];
		else if (b == 0x7F)
			q += "\\177";
		else if (b == '\\')
			q += "\\\\";
		else
			q += c;
	}
	return q;
}

#endif
