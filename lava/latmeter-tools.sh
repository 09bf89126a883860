#!/bin/sh
# Runs latmeter and tickrate once each, and reports every figure as a test
# case: through lava-test-case inside LAVA, elsewhere as one line a case
# (name, result, and the measurement with its units). A program that fails
# or prints something unexpected gives failed cases, never missing ones.
#
# From the environment, as LAVA passes a test definition's parameters:
#   LATMETER_ARGS       extra arguments for latmeter (none: its defaults)
#   BINDIR              where the programs are (empty: found on PATH)
#   TICKRATE_TOLERANCE  how far, in per cent, tickrate's average may stray
#                       from the reported frequency (default 2)
#
# POSIX sh with sed and awk only: busybox, toybox and dash run it.

tolerance=${TICKRATE_TOLERANCE:-2}
out=${TMPDIR:-/tmp}/latmeter-tools.$$
trap 'rm -f "$out"' EXIT

# The path of a program, or nothing if it is not installed.
program() {
	if [ -n "$BINDIR" ]; then
		[ -x "$BINDIR/$1" ] && echo "$BINDIR/$1"
	else
		command -v "$1"
	fi
}

# report NAME RESULT [MEASUREMENT UNITS]
report() {
	if command -v lava-test-case >/dev/null 2>&1; then
		if [ $# -gt 2 ]; then
			lava-test-case "$1" --result "$2" --measurement "$3" --units "$4"
		else
			lava-test-case "$1" --result "$2"
		fi
	else
		echo "$*"
	fi
}

# A figure case: pass with its measurement, or fail without one.
figure() {
	if [ -n "$2" ]; then
		report "$1" pass "$2" "$3"
	else
		report "$1" fail
	fi
}

# The four figures, "syscall libc mmap read", if the output is a whole run.
latmeter_figures() {
	awk -F '\t' '
		/^clock_gettime: \.*$/ || /^read file: \.*$/ || /^$/ { next }
		$1 ~ /^    (syscall|libc|mmap|read):$/ && $2 ~ /^-?[0-9]+ ns$/ {
			sub(/ ns$/, "", $2); n += !($1 in v); v[$1] = $2; next
		}
		{ bad = 1 }
		END {
			if (!bad && n == 4)
				print v["    syscall:"], v["    libc:"], v["    mmap:"], v["    read:"]
		}' "$out"
}

# "reported average" if the output is tickrate's nineteen lines.
tickrate_figures() {
	awk '
		NR == 1 && /^Reported generic timer frequency: [0-9]+ Hz$/ { r = $5; next }
		NR == 2 && /^Measured generic timer frequency:$/ { next }
		NR >= 3 && NR <= 17 && /^[0-9]+ Hz$/ { next }
		NR == 18 && /^$/ { next }
		NR == 19 && /^Average: [0-9]+\.[0-9] Hz$/ { a = $2; next }
		{ bad = 1 }
		END { if (!bad && NR == 19) print r, a }' "$out"
}

# verdict NAME CONDITION: pass where the awk condition on the figures holds;
# an empty one fails.
verdict() {
	if [ -n "$2" ] && awk -v t="$tolerance" "BEGIN { exit !($2) }"; then
		report "$1" pass
	else
		report "$1" fail
	fi
}

# run PROGRAM [ARG...]: its output in $out; fails where there is no program.
run() {
	[ -n "$1" ] && "$@" >"$out"
}

# shellcheck disable=SC2046,SC2086 # the arguments and the figures, one word each
set -- $(run "$(program latmeter)" $LATMETER_ARGS && latmeter_figures)
[ $# -eq 4 ] && whole=1 || whole=
verdict latmeter "$whole"
figure latmeter-syscall "$1" ns
figure latmeter-libc "$2" ns
figure latmeter-mmap "$3" ns
figure latmeter-read "$4" ns
# The C library reads the clock without entering the kernel.
verdict latmeter-vdso "${whole:+2 * $2 < $1}"

tickrate=$(program tickrate)
if [ -z "$tickrate" ]; then
	for name in tickrate tickrate-reported tickrate-measured tickrate-agrees; do
		report $name skip
	done
	exit 0
fi
# shellcheck disable=SC2046 # the figures, one word each
set -- $(run "$tickrate" && tickrate_figures)
[ $# -eq 2 ] && whole=1 || whole=
verdict tickrate "$whole"
figure tickrate-reported "$1" Hz
figure tickrate-measured "$2" Hz
verdict tickrate-agrees "${whole:+($2 > $1 ? $2 - $1 : $1 - $2) * 100 <= $1 * t}"
exit 0
