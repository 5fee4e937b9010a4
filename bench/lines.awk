# The conversion of hwstep-lines in gawk, for comparison: a pair of
# hexadecimal words a line, one line out per pair.  It checks nothing.
{
	w1 = strtonum("0x" $1)
	w0 = strtonum("0x" $2)
	count = w1 * 65536 + w0
	if (count >= 2147483648)
		count -= 4294967296
	printf "0x%04x, 0x%04x => %f\n", w1, w0, count * 45 / 65536
}
