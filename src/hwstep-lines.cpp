// SPDX-License-Identifier: MIT
// hwstep-lines: reads pairs of 16-bit words in hexadecimal, a pair a line,
// from the files named or standard input, and prints for each pair the line
// that hwstep prints for the same two words; or, with -f, takes the words
// from two fields of a longer line, and prints the line with the value after
// it.  Input is read and output written in large blocks; the output is
// written out before every read, so that in a pipe each line comes out as
// soon as its pair has come in.
// C library headers only, as for hwstep.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hw_decode.hpp"
#include "line.hpp"
#include "quote.hpp"

static const char *progname;
static bool keep_going; // -k: report a bad line or file and go on
static bool swapped;    // -s: the low word comes first
static bool header;     // -H: the first line of each file is a header
static long field[2];   // -f: the fields of the high and low word, or 0
static bool failed;

// Lines waiting to be written.
static char out[1 << 16];
static size_t out_len;

// The input: the line being read, and what follows it of the last block.
static char *buf;
static size_t cap;
static const size_t block = 1 << 16;

// Writes out the lines waiting.
static void write_out()
{
	write_lines(progname, out, out_len);
	out_len = 0;
}

// Adds the n bytes at p to the lines waiting, writing them out first where
// there is no room; a piece larger than all the room there is goes out as
// it is.
static void put_out(const char *p, size_t n)
{
	if (n > sizeof out - out_len)
		write_out();
	if (n > sizeof out) {
		write_lines(progname, p, n);
		return;
	}
	memcpy(out + out_len, p, n);
	out_len += n;
}

// Begins a message about the input called name, after the lines before it.
static void begin_message(const char *name)
{
	write_out();
	fprintf(stderr, "%s: ", progname);
	put_quoted_short(name, strlen(name), stderr);
}

// Ends a message: the run stops there unless it is to keep going.
static void end_message()
{
	fflush(stderr);
	failed = true;
	if (!keep_going)
		exit(1);
}

static void fail_input(const char *name, int e)
{
	begin_message(name);
	fprintf(stderr, ": %s\n", strerror(e));
	end_message();
}

static void fail_line(const char *name, long long n, const char *what)
{
	begin_message(name);
	fprintf(stderr, ":%lld: %s\n", n, what);
	end_message();
}

static void malformed(const char *name, long long n, const char *t, size_t len)
{
	begin_message(name);
	fprintf(stderr, ":%lld: malformed number `", n);
	put_quoted_short(t, len, stderr);
	fputs("'\n", stderr);
	end_message();
}

static bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

// Finds the words of the line from p to e, which has no blank at either
// end: they are separated by blanks or by one comma with blanks or none
// around it.  Returns 0 and sets word and word_end to the two words, or 1
// where the line does not hold exactly two, none of them empty; a third is
// as far as it looks.
static int words_from_line(char *p, const char *e, char *word[2],
                           char *word_end[2])
{
	int words = 0;

	for (char *q = p;; words++) {
		char *w = q;
		while (q < e && !is_blank(*q) && *q != ',')
			q++;
		if (q == w || words == 2)
			return 1;
		word[words] = w;
		word_end[words] = q;
		if (q == e)
			return words == 1 ? 0 : 1;
		while (q < e && is_blank(*q))
			q++;
		if (q < e && *q == ',') {
			q++;
			while (q < e && is_blank(*q))
				q++;
		}
	}
}

// The first comma from p to e, or e.
static char *next_comma(char *p, const char *e)
{
	auto *c =
		static_cast<char *>(memchr(p, ',', static_cast<size_t>(e - p)));
	return c != nullptr ? c : p + (e - p);
}

// Returns the end of the field that begins at *f, before e: comma, in a
// CSV, or the next blank, the blanks before the field then skipped.
static char *field_end(char **f, const char *e, char *comma)
{
	if (comma != nullptr)
		return comma;
	char *p = *f;
	while (p < e && is_blank(*p))
		p++;
	*f = p;
	while (p < e && !is_blank(*p))
		p++;
	return p;
}

// Finds fields field[0] and field[1] of the line from p to e, which holds
// something but blanks: separated by commas where it holds one, comma being
// its first, otherwise by blanks and tabs; blanks and tabs around each are
// ignored.  Returns 0 and sets word and word_end to the two fields, or the
// first of them that the line does not have.
static long fields_from_line(char *p, const char *e, char *comma, char *word[2],
                             char *word_end[2])
{
	const long lo = field[0] < field[1] ? field[0] : field[1];
	const long hi = field[0] + field[1] - lo;
	long k = 0;

	word[0] = word_end[0] = word[1] = word_end[1] = p;
	for (bool more = true; more && k < hi;) {
		char *f = p;
		p = field_end(&f, e, comma);
		k++;
		const int i = field[0] == k ? 0 : 1;
		if (field[i] == k) {
			// The field without the blanks around it.
			char *f_end = p;
			while (f < f_end && is_blank(*f))
				f++;
			while (f_end > f && is_blank(f_end[-1]))
				f_end--;
			word[i] = f;
			word_end[i] = f_end;
		}
		more = p < e;
		p += more ? 1 : 0;
		if (comma != nullptr && more)
			comma = next_comma(p, e);
	}
	return k >= hi ? 0 : k >= lo ? hi : lo;
}

// Reads the words from word to word_end into w, reporting the first that
// is malformed as of line n of the input called name; a word of up to four
// digits is read without strtol.  The byte after each word may be
// overwritten.
static bool words_from_text(const char *name, long long n, char *word[2],
                            char *word_end[2], hw_word w[2])
{
	for (int i = 0; i < 2; i++) {
		const auto wlen = static_cast<size_t>(word_end[i] - word[i]);

		if (hw_from_short_hex(word[i], wlen, &w[i]) == 0)
			continue;
		// A null byte would end the text early, and an empty field
		// holds no word: both are malformed.
		*word_end[i] = '\0';
		if (wlen == 0 || strlen(word[i]) != wlen ||
		    hw_from_hex(word[i], &w[i]) != 0) {
			malformed(name, n, word[i], wlen);
			return false;
		}
	}
	return true;
}

// Writes the line from p to e, which is the first of a file, as a header
// of the lines that -f writes, with the name of the column it adds.
static void write_header(const char *p, const char *e)
{
	const bool csv = memchr(p, ',', static_cast<size_t>(e - p)) != nullptr;

	put_out(p, static_cast<size_t>(e - p));
	put_out(csv ? ",value\n" : " value\n", 7);
}

// Reads the line from p to e, which has no blank at either end, where it is
// the common pair of one to four hexadecimal digits each, separated as
// words_from_line separates them, into w, in one pass; false for any other
// line, which the general reading then takes.
static bool pair_from_short_hex(const char *p, const char *e, hw_word w[2])
{
	for (int i = 0; i < 2; i++) {
		const char *start = p;
		hw_word v = 0;
		unsigned d = 0;
		while (p < e && p - start < 5 && (d = hex_digit(*p)) <= 0xF) {
			v = v << 4 | d;
			p++;
		}
		if (p == start || p - start > 4)
			return false;
		w[i] = v;
		if (i == 1)
			break;
		// A byte that neither separates nor is a digit fails the
		// next word.
		while (p < e && is_blank(*p))
			p++;
		if (p < e && *p == ',')
			for (p++; p < e && is_blank(*p);)
				p++;
	}
	return p == e;
}

// Converts line n of the input called name, from p to e, which has no
// blank at either end, as a pair.
static void convert_pair(const char *name, long long n, char *p, char *e)
{
	hw_word w[2] = {};
	if (!pair_from_short_hex(p, e, w)) {
		char *word[2] = {};
		char *word_end[2] = {};
		if (words_from_line(p, e, word, word_end) != 0) {
			fail_line(name, n, "not a pair");
			return;
		}
		if (!words_from_text(name, n, word, word_end, w))
			return;
	}
	if (out_len > sizeof out - line_max)
		write_out();
	out_len = static_cast<size_t>(line_from_hw(out + out_len,
	                                           w[swapped ? 1 : 0],
	                                           w[swapped ? 0 : 1]) -
	                              out);
}

// Converts line n of the input called name, from p to e, which has no
// blank at either end, as a record of fields, and writes it, the len bytes
// at line, with the value after it.
static void convert_fields(const char *name, long long n, char *p, char *e,
                           const char *line, size_t len)
{
	// A CSV, where the line holds a comma: the end of its first field.
	auto *comma =
		static_cast<char *>(memchr(p, ',', static_cast<size_t>(e - p)));
	const bool csv = comma != nullptr;
	char *word[2] = {};
	char *word_end[2] = {};
	if (const long missing =
	            fields_from_line(p, e, comma, word, word_end)) {
		char what[32];
		snprintf(what, sizeof what, "no field %ld", missing);
		fail_line(name, n, what);
		return;
	}
	hw_word w[2] = {};
	if (!words_from_text(name, n, word, word_end, w))
		return;
	char value[24];
	value[0] = csv ? ',' : ' ';
	char *end = value_from_hw(value + 1, w[swapped ? 1 : 0],
	                          w[swapped ? 0 : 1]);
	*end++ = '\n';
	put_out(line, len);
	put_out(value, static_cast<size_t>(end - value));
}

// Converts line n of the input called name: the len bytes at p, its
// newline left out.  The byte after them may be overwritten.
static void convert_line(const char *name, long long n, char *p, size_t len)
{
	if (n == 1 && len >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
		p += 3;
		len -= 3;
	}
	if (len > 0 && p[len - 1] == '\r')
		len--;
	char *const line = p;
	char *e = p + len;
	if (header && n == 1) {
		if (field[0] != 0)
			write_header(line, e);
		return;
	}
	while (p < e && is_blank(*p))
		p++;
	while (e > p && is_blank(e[-1]))
		e--;
	if (p == e)
		return;

	if (field[0] == 0)
		convert_pair(name, n, p, e);
	else
		convert_fields(name, n, p, e, line, len);
}

// Makes room in the input for a line of len bytes, the byte after it, and
// a block read after them; false where memory runs out.
static bool make_room(size_t len)
{
	if (cap - len > block)
		return true;
	size_t want = cap > 0 ? cap : block;
	while (want - len <= block) {
		if (want > SIZE_MAX / 2)
			return false;
		want *= 2;
	}
	// NOLINTNEXTLINE(cppcoreguidelines-no-malloc): a buffer that grows
	auto *grown = static_cast<char *>(realloc(buf, want));
	if (grown == nullptr)
		return false;
	buf = grown;
	cap = want;
	return true;
}

// How far the reading of an input has come: the line being read begins
// at start, and holds no newline before scanned; the last read ended at
// end.  n lines came before it.
struct reading {
	size_t start;
	size_t scanned;
	size_t end;
	long long n;
	bool dropping; // the line did not fit in memory
};

// Moves the line being read to the front of the input, and makes room to
// read on after it.  Where memory runs out, reports the line and drops it,
// and the rest of it as it comes.  False where there is no room at all:
// the rest of the input is then reported as not read.
static bool make_room_after(const char *name, reading *r)
{
	if (r->start > 0) {
		memmove(buf, buf + r->start, r->end - r->start);
		r->end -= r->start;
		r->start = 0;
	}
	if (r->dropping)
		r->end = 0;
	r->scanned = r->end;
	if (make_room(r->end))
		return true;
	if (r->end > 0) {
		fail_line(name, r->n + 1, strerror(ENOMEM));
		r->dropping = true;
		r->scanned = r->end = 0;
		if (make_room(0))
			return true;
	}
	fail_input(name, ENOMEM);
	return false;
}

// Converts the input fd, called name, a line at a time, to its end or to
// the first failure.  A line is whole once its newline has been read, or
// the end of the input, after all that was read before it; a line cut short
// by a read error is not converted.
static void convert_input(int fd, const char *name)
{
	reading r = {};

	for (;;) {
		const char *nl = nullptr;
		if (r.end > r.scanned)
			nl = static_cast<const char *>(memchr(
				buf + r.scanned, '\n', r.end - r.scanned));
		if (nl != nullptr) {
			const auto at = static_cast<size_t>(nl - buf);

			r.n++;
			if (!r.dropping)
				convert_line(name, r.n, buf + r.start,
				             at - r.start);
			r.dropping = false;
			r.start = r.scanned = at + 1;
			continue;
		}
		if (!make_room_after(name, &r))
			return;

		write_out();
		const ssize_t got = read(fd, buf + r.end, cap - r.end - 1);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0) {
			fail_input(name, errno);
			return;
		}
		if (got == 0) {
			if (r.end > 0 && !r.dropping)
				convert_line(name, r.n + 1, buf, r.end);
			return;
		}
		r.end += static_cast<size_t>(got);
	}
}

// Converts the file named, standard input for "-", or reports that it
// cannot be opened.
static void convert_file(const char *file)
{
	if (strcmp(file, "-") == 0) {
		convert_input(STDIN_FILENO, "(standard input)");
		return;
	}
	// Opening may wait, for a FIFO's writer say: what is read so far goes
	// out first.
	write_out();
	const int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		fail_input(file, errno);
		return;
	}
	convert_input(fd, file);
	close(fd);
}

// Reads -f's value, two different field numbers from 1, high first.
static void fields_from_text(const char *t)
{
	const char *p = t;

	for (long &f : field) {
		char *ep = nullptr;
		f = p[0] >= '1' && p[0] <= '9' ? strtol(p, &ep, 10) : 0;
		if (f <= 0 || f >= INT32_MAX ||
		    *ep != (&f == field ? ',' : '\0'))
			f = 0;
		p = ep != nullptr ? ep + 1 : p;
	}
	if (field[0] == 0 || field[1] == 0 || field[0] == field[1]) {
		fprintf(stderr, "%s: -f ", progname);
		put_quoted_short(t, strlen(t), stderr);
		fputs(": not two different field numbers, high,low\n", stderr);
		exit(1);
	}
}

int main(int argc, char *argv[])
{
	// Buffered, so that each message goes out in one write when it fits.
	static char errbuf[BUFSIZ];
	int c = 0;

	progname = quoted_name(argv[0], "hwstep-lines");
	setvbuf(stderr, errbuf, _IOFBF, sizeof errbuf);
	// Options come before the files, in every C library: "+" asks GNU's
	// getopt for that, and the others stop at the first file anyway.
	opterr = 0;
	while ((c = getopt(argc, argv, "+Hf:ks")) != -1) {
		if (c == 'k') {
			keep_going = true;
		} else if (c == 's') {
			swapped = true;
		} else if (c == 'H') {
			header = true;
		} else if (c == 'f') {
			fields_from_text(optarg);
		} else {
			fprintf(stderr,
			        "usage: %s [-kHs] [-f high,low] [file ...]\n",
			        progname);
			exit(1);
		}
	}

	if (optind >= argc)
		convert_file("-");
	for (int i = optind; i < argc; i++)
		convert_file(argv[i]);
	write_out();
	exit(failed ? 1 : 0);
}
