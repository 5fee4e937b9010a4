#!/bin/sh
# usage: check_batch.sh README MANUAL PROGRAM
#
# Runs the batch recipe that README gives, and that MANUAL must give in the
# same words, with PROGRAM as hwstep, on a file of 2500 pairs whose pair 1500
# is malformed: the output must be exactly pairs 1 to 1499, then the run
# must stop, with both messages and xargs's status for a stopped batch.
set -eu
recipe=$(grep -m 1 '^xargs .*exit 255' "$1") || {
	echo "no batch recipe in $1"
	exit 1
}
grep -qF -- "$recipe" "$2" || {
	echo "$2 does not give the recipe of $1: $recipe"
	exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$3" "$work/bin/hwstep"
cd "$work"
# Pair i is the high word i and the low word 8000: the value i * 45 + 22.5.
awk 'BEGIN {
	for (i = 1; i <= 2500; i++)
		printf "%s 8000\n", i == 1500 ? "zz" : sprintf("%x", i)
}' >pairs.txt
awk 'BEGIN {
	for (i = 1; i < 1500; i++)
		printf "0x%04x, 0x8000 => %d.500000\n", i, i * 45 + 22
}' >want.txt

status=0
LC_ALL=C PATH=$work/bin:$PATH sh -c "$recipe" >out.txt 2>err.txt || status=$?
printf '%s\n' "hwstep: malformed number \`zz'" \
	"xargs: sh: exited with status 255; aborting" >want-err.txt
if [ $status -ne 124 ] || ! cmp -s out.txt want.txt ||
	! cmp -s err.txt want-err.txt; then
	echo "$recipe: status $status (want 124), $(wc -l <out.txt) lines" \
		"(want 1499), standard error:"
	cat err.txt
	exit 1
fi
