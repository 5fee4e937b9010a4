#!/usr/bin/env bash
# Times hwstep side by side with the floor that every dynamically linked
# program pays to start (an empty C program given the same arguments) and
# with the same conversion in plain awk, for one pair and for 50,000 random
# pairs, and prints the ratios.
#
# Each case runs in rounds; a round times the three commands one after the
# other with hyperfine, and the ratios are taken from each round's medians.
# The median ratio over the rounds is reported, so that a slow stretch of the
# machine falls on one round and not on one command.
#
# usage: bench/run.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}

if ! command -v hyperfine >/dev/null; then
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq hyperfine
fi

cmake --workflow --preset release >/dev/null
hwstep=$PWD/build/release/hwstep
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf 'int main(void) { return 0; }\n' >"$work/empty.c"
cc -O2 -o "$work/empty" "$work/empty.c"
awkprog="awk -f $PWD/bench/hwstep.awk"

# 50,000 pairs of random words, the same on every run of the script, in
# five parts: no single argument may exceed 128 KiB, hyperfine's included.
words=()
for k in 0 1 2 3 4; do
	words+=(-L "w$k" "$(awk -v k="$k" 'BEGIN { srand(k + 1)
		for (i = 0; i < 20000; i++)
			printf "%s%x", i ? " " : "", int(rand() * 65536) }')")
done
pairs="{w0} {w1} {w2} {w3} {w4}"

# case label, runs per round, arguments, target, hyperfine's options
bench() {
	local r
	for ((r = 1; r <= rounds; r++)); do
		hyperfine -N --style none --warmup 10 --runs "$2" \
			--export-csv "$work/$1.$r.csv" "${@:5}" \
			-n empty "$work/empty $3" \
			-n hwstep "$hwstep $3" \
			-n awk "$awkprog $3" >/dev/null 2>"$work/hyperfine.log" ||
			{ cat "$work/hyperfine.log" >&2; exit 1; }
	done
	# One line per round: the medians of empty, hwstep and awk.
	for ((r = 1; r <= rounds; r++)); do
		awk -F, '{ m[$1] = $4 } END { print m["empty"], m["hwstep"], m["awk"] }' \
			"$work/$1.$r.csv"
	done | awk -v l="$1" -v t="$4" '
		{ e[NR] = $1; h[NR] = $2; a[NR] = $3; rh[NR] = $2 / $1; ra[NR] = $3 / $1 }
		function median(v, n,    i, j, x) {
			for (i = 2; i <= n; i++)
				for (j = i; j > 1 && v[j - 1] > v[j]; j--) {
					x = v[j]; v[j] = v[j - 1]; v[j - 1] = x
				}
			return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
		}
		END {
			me = median(e, NR); mh = median(h, NR); ma = median(a, NR)
			r = median(rh, NR)
			printf "%-12s %9.3f %9.3f %9.3f %8.3f %8.2f %7.2f  %s\n", l,
				me * 1000, mh * 1000, ma * 1000, r, median(ra, NR), t,
				r <= t ? "met" : "missed"
		}'
}

one=$(bench one-pair 300 "1 8000" 1.10)
many=$(bench 50000-pairs 10 "$pairs" 1.65 "${words[@]}")

echo "median over $rounds rounds: times in ms, ratios to the empty program"
printf '%-12s %9s %9s %9s %8s %8s %7s\n' case empty hwstep awk \
	hwstep/e awk/e target
echo "$one"
echo "$many"
echo
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
	"Linux $(uname -r), $(ldd --version | head -1)"
