#!/usr/bin/env bash
# Times the programs side by side with the floor that every
# program pays to start (an empty C program given the same arguments) and
# with programs that do the same work, and prints the ratios against their
# targets.
#
# - one pair: the release build against an empty dynamically linked C
#   program, and the static musl build against an empty static musl C
#   program and against the empty dynamic one;
# - 50,000 pairs: the release build against the empty program, against a
#   plain C loop that reads each pair with strtoul and prints it with one
#   printf (the cost of printf itself, which hwstep also pays), and against
#   bench/hwstep.awk, the conversion in plain awk.  Neither reference
#   checks its input: they give a floor for the work, not a second hwstep.
# - 1,000,000 lines of pairs in a file, output to a file: hwstep-lines, and
#   hwstep-lines -H -f 2,3 on the same pairs in a CSV log with a time in
#   each row (csv),
#   against a C loop of getline, strtok, strtol and printf built with the
#   compiler and flags of the release build, against the batch recipe of
#   1.3.2's README (tr, awk, xargs and hwstep), and against bench/lines.awk,
#   the conversion in gawk; and the most memory that hwstep-lines holds for
#   that file, for one line, and for one line of 10 MB.
# - a reading from a device: hwstep-modbus against the floor, a C program
#   on libmodbus that connects, reads the same two registers of the test
#   device (tests/modbus_device.py) on the loopback and prints them with
#   printf, checking nothing; and mbpoll reading them in hexadecimal;
# - a watch: hwstep-modbus -l 100, its pace as the device logs the
#   requests it answers, and how long after each answer its line reached
#   the pipe that hwstep-modbus writes to; and the most memory it holds for
#   10 readings and for 5,000.
#
# Each case runs in rounds; a round times its commands one after the other
# with hyperfine, and each ratio is taken from the round's medians.  The
# median ratio over the rounds is reported, so that a slow stretch of the
# machine falls on one round and not on one command.
#
# usage: bench/run.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}

for tool in hyperfine musl-gcc mbpoll gawk /usr/bin/time pkg-config; do
	if ! command -v $tool >/dev/null; then
		echo "bench/run.sh: $tool is missing; on Debian, as root or with" \
			"sudo: apt-get install hyperfine musl-tools mbpoll gawk time pkgconf" >&2
		exit 1
	fi
done
if ! pkg-config --exists libmodbus; then
	echo "bench/run.sh: hwstep-modbus needs Debian's libmodbus-dev" >&2
	exit 1
fi
if ! /usr/bin/python3 -c 'import pymodbus.server' 2>/dev/null; then
	echo "bench/run.sh: the test device needs Debian's python3-pymodbus" \
		"and python3-serial-asyncio" >&2
	exit 1
fi

cmake --workflow --preset release >/dev/null
cmake --preset static >/dev/null
cmake --build --preset static >/dev/null
hwstep=$PWD/build/release/hwstep
lines=$PWD/build/release/hwstep-lines
modbus=$PWD/build/release/hwstep-modbus
static=$PWD/build/static/hwstep
work=$(mktemp -d)
device=
trap '[ -z "$device" ] || kill $device; rm -rf "$work"' EXIT

printf 'int main(void) { return 0; }\n' >"$work/empty.c"
cc -O2 -o "$work/empty" "$work/empty.c"
musl-gcc -O2 -static -o "$work/empty-static" "$work/empty.c"
cat >"$work/printf.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
	for (int i = 1; i + 1 < argc; i += 2) {
		unsigned long w1 = strtoul(argv[i], 0, 16);
		unsigned long w0 = strtoul(argv[i + 1], 0, 16);
		printf("0x%04lx, 0x%04lx => %f\n", w1, w0,
		       (int)(w1 << 16 | w0) * 45.0 / 65536);
	}
	return 0;
}
EOF
cc -O2 -o "$work/printf" "$work/printf.c"
awkprog="awk -f $PWD/bench/hwstep.awk"

# The loop that a C programmer writes for a file of pairs, built with the
# compiler and the flags that the release build gives hwstep-lines.
cat >"$work/loop.c" <<'END'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int main(int argc, char **argv)
{
	FILE *f = argc > 1 ? fopen(argv[1], "r") : stdin;
	char *line = NULL;
	size_t size = 0;
	while (f != NULL && getline(&line, &size, f) > 0) {
		char *a = strtok(line, " \t\r\n");
		char *b = strtok(NULL, " \t\r\n");
		if (a == NULL || b == NULL)
			continue;
		long w1 = strtol(a, NULL, 16), w0 = strtol(b, NULL, 16);
		printf("0x%04lx, 0x%04lx => %f\n", w1, w0,
		       (int)(w1 << 16 | w0) * 45.0 / 65536);
	}
	return 0;
}
END
made=build/release/CMakeFiles/hwstep-lines.dir
# shellcheck disable=SC2046
c++ $(sed -n 's/^CXX_FLAGS = //p; s/^CXX_DEFINES = //p' $made/flags.make) \
	-x c++ "$work/loop.c" -x none \
	$(sed -n 's/^CMAKE_EXE_LINKER_FLAGS:STRING=//p' build/release/CMakeCache.txt) \
	-pie -o "$work/loop"

# 1,000,000 lines of random four-digit words, and the batch recipe of
# 1.3.2's README for that file.
awk 'BEGIN { srand(7)
	for (i = 0; i < 1000000; i++)
		printf "%04x %04x\n", int(rand() * 65536), int(rand() * 65536) }' \
	>"$work/pairs.txt"
# The same pairs as a CSV log with a header and a time in each row.
awk 'BEGIN { print "time,high,low" } { printf "2026-12-11T10:%02d:%02d.%03d,%s,%s\n",
	NR / 60000 % 60, NR / 1000 % 60, NR % 1000, $1, $2 }' "$work/pairs.txt" \
	>"$work/log.csv"
mkdir "$work/bin"
ln -s "$hwstep" "$work/bin/hwstep"
printf '%s\n' "PATH=$work/bin:\$PATH" \
	"tr '\\0' '\\1' <$work/pairs.txt | awk 'NF != 2 { print \"line \" NR \": not a pair\"; print \"\"; exit } { print \$1; print \$2 }' | tr '\\n' '\\0' | xargs -0 -r -x -n 2000 sh -c 'hwstep \"\$@\" || exit 255' sh" \
	>"$work/recipe.sh"

# 50,000 pairs of random words, the same on every run of the script, in
# five parts: no single argument may exceed 128 KiB, hyperfine's included.
words=()
for k in 0 1 2 3 4; do
	words+=(-L "w$k" "$(awk -v k="$k" 'BEGIN { srand(k + 1)
		for (i = 0; i < 20000; i++)
			printf "%s%x", i ? " " : "", int(rand() * 65536) }')")
done
pairs="{w0} {w1} {w2} {w3} {w4}"

# case, runs per round, arguments, then name and command of each program:
# one CSV of results per round.  The arguments may name the parameters that
# hyperfine is given in the array params.
bench() {
	local label=$1 runs=$2 args=$3 r
	shift 3
	local cmds=()
	while [ $# -gt 0 ]; do
		cmds+=(-n "$1" "$2 $args")
		shift 2
	done
	for ((r = 1; r <= rounds; r++)); do
		hyperfine -N --style none --warmup "${warmup:-10}" --runs "$runs" \
			--export-csv "$work/$label.$r.csv" "${params[@]}" \
			"${cmds[@]}" >/dev/null 2>"$work/hyperfine.log" ||
			{ cat "$work/hyperfine.log" >&2; exit 1; }
	done
}

# The median of v[1] to v[n], for the awk programs below.
median='function median(v, n,    i, j, s) {
	for (i = 2; i <= n; i++)
		for (j = i; j > 1 && v[j - 1] > v[j]; j--) {
			s = v[j]; v[j] = v[j - 1]; v[j - 1] = s
		}
	return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}'

# case, program, reference, target: one line of the report, with the
# median times over the rounds in ms and the median ratio.
report() {
	for ((r = 1; r <= rounds; r++)); do
		awk -F, -v a="$2" -v b="$3" '
			{ m[$1] = $4 } END { print m[a], m[b] }' "$work/$1.$r.csv"
	done | awk -v l="$1" -v a="$2" -v b="$3" -v t="$4" "$median"'
		{ x[NR] = $1; y[NR] = $2; q[NR] = $1 / $2 }
		END {
			r = median(q, NR)
			printf "%-13s %-14s %-14s %9.3f %9.3f %7.3f %7s  %s\n", l, a, b,
				median(x, NR) * 1000, median(y, NR) * 1000, r,
				t == "-" ? "-" : sprintf("%.2f", t),
				t == "-" ? "" : r <= t ? "met" : "missed"
		}'
}

params=()
bench one-pair 300 "1 8000" empty "$work/empty" hwstep "$hwstep" \
	empty-static "$work/empty-static" hwstep-static "$static"
params=("${words[@]}")
bench 50000-pairs 10 "$pairs" empty "$work/empty" hwstep "$hwstep" \
	printf-loop "$work/printf" awk "$awkprog"
params=(--output "$work/out.txt")
warmup=1 bench 1000000-lines 3 "" hwstep-lines "$lines $work/pairs.txt" \
	c-loop "$work/loop $work/pairs.txt" recipe-1.3.2 "sh $work/recipe.sh" \
	gawk "gawk -f $PWD/bench/lines.awk $work/pairs.txt" \
	csv "$lines -H -f 2,3 $work/log.csv"
for prog in "$lines" "sh $work/recipe.sh" "gawk -f $PWD/bench/lines.awk"; do
	if ! cmp -s <($prog "$work/pairs.txt") <("$work/loop" "$work/pairs.txt"); then
		echo "bench/run.sh: $prog does not print what the C loop prints" >&2
		exit 1
	fi
done
# The most memory that hwstep-lines holds, in KB.
rss() { /usr/bin/time -f %M "$lines" "$@" 2>&1 >/dev/null; }
echo 1 8000 >"$work/one.txt"
{ head -c 10000000 /dev/zero | tr '\0' 0; echo 1 8000; } >"$work/long.txt"
memory="memory, most held: $(rss "$work/pairs.txt") KB for 1,000,000 lines,"
memory="$memory $(rss "$work/one.txt") KB for one line,"
memory="$memory $(rss "$work/long.txt") KB for one line of 10 MB"

# The floor of a reading: connect, read, print, checking nothing.
cat >"$work/floor.c" <<'END'
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
	uint16_t w[2];
	modbus_t *ctx = modbus_new_tcp(argv[1], atoi(argv[2]));
	modbus_set_slave(ctx, 1);
	modbus_connect(ctx);
	modbus_read_registers(ctx, 0, 2, w);
	printf("0x%04x, 0x%04x => %f\n", w[0], w[1],
	       (int)(w[0] << 16 | w[1]) * 45.0 / 65536);
	modbus_close(ctx);
	modbus_free(ctx);
	return 0;
}
END
# shellcheck disable=SC2046
cc -O2 -o "$work/floor" "$work/floor.c" $(pkg-config --cflags --libs libmodbus)

# The device; it logs the time at which it answers each request, and the
# watch's lines are stamped here as they arrive.
/usr/bin/python3 tests/modbus_device.py --log "$work/answered.log" 1 8000 \
	>"$work/port" &
device=$!
until [ -s "$work/port" ]; do sleep 0.1; done
port=$(cat "$work/port")
if [ "$("$modbus" -p "$port" 127.0.0.1)" != "$("$work/floor" 127.0.0.1 "$port")" ]; then
	echo "bench/run.sh: hwstep-modbus does not print what the floor prints" >&2
	exit 1
fi
params=()
bench reading 40 "" floor "$work/floor 127.0.0.1 $port" \
	hwstep-modbus "$modbus -p $port 127.0.0.1" \
	mbpoll "mbpoll -1 -q -t 4:hex -r 1 -c 2 -p $port 127.0.0.1"

: >"$work/answered.log"
timeout -s INT 10 "$modbus" -l 100 -p "$port" 127.0.0.1 |
	while IFS= read -r line; do echo "$EPOCHREALTIME"; done >"$work/printed" ||
	true
rss() { /usr/bin/time -f %M "$modbus" -p "$port" "$@" 127.0.0.1 2>&1 >/dev/null; }
watch_memory="memory, most held: $(rss -n 10) KB for 10 readings, $(rss -n 5000) KB for 5,000"

echo "median over $rounds rounds: times in ms, ratio of program to reference"
printf '%-13s %-14s %-14s %9s %9s %7s %7s\n' case program reference \
	program reference ratio target
report one-pair hwstep empty 1.10
report one-pair hwstep-static empty-static 1.10
report one-pair hwstep-static empty 0.35
report 50000-pairs hwstep empty -
report 50000-pairs hwstep printf-loop 1.10
report 50000-pairs awk empty -
report 1000000-lines hwstep-lines c-loop 0.15
report 1000000-lines hwstep-lines recipe-1.3.2 -
report 1000000-lines hwstep-lines gawk -
report 1000000-lines csv hwstep-lines 1.50
echo "$memory"
report reading hwstep-modbus floor 1.10
report reading hwstep-modbus mbpoll -
paste -d ' ' "$work/printed" "$work/answered.log" | awk "$median"'
	NF == 4 {
		d[++n] = ($1 - $2) * 1000; if (d[n] > max) max = d[n]
		if (n > 1) gap[n - 1] = ($2 - last) * 1000
		last = $2
	}
	END {
		printf "watch: %d readings at -l 100; between answers: median %.1f ms;" \
			" from the answer to the line: median %.2f ms, longest %.2f ms\n",
			n, median(gap, n - 1), median(d, n), max
	}'
echo "$watch_memory"
echo
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
	"Linux $(uname -r), $(ldd --version | head -1)"
