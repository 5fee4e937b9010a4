# The same conversion as hwstep, in plain awk, for comparison: pairs of
# hexadecimal words on the command line, one line out per pair.
function word(s,    i, c, d, v) {
	s = tolower(s)
	sub(/^0x/, "", s)
	v = 0
	for (i = 1; i <= length(s); i++) {
		c = substr(s, i, 1)
		d = index("0123456789abcdef", c) - 1
		if (d < 0 || v > 65535) {
			printf "hwstep.awk: malformed number `%s'\n", s > "/dev/stderr"
			exit 1
		}
		v = v * 16 + d
	}
	return v
}
BEGIN {
	for (i = 1; i + 1 < ARGC; i += 2) {
		w1 = word(ARGV[i])
		w0 = word(ARGV[i + 1])
		count = w1 * 65536 + w0
		if (count >= 2147483648)
			count -= 4294967296
		printf "0x%04x, 0x%04x => %f\n", w1, w0, count * 45 / 65536
	}
	exit 0
}
