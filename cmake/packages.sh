#!/bin/sh
# usage: packages.sh run|dist|test
#        packages.sh missing run|dist|test
#        packages.sh table|packages run|dist|test
#        packages.sh newest PATTERN
#
# Installs the Debian packages that `make run`, `make dist` or `make test`
# needs and this machine lacks, in one apt-get call (through sudo when not
# root); for test, also fetches into build/fetched what the suite takes from
# Debian's Arm packages. Nothing else changes: no dpkg architecture, no
# service. Where there is no apt-get or dpkg-query, nothing is installed:
# the commands that the packages give are looked for instead, and those
# missing are named. `missing` lists what would be installed, or the
# commands missing; `table` the lines of the table below that the command
# needs; `packages` the packages it installs where this release has them;
# `newest` the packages whose names match, newest first.
# Lists of names are split on purpose, with globbing off.
# shellcheck disable=SC2046,SC2086
set -euf

top=$(cd "$(dirname "$0")/.." && pwd)
fetched=$top/build/fetched
arm_apt=$top/build/apt
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo

# What each command needs: a line a package, with the command that first
# needs it (dist needs run's too, test all), the package, and the commands
# of it that the builds and the suite run, which a system without apt is
# checked for. The guests boot the Arm kernels of the newest Debian
# installer that the archive has (~PATTERN: the newest package whose name
# matches), with the emulator that boots them and the network card's ROM
# that a LAVA server's qemu device asks for; fetching takes apt-get and
# dpkg-deb.
table='
run g++ g++
run binutils as ld
run cmake cmake
run ninja-build ninja
dist g++-aarch64-linux-gnu aarch64-linux-gnu-g++
dist g++-arm-linux-gnueabihf arm-linux-gnueabihf-g++
dist signify-openbsd signify-openbsd
test python3 python3
test qemu-user qemu-aarch64 qemu-arm
test strace strace
test util-linux unshare
test mount mount
test clang-format clang-format
test clang-tidy clang-tidy
test cppcheck cppcheck
test shellcheck shellcheck
test git git
test mksh mksh
test busybox busybox
test original-awk original-awk
test mandoc mandoc
test lintian lintian
test qemu-system-arm qemu-system-aarch64 qemu-system-arm
test ipxe-qemu
test device-tree-compiler dtc
test ~^debian-installer-[0-9]+-netboot-arm64$
test ~^debian-installer-[0-9]+-netboot-armhf$
test apt apt-get apt-cache
test dpkg dpkg-deb
test dpkg-dev dpkg-buildflags
test clang clang++
test gawk gawk
'
# LAVA's dispatcher and server are fetched, never installed: their packages
# enable services. lava-run runs from the fetched copy with the Python
# libraries its packages depend on (less libguestfs, which brings disk tools
# and services, and which ramdisk jobs never use) and the commands it runs;
# the server gives only its device-type templates.
lab_pkgs="lava-dispatcher lava-dispatcher-host lava-common"
lab_tools="cpio fakeroot iproute2"

# The table's lines for run, dist or test.
table() {
	case $1 in
	run) needs=" run " ;;
	dist) needs=" run dist " ;;
	test) needs=" run dist test " ;;
	esac
	printf '%s\n' "$table" | awk -v needs="$needs" 'NF && index(needs, " " $1 " ")'
}

required() {
	table "$1" | awk '{ print $2 }'
}

commands() {
	table "$1" | awk '{ for (i = 3; i <= NF; i++) print $i }'
}

# Where this release has them: a phone's toybox, and what lava-run needs.
optional() {
	[ "$1" = test ] || return 0
	echo toybox $lab_tools
	apt-cache depends $lab_pkgs 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^python3-/ &&
		$2 != "python3-guestfs" { print $2 }' | sort -u
}

apt=
if command -v apt-get >/dev/null && command -v dpkg-query >/dev/null; then
	apt=yes
	installed=$(dpkg-query -W -f '${Package} ${Status}\n' 2>/dev/null | awk '/ ok installed$/ { print $1 }')
fi

absent() {
	for p; do
		case $p in
		\~*) printf '%s\n' "$installed" | grep -qE -- "${p#\~}" || echo "$p" ;;
		*) printf '%s\n' "$installed" | grep -qx -- "$p" || echo "$p" ;;
		esac
	done
}

packaged() {
	for p; do
		if apt-cache show "$p" >/dev/null 2>&1; then echo "$p"; fi
	done
}

# The packages whose names match, newest first by the version in the name.
newest() {
	apt-cache search --names-only "$1" | cut -d' ' -f1 |
		sed 's/^\([^0-9]*-\)\([0-9].*\)/\2 &/; t; s/^/0 /' | sort -Vr | cut -d' ' -f2
}

resolve() {
	for p; do
		case $p in
		\~*) newest "${p#\~}" | head -n1 | grep . || { echo "no package like ${p#\~} here" >&2; exit 1; } ;;
		*) echo "$p" ;;
		esac
	done
}

# A mirror in mid-sync fails one index at a time: name it, and go on with the
# lists at hand. Whatever is needed and cannot be had then fails by its name.
refresh() {
	if ! out=$("$@" apt-get update -qq 2>&1); then
		printf '%s\n' "$out" | sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)/\1: \2/p' |
			grep . >&2 || printf '%s\n' "$out" >&2
		echo "going on with the package lists at hand" >&2
	fi
}

# The commands of the table's packages that are not on PATH.
unfound() {
	for c in $(commands "$1"); do
		command -v "$c" >/dev/null || echo "$c"
	done
}

install() {
	if [ -z "$apt" ]; then
		missing=$(unfound "$1")
		[ -z "$missing" ] && return 0
		echo "missing, with no apt-get and dpkg-query here to install them: the commands" \
			$missing >&2
		exit 1
	fi
	missing=$(absent $(required "$1"))
	optional=$(packaged $(absent $(optional "$1")))
	[ -n "$missing$optional" ] || return 0
	refresh $sudo
	missing=$(resolve $missing)
	optional=$(packaged $(absent $(optional "$1")))
	echo "installing:" $missing $optional
	$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
		$missing $optional
}

# Debian's Arm packages come through an apt configuration of the suite's own
# for each architecture, with its package lists under build/apt/ARCH: the
# fetches below and the Debian packages' simulated installs use them. One
# list an architecture, since apt drops a whole suite when one of its
# indexes fails, and a mirror syncs one architecture at a time.
arm() {
	a=$1
	shift
	APT_CONFIG=$arm_apt/$a/apt.conf "$@"
}

# arm_lists ARCH: refreshed, once a run.
arm_lists() {
	case " ${fresh-} " in *" $1 "*) return 0 ;; esac
	dir=$arm_apt/$1
	mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
	printf '%s\n' "APT::Architectures { \"$1\"; };" 'APT::Sandbox::User "root";' \
		"Dir::State::Lists \"$dir/lists\";" "Dir::Cache \"$dir/cache\";" >"$dir/apt.conf"
	refresh arm "$1"
	fresh="${fresh-} $1"
}

# fetch FILE PATTERN ARCH MEMBER: of the newest package for ARCH whose name
# matches and that holds MEMBER, only that member (a meta package holds none).
fetch() {
	[ -s "$1" ] && return
	arm_lists "$3"
	for pkg in $(arm "$3" newest "$2"); do
		rm -rf "$1.d" && mkdir -p "$1.d"
		if (cd "$1.d" && arm "$3" apt-get download -qq "$pkg:$3"); then
			set +f
			dpkg-deb --fsys-tarfile "$1.d"/*.deb | tar -xO --wildcards "$4" >"$1" 2>/dev/null || :
			set -f
		fi
		rm -rf "$1.d"
		if [ -s "$1" ]; then echo "fetched $4 from $pkg:$3" && return; fi
	done
	rm -f "$1"
	echo "no $3 package like $2 holds $4" >&2
	exit 1
}

fetch_lab() {
	lava=$fetched/lava
	[ -z "$(find "$lava" -name qemu.jinja2 2>/dev/null)" ] || return 0
	if [ -z "$(packaged lava-server)" ]; then
		echo "no $lab_pkgs lava-server in this release: the lava jobs will be skipped"
		return
	fi
	arm_lists arm64
	rm -rf "$lava" "$lava.d" && mkdir -p "$lava.d"
	(cd "$lava.d" && arm arm64 apt-get download -qq $lab_pkgs lava-server) ||
		{ echo "cannot fetch $lab_pkgs lava-server" >&2; exit 1; }
	set +f
	for deb in "$lava.d"/*.deb; do dpkg-deb -x "$deb" "$lava.d/root" || exit; done
	set -f
	mv "$lava.d/root" "$lava" && rm -rf "$lava.d"
	echo "fetched $lab_pkgs lava-server"
}

usage() {
	sed -n '2,5s/^# //p' "$0" >&2
	exit 2
}

case "${1-} ${2-}" in
"missing run" | "missing dist" | "missing test")
	if [ -n "$apt" ]; then absent $(required "$2"); else unfound "$2"; fi
	;;
"table run" | "table dist" | "table test") table "$2" ;;
"packages run" | "packages dist" | "packages test") required "$2" && optional "$2" ;;
"newest "?*) newest "$2" ;;
"run " | "dist ") install "$1" ;;
"test ")
	install test
	mkdir -p "$fetched"
	fetch "$fetched/vmlinuz-arm64-16k" '^linux-(image|binary)-.*-arm64-16k(-unsigned)?$' arm64 '*vmlinuz*'
	for a in arm64 armhf; do
		fetch "$fetched/busybox-$a" '^busybox-static$' $a '*bin/busybox'
		[ -x "$fetched/busybox-$a" ] || chmod 755 "$fetched/busybox-$a"
	done
	fetch_lab
	# The Debian packages' simulated installs need lists at hand.
	for a in arm64 armhf; do
		find "$arm_apt/$a/lists" -name '*_Packages*' 2>/dev/null | grep -q . || arm_lists $a
	done
	;;
*) usage ;;
esac
