#!/bin/sh
# usage: check_batch.sh README MANUAL PROGRAM
#
# Runs the batch recipe that README gives, and that MANUAL must give in the
# same words, with PROGRAM as hwstep, on a file of 2500 pairs whose pair 1500
# is malformed: the output must be exactly pairs 1 to 1499, then the run
# must stop, with both messages and xargs's status for a stopped batch.  The
# recipe for devices that give the low word first must do the same on the
# same pairs with their words swapped, and turn round a pair typed by hand.
set -eu
recipe() {
	line=$(grep -m 1 "$2" "$1") || {
		echo "no recipe in $1 matches $2" >&2
		exit 1
	}
	grep -qF -- "$line" "$3" || {
		echo "$3 does not give the recipe of $1: $line" >&2
		exit 1
	}
	printf '%s\n' "$line"
}
batch=$(recipe "$1" '^xargs .*exit 255' "$2")
swapped=$(recipe "$1" '^awk .* swapped\.txt | xargs .*exit 255' "$2")
by_hand="echo 8000 1 | ${swapped% swapped.txt | *} | ${swapped#* swapped.txt | }"
grep -qxF -- "$by_hand" "$1" || {
	echo "$1 does not give the swapped recipe for a pair typed by hand:" \
		"$by_hand"
	exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$3" "$work/bin/hwstep"
cd "$work"
# Pair i is the high word i and the low word 8000: the value i * 45 + 22.5.
awk 'BEGIN {
	for (i = 1; i <= 2500; i++) {
		w = i == 1500 ? "zz" : sprintf("%x", i)
		printf "%s 8000\n", w >"pairs.txt"
		printf "8000 %s\n", w >"swapped.txt"
	}
	for (i = 1; i < 1500; i++)
		printf "0x%04x, 0x8000 => %d.500000\n", i, i * 45 + 22 >"want.txt"
}'
printf '%s\n' "hwstep: malformed number \`zz'" \
	"xargs: sh: exited with status 255; aborting" >want-err.txt

for r in "$batch" "$swapped"; do
	status=0
	LC_ALL=C PATH=$work/bin:$PATH sh -c "$r" >out.txt 2>err.txt ||
		status=$?
	if [ $status -ne 124 ] || ! cmp -s out.txt want.txt ||
		! cmp -s err.txt want-err.txt; then
		echo "$r: status $status (want 124), $(wc -l <out.txt) lines" \
			"(want 1499), standard error:"
		cat err.txt
		exit 1
	fi
done

out=$(LC_ALL=C PATH=$work/bin:$PATH sh -c "$by_hand" 2>&1) || {
	echo "$by_hand: status $?: $out"
	exit 1
}
if [ "$out" != "0x0001, 0x8000 => 67.500000" ]; then
	echo "$by_hand: $out"
	exit 1
fi
