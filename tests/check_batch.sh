#!/bin/sh
# usage: check_batch.sh README MANUAL PROGRAM
#
# Runs the batch recipes that README gives, and that MANUAL must give in the
# same words, with PROGRAM as hwstep: for pairs.txt, and for swapped.txt,
# whose pairs give the low word first, on files of 2500 pairs with a fault
# at one line, a case a row of the table below.  The output must be exactly
# the pairs before that line, then the run must stop with hwstep's message
# quoting the fault and xargs's, and the status of a stopped batch.  An
# empty file must give nothing and status 0, the recipe for a pair typed by
# hand must turn it round, and the manual's recipe that goes on past a bad
# pair must print the others and report each bad word and line.
set -eu
# The line of $1 that matches $2, which $3 must give too; the manual writes
# a backslash as \e.
recipe() {
	line=$(grep -m 1 "$2" "$1") || {
		echo "no recipe in $1 matches $2" >&2
		exit 1
	}
	sed 's/\\e/\\/g' "$3" | grep -qF -- "$line" || {
		echo "$3 does not give the recipe of $1: $line" >&2
		exit 1
	}
	printf '%s\n' "$line"
}
batch=$(recipe "$1" '^tr .* <pairs\.txt | .*exit 255' "$2")
swapped=$(recipe "$1" '^tr .* <swapped\.txt | .*exit 255' "$2")
by_hand="echo 8000 1 | ${swapped#*<swapped.txt | }"
grep -qxF -- "$by_hand" "$1" || {
	echo "$1 does not give the swapped recipe for a pair typed by hand:" \
		"$by_hand"
	exit 1
}
each=$(sed 's/\\e/\\/g' "$2" | sed -n 's/^\$ \(.*xargs -0 -r -n 2 hwstep\)$/\1/p')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$3" "$work/bin/hwstep"
cd "$work"
# Runs the recipe $2, which must exit $1 with want.txt on standard output
# and want-err.txt on standard error.
expect() {
	status=0
	LC_ALL=C PATH=$work/bin:$PATH sh -c "$2" >out.txt 2>err.txt ||
		status=$?
	if [ $status -ne "$1" ] || ! cmp -s out.txt want.txt ||
		! cmp -s err.txt want-err.txt; then
		printf '%s: status %s (want %s), %s lines (want %s), standard' \
			"$2" $status "$1" "$(wc -l <out.txt)" "$(wc -l <want.txt)"
		echo " error:"
		cat err.txt
		exit 1
	fi
}
# Pair i is the high word i and the low word 8000: the value i * 45 + 22.5.
awk 'BEGIN {
	for (i = 1; i <= 2500; i++) {
		printf "%x 8000\n", i >"good-pairs.txt"
		printf "8000 %x\n", i >"good-swapped.txt"
		printf "0x%04x, 0x8000 => %d.500000\n", i, i * 45 + 22 >"all.txt"
	}
}'
# The file $1 with line $n made what printf's %b makes of $2.
fault() {
	{
		head -n $((n - 1)) "good-$1"
		printf '%b\n' "$2"
		tail -n +$((n + 1)) "good-$1"
	} >"$1"
}

# The line, the fault there in pairs.txt and in swapped.txt as printf's %b
# reads it, and the word that hwstep's message quotes.  Line 1001 holds the
# first pair of the second call.
while IFS='|' read -r n pair swap word; do
	fault pairs.txt "$pair"
	fault swapped.txt "$swap"
	head -n $((n - 1)) all.txt >want.txt
	printf "hwstep: malformed number \`%b'\n%s\n" "$word" \
		"xargs: sh: exited with status 255; aborting" >want-err.txt
	for r in "$batch" "$swapped"; do
		expect 124 "$r"
	done
done <<'EOF'
1500|zz 8000|8000 zz|zz
1500|5dc|5dc|line 1500: not a pair
1500|5dc 8000 1|8000 5dc 1|line 1500: not a pair
1500|||line 1500: not a pair
1001|3e9|3e9|line 1001: not a pair
1500|3\\1 8000|8000 3\\1|3\\\\1
1500|'2' 8000|8000 '2'|'2'
1500|"2" 8000|8000 "2"|"2"
1500|" 8000|8000 "|"
1500|5\0dc 8000|8000 5\0dc|5\\001dc
EOF

: >pairs.txt
: >swapped.txt
: >want.txt
: >want-err.txt
for r in "$batch" "$swapped"; do
	expect 0 "$r"
done
echo "0x0001, 0x8000 => 67.500000" >want.txt
expect 0 "$by_hand"

printf '1 8000\nzz 8000\n3\n4 8000\n' >pairs.txt
printf '%s\n' "0x0001, 0x8000 => 67.500000" "0x0004, 0x8000 => 202.500000" \
	>want.txt
printf '%s\n' "hwstep: malformed number \`zz'" \
	"hwstep: malformed number \`line 3: not a pair'" >want-err.txt
expect 123 "${each:-no recipe in $2 that goes on past a bad pair}"
