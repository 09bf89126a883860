#!/bin/sh
# Runs latmeter and tickrate once each, and reports every figure as a test
# case: through lava-test-case inside LAVA, elsewhere as one line a case
# (name, result, and the measurement with its units), and then exits 1 if
# any case failed. A program that fails, cannot be run or prints something
# unexpected gives failed cases, never missing ones, and so does a figure
# that is no measurement (zero, negative, or latmeter's "no result"), with
# every verdict drawn from it. Only an absent tickrate, and a section that
# LATMETER_ARGS turned off with -m, give skipped ones.
#
# From the environment, as LAVA passes a test definition's parameters:
#   LATMETER_ARGS       extra arguments for latmeter (none: its defaults)
#   BINDIR              where the programs are (empty: found on PATH)
#   TICKRATE_TOLERANCE  how far, in per cent, tickrate's average may stray
#                       from the reported frequency (default 2)
#   CPUS                empty: one run, unpinned; "all": one run pinned to
#                       each online CPU; or CPU numbers, such as "0 4 7"
#
# POSIX sh with awk only, and taskset for CPUS: mksh, toybox, busybox
# and dash run it. It writes no file, since a phone has no /tmp: output is
# kept in variables.

set -f

tolerance=${TICKRATE_TOLERANCE:-2}
frequencies=
failed=
latmeter_names="latmeter latmeter-syscall latmeter-libc latmeter-mmap latmeter-read latmeter-vdso"
tickrate_names="tickrate tickrate-reported tickrate-measured tickrate-agrees"

# The path of a program, or nothing if it is not installed. One in BINDIR
# that cannot be run is still there, and its cases fail.
program() {
	if [ -n "$BINDIR" ]; then
		[ -e "$BINDIR/$1" ] && echo "$BINDIR/$1"
	else
		command -v "$1"
	fi
}

# report NAME RESULT [MEASUREMENT UNITS]
report() {
	[ "$2" != fail ] || failed=1
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

# skip SUFFIX NAME...: each case skipped.
skip() {
	sfx=$1
	shift
	for name; do
		report "$name$sfx" skip
	done
}

# measured VALUE: whether it is a measurement: positive, and not the largest
# long of either width, which latmeter prints where it measured nothing.
measured() {
	case $1 in
	"" | *[!0-9.]* | 9223372036854775807 | 2147483647) return 1 ;;
	esac
	awk -v v="$1" 'BEGIN { exit !(v + 0 > 0) }'
}

# all_measured FIGURE...: whether each is a measurement, or "-" for a
# section that was not asked for.
all_measured() {
	for f; do
		[ "$f" = - ] || measured "$f" || return 1
	done
}

# figure NAME VALUE UNITS: pass with its measurement, skip for "-" (a
# section that was not asked for), or fail without one.
figure() {
	if [ "$2" = - ]; then
		report "$1" skip
	elif measured "$2"; then
		report "$1" pass "$2" "$3"
	else
		report "$1" fail
	fi
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

# The sections that LATMETER_ARGS leave on, "time file", as latmeter reads
# them: the last -m wins.
sections() {
	mode=all
	# shellcheck disable=SC2086 # the arguments, one word each
	set -- $LATMETER_ARGS
	while [ $# -gt 0 ]; do
		case $1 in
		--) break ;;
		-m | --m | --mo | --mod | --mode)
			mode=${2-}
			[ $# -lt 2 ] || shift
			;;
		-m*) mode=${1#-m} ;;
		--m=* | --mo=* | --mod=* | --mode=*) mode=${1#*=} ;;
		--*=*) ;;
		-c | -l | -r | --c* | --l* | --r*) [ $# -lt 2 ] || shift ;;
		esac
		shift
	done
	case $mode in
	time) echo "1 0" ;;
	file) echo "0 1" ;;
	*) echo "1 1" ;;
	esac
}

# "syscall libc mmap read" of the output on standard input: "-" for each
# figure of a section that was not asked for, and "x" for each of one that
# was, unless the output is a whole run of just the sections asked for.
latmeter_figures() {
	# shellcheck disable=SC2046 # two words
	set -- $(sections)
	awk -F '\t' -v time="$1" -v file="$2" '
		/^clock_gettime: \.*$/ || /^read file: \.*$/ || /^$/ { next }
		$1 ~ /^    (syscall|libc|mmap|read):$/ && $2 ~ /^-?[0-9]+ ns$/ {
			sub(/ ns$/, "", $2); v[$1] = $2; next
		}
		{ bad = 1 }
		END {
			t = ("    syscall:" in v) + ("    libc:" in v)
			f = ("    mmap:" in v) + ("    read:" in v)
			whole = !bad && t == 2 * time && f == 2 * file
			split("syscall libc mmap read", name, " ")
			for (i = 1; i <= 4; i++) {
				k = "    " name[i] ":"
				printf "%s%s", !(i <= 2 ? time : file) ? "-" : whole ? v[k] : "x",
					(i < 4 ? " " : "\n")
			}
		}'
}

# "reported average" if the output on standard input is tickrate's nineteen
# lines.
tickrate_figures() {
	awk '
		NR == 1 && /^Reported generic timer frequency: [0-9]+ Hz$/ { r = $5; next }
		NR == 2 && /^Measured generic timer frequency:$/ { next }
		NR >= 3 && NR <= 17 && /^[0-9]+ Hz$/ { next }
		NR == 18 && /^$/ { next }
		NR == 19 && /^Average: [0-9]+\.[0-9] Hz$/ { a = $2; next }
		{ bad = 1 }
		END { if (!bad && NR == 19) print r, a }'
}

# latmeter_cases SUFFIX [PIN...]: one run of latmeter, and its cases.
latmeter_cases() {
	sfx=$1
	shift
	latmeter=$(program latmeter)
	# shellcheck disable=SC2086 # the arguments, one word each
	out=$([ -n "$latmeter" ] && "$@" "$latmeter" $LATMETER_ARGS) || out=
	# shellcheck disable=SC2046 # the figures, one word each
	set -- $(printf '%s\n' "$out" | latmeter_figures)
	[ $# -eq 4 ] && all_measured "$@" && whole=1 || whole=
	verdict "latmeter$sfx" "$whole"
	figure "latmeter-syscall$sfx" "$1" ns
	figure "latmeter-libc$sfx" "$2" ns
	figure "latmeter-mmap$sfx" "$3" ns
	figure "latmeter-read$sfx" "$4" ns
	# The C library reads the clock without entering the kernel.
	if [ "$1" = - ]; then
		report "latmeter-vdso$sfx" skip
	elif measured "$1" && measured "$2"; then
		verdict "latmeter-vdso$sfx" "2 * $2 < $1"
	else
		report "latmeter-vdso$sfx" fail
	fi
}

# tickrate_cases SUFFIX [PIN...]: one run of tickrate, and its cases.
tickrate_cases() {
	sfx=$1
	shift
	tickrate=$(program tickrate)
	if [ -z "$tickrate" ]; then
		# shellcheck disable=SC2086 # one word a name
		skip "$sfx" $tickrate_names
		return
	fi
	out=$("$@" "$tickrate") || out=
	# shellcheck disable=SC2046 # the figures, one word each
	set -- $(printf '%s\n' "$out" | tickrate_figures)
	[ $# -eq 2 ] && all_measured "$@" && whole=1 || whole=
	if [ -n "$whole" ]; then
		frequencies="$frequencies $1"
	else
		frequencies="$frequencies none"
	fi
	verdict "tickrate$sfx" "$whole"
	figure "tickrate-reported$sfx" "$1" Hz
	figure "tickrate-measured$sfx" "$2" Hz
	verdict "tickrate-agrees$sfx" "${whole:+($2 > $1 ? $2 - $1 : $1 - $2) * 100 <= $1 * t}"
}

# The online CPUs, one number a line: "0-3,6" in sysfs, else cpuinfo's.
online_cpus() {
	if [ -r /sys/devices/system/cpu/online ]; then
		awk -F , '{
			for (i = 1; i <= NF; i++) {
				n = split($i, r, "-")
				for (c = r[1]; c <= r[n]; c++)
					print c
			}
		}' /sys/devices/system/cpu/online
	else
		awk -F ': *' '/^processor[ \t]*:/ { print $2 }' /proc/cpuinfo
	fi
}

# mask CPU: the hex mask of one CPU, the one form that toybox's (Android's),
# busybox's and util-linux's taskset all take: CPU 7 is 80.
mask() {
	case $1 in
	"" | *[!0-9]*) return 1 ;;
	esac
	awk -v n="$1" 'BEGIN { m = substr("1248", n % 4 + 1, 1); for (i = 4; i <= n; i += 4) m = m "0"; print m }'
}

# Inside LAVA the recorded results carry the verdict; elsewhere the status.
finish() {
	command -v lava-test-case >/dev/null 2>&1 && exit 0
	[ -z "$failed" ]
	exit
}

if [ -z "$CPUS" ]; then
	latmeter_cases ""
	tickrate_cases ""
	finish
fi
[ "$CPUS" = all ] && CPUS=$(online_cpus)
# shellcheck disable=SC2086 # one word a CPU
set -- $CPUS
if [ $# -eq 0 ]; then
	echo "CPUS names no CPU: nothing was run" >&2
	report cpus fail
	finish
fi
taskset=$(command -v taskset)
[ -n "$taskset" ] || echo "no taskset here: every pinned run is skipped" >&2
for cpu; do
	if [ -z "$taskset" ]; then
		# shellcheck disable=SC2086 # one word a name
		skip "-cpu$cpu" $latmeter_names $tickrate_names
		continue
	fi
	# A CPU that is no number has nothing to pin to: its runs fail.
	pin=false
	m=$(mask "$cpu") && pin="taskset $m"
	# shellcheck disable=SC2086 # the command and its mask
	latmeter_cases "-cpu$cpu" $pin
	# shellcheck disable=SC2086 # the command and its mask
	tickrate_cases "-cpu$cpu" $pin
done
# Firmware programs each core's CNTFRQ; a cluster may have been given
# another value.
if [ $# -ge 2 ]; then
	if [ -z "$taskset" ] || [ -z "$(program tickrate)" ]; then
		report tickrate-same-frequency skip
	else
		# shellcheck disable=SC2086 # one word a CPU
		verdict tickrate-same-frequency "$(printf '%s\n' $frequencies |
			awk 'NR == 1 { f = $1 } $1 != f || $1 == "none" { d = 1 } END { print !d }')"
	fi
fi
finish
