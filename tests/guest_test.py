#!/usr/bin/env python3
"""Runs a build's programs on a real Debian Arm kernel under qemu-system, and checks them.

One boot runs the whole batch, under -icount: the guest's clock counts
executed instructions, so latmeter's figures are instruction counts that
repeat from run to run, and a sleep takes no real time. With --sandbox, every
case runs a second time under Android's app filter. Each --extra 'PROGRAM
ARG...' adds a command line whose output is shown, not checked. A faulty
board is qemu's own with one property added to its timer node; it runs only
the cases that show its fault.
"""
import functools
import os
import re
import shlex
import stat
import subprocess
import sys
import unittest
from collections import namedtuple

from elf import needs
from harness import FETCHED, KERNELS, QEMU, WRONG_HZ, cpio, directory, faulty_dtb, folder, opt
from promises import (FULL, NO_CLOCK, NO_TIMESTAMPS, REFUSED, REFUSED_CLOCK, USAGE, figures,
                      no_result, tickrate_wrong)

MEASURE = ["-c", "100", "-l", "4", "-r", "2"]
CASES = {  # name: (standard output, program, arguments)
    "help": ("/out", "latmeter", ["-h"]),
    "measure": ("/out", "latmeter", MEASURE),
    "no_rounds": ("/out", "latmeter", ["-r", "0"]),
    "zero_calls": ("/out", "latmeter", ["-c", "0", "-l", "2", "-r", "1"]),
    "latmeter_full": ("/dev/full", "latmeter", ["-m", "time", "-c", "1", "-l", "1", "-r", "1"]),
    "tickrate": ("/out", "tickrate", []),
    "tickrate_full": ("/dev/full", "tickrate", []),
    # Under the app filter: started with SIGSYS blocked, with munmap refused,
    # without getrandom, where glibc starts by reading the clock, and without
    # the 32-bit-time clock call, as a kernel without it.
    "app blocked": ("/out", "app_sandbox", ["-b", "/latmeter", *MEASURE]),
    "app refused": ("/out", "app_sandbox", ["-d", "munmap", "/latmeter", "-m", "file", *MEASURE]),
    "app no getrandom": ("/out", "app_sandbox", ["-e", "getrandom", "/latmeter", *MEASURE]),
    "app no clock_gettime": ("/out", "app_sandbox", ["-e", "clock_gettime", "/latmeter", *MEASURE]),
    # The entry point's answers, in app_sandbox itself, under the filter.
    "app probe": ("/out", "app_sandbox", ["-p"]),
}
APP = "app "  # the prefix of a case run under the app filter
MUNMAP = {64: 215, 32: 91}  # its number, by the width of long
NOT_IMPLEMENTED = "Function not implemented"  # ENOSYS
# app_sandbox -p: a line a call, NAME: RESULT, by the width of long. The
# entry point answers the first calls ENOSYS; on 32-bit Arm its answer to the
# 64-bit-time clock read, by the 32-bit call, lies between two 32-bit
# readings, and an invalid clock gets that call's error.
ANSWER = "%s: %s\n"
NO_CALL = "-1 " + NOT_IMPLEMENTED
ANSWERS = {64: [("set_robust_list", NO_CALL), ("rseq", NO_CALL), ("statx", NO_CALL)]}
ANSWERS[32] = ANSWERS[64] + [("clock_nanosleep_time64", NO_CALL), ("clock_gettime64", "0 between"),
                             ("clock_gettime64 of no clock", "-1 Invalid argument")]
# timer: {kernel: the property added to the timer node}; libc: the range of
# libc / syscall; counts: the range of each count / rate, the reported
# frequency where rate is None.
Board = namedtuple("Board", "timer cases libc counts rate")
BOARDS = {
    "healthy": Board({}, list(CASES), (0, 0.5), (1.0, 1.1), None),
    # The vDSO cannot use the counter. On arm64 an erratum's workaround sends
    # clock reads into the kernel, which also emulates programs' counter
    # reads; the 32-bit kernel drops clock_gettime from its vDSO.
    "no-vdso": Board({"arm64": "fsl,erratum-a008585;",
                      "armhf": "arm,cpu-registers-not-fw-configured;"},
                     ["measure", "tickrate", "app no clock_gettime", "app probe"],
                     (0.9, float("inf")), (1.0, 1.1), None),
    # The kernel believes the 50 MHz it is told, and sleeps by it, whatever
    # rate the counter runs at and reports.
    "wrong-rate": Board(dict.fromkeys(KERNELS, "clock-frequency = <%d>;" % WRONG_HZ),
                        ["tickrate"], None, (1.0, 1.1), WRONG_HZ),
}


# The init, in Debian's static busybox: runs each line of /batch (the file that takes
# standard output, the program, its arguments, a tab apart) with no environment,
# frames its status and output on the console for the host, and powers off.
INIT = b"""#!/bin/busybox sh
b=/bin/busybox
$b mount -t devtmpfs dev /dev && $b mount -t proc proc /proc
$b stty -opost  # else the console turns each newline into two characters
n=0
while IFS= read -r line; do
	set -f && IFS=$($b printf '\t') && set -- $line && unset IFS
	out=$1 && shift && : >/out
	$b env -i "$@" >"$out" 2>/err
	echo "@@case $n exit $?"
	for f in out err; do echo "@@$f $(($($b wc -c </$f)))" && $b cat /$f; done
	n=$((n + 1))
done </batch
echo "@@done $n"
$b sync && $b poweroff -f
"""


def initramfs(batch):
    """The init, the programs, and for a dynamic build its loader and libraries."""
    def file(path, name, mode=0o755):
        with open(path, "rb") as f:
            return (name, stat.S_IFREG | mode, f.read(), 0)
    busybox = os.path.join(FETCHED, "busybox-" + ("armhf" if opt.kernel == "armhf" else "arm64"))
    entries = [directory("bin"), directory("dev"), directory("proc"), file(busybox, "bin/busybox"),
               ("dev/console", stat.S_IFCHR | 0o600, b"", 5 << 8 | 1),
               ("init", stat.S_IFREG | 0o755, INIT, 0),
               ("batch", stat.S_IFREG | 0o644, batch.encode(), 0)]
    libs = set()
    if opt.sandbox:
        entries.append(file(opt.sandbox, "app_sandbox"))
    for name, path in opt.programs.items():
        entries.append(file(path, name))
        needed, interp = needs(path)
        libs.update(["/lib/" + lib for lib in needed] + ([interp] if interp else []))
    if libs:
        entries.append(directory("lib"))
    for lib in sorted(libs):
        entries.append(file(os.path.join(opt.sysroot, lib.lstrip("/")), lib.lstrip("/")))
    return cpio(entries)


def frames(console):
    """{case number: (status, out, err)} from the framed console output."""
    found, pos = {}, console.find(b"@@case ")
    while pos >= 0 and console.startswith(b"@@case ", pos):
        end = console.index(b"\n", pos)
        number, _, value = console[pos + 7:end].split()
        pos, parts = end + 1, []
        for label in (b"out", b"err"):
            m = re.compile(rb"@@%s (\d+)\n" % label).match(console, pos)
            size = int(m[1])
            parts.append(console[m.end():m.end() + size].decode(errors="replace"))
            pos = m.end() + size
        status = int(value) if int(value) < 128 else 128 - int(value)  # the shell's for a signal
        found[int(number)] = (status, *parts)
    return found


def boot(cases):
    """Boots once, runs every case, and returns {name: (status, out, err)}."""
    lines = ["\t".join([out, "/" + prog, *args]) for out, prog, args in cases.values()]
    tmp = folder()
    image = os.path.join(tmp, "initramfs.cpio")
    with open(image, "wb") as f:
        f.write(initramfs("\n".join(lines) + "\n"))
    cmd = KERNELS[opt.kernel] + QEMU
    if opt.image:
        cmd[cmd.index("-kernel") + 1] = opt.image
    prop = BOARDS[opt.board].timer.get(opt.kernel)
    if prop:
        cmd += ["-dtb", faulty_dtb(cmd, prop, os.path.join(tmp, "board.dtb"))]
    p = subprocess.run(cmd + ["-initrd", image], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=300)
    got = frames(p.stdout)
    if b"@@done %d\n" % len(lines) not in p.stdout or len(got) != len(lines):
        sys.exit("the guest did not run its batch:\n" + p.stdout.decode(errors="replace")[-3000:]
                 + p.stderr.decode(errors="replace"))
    return {name: got[i] for i, name in enumerate(cases)}


@functools.lru_cache(maxsize=None)
def results():
    """{case name: (status, standard output, standard error)} of this board's cases, run
    in one boot; with the extra lines' output and the figures shown."""
    board = BOARDS[opt.board]
    runs = {**opt.programs, "app_sandbox": opt.sandbox}
    cases = {k: CASES[k] for k in board.cases if runs.get(CASES[k][1])}
    if opt.sandbox:  # on a faulty board, the clock reads alone: they are what its fault changes
        cases.update({APP + k: (out, "app_sandbox", ["/" + prog, *args])
                      for k, (out, prog, args) in cases.items()
                      if prog != "app_sandbox" and (k == "measure" or not board.timer)})
    extra = opt.extra or []
    for i, line in enumerate(extra):
        prog, *args = shlex.split(line)
        cases["extra %d" % i] = ("/out", prog, args)
    got = boot(cases)
    for i, line in enumerate(extra):
        print("$ %s\n%s%sstatus %d\n" % (line, *got["extra %d" % i][1:], got["extra %d" % i][0]))
    for prefix in ["", APP]:
        found = prefix + "measure" in got and figures(got[prefix + "measure"][1], ["time", "file"], 4)
        if found:
            print("instructions per call, %s build on the %s kernel%s%s: syscall %d, libc %d, "
                  "mmap %d, read %d" % (opt.build_name, opt.kernel, ", as an app" if prefix else "",
                                        ", " + opt.board if board.timer else "", *found))
    return got


class Runs:
    prefix = ""

    def got(self, name):
        if self.prefix + name not in results():
            self.skipTest("not run on this board")
        return results()[self.prefix + name]

    def check_write_error(self, program):
        status, _, err = self.got(program + "_full")
        self.assertEqual((status, err), (1, FULL % ("/" + program)))

    def figures(self, out, modes, dots):
        found = figures(out, modes, dots)
        self.assertIsNotNone(found, out)
        return found


class Latmeter(Runs, unittest.TestCase):  # group
    def result(self, name, dots, err=""):
        """The figures of a run of both sections, which must succeed."""
        status, out, got_err = self.got(name)
        self.assertEqual((status, got_err), (0, err), out)
        return self.figures(out, ["time", "file"], dots)

    def test_usage(self):
        self.assertEqual(self.got("help"), (1, USAGE % "/latmeter", ""))

    def test_edge_figures(self):
        self.assertEqual(self.result("no_rounds", 0), [no_result(opt.bits)] * 4)
        self.assertEqual(self.result("zero_calls", 2), [0] * 4)

    def refused_clock(self):
        """What a 32-bit app says at exit where its C library finds no vDSO clock."""
        no_vdso_clock = self.prefix and opt.bits == 32 and opt.board == "no-vdso"
        return REFUSED_CLOCK % "/latmeter" if no_vdso_clock else ""

    def test_libc_against_syscall(self):
        syscall, libc, _, _ = self.result("measure", 4, self.refused_clock())
        low, high = BOARDS[opt.board].libc
        self.assertTrue(low * syscall <= libc < high * syscall, (syscall, libc))

    def test_write_error(self):
        self.check_write_error("latmeter")


class Tickrate(Runs, unittest.TestCase):  # group
    def test_counts_match_the_reported_frequency(self):
        status, out, err = self.got("tickrate")
        self.assertEqual((status, err), (0, ""))
        board = BOARDS[opt.board]
        self.assertIsNone(tickrate_wrong(out, *board.counts, board.rate))

    def test_write_error(self):
        self.check_write_error("tickrate")


class AppLatmeter(Latmeter):  # group
    prefix = APP

    def test_started_with_sigsys_blocked(self):
        self.result("blocked", 4)

    def test_started_without_getrandom(self):
        self.result("no getrandom", 4)

    def test_no_clock_call_no_time_section(self):
        # Where no vDSO reads the counter, the harness's timestamps are
        # refused too, and the file section cannot be timed either.
        status, out, err = self.got("no clock_gettime")
        said = NO_CLOCK % ("/latmeter", NOT_IMPLEMENTED)
        if opt.board == "no-vdso":
            said += NO_TIMESTAMPS % ("/latmeter", NOT_IMPLEMENTED) + self.refused_clock()
        self.assertEqual((status, err), (1, said), out)
        self.figures(out, ["file"] * (opt.board != "no-vdso"), 4)

    def test_entry_point_answers(self):
        # Its one line at exit says that the 64-bit-time clock was refused.
        said = REFUSED_CLOCK % "/app_sandbox" if opt.bits == 32 else ""
        expected = "".join(ANSWER % answer for answer in ANSWERS[opt.bits])
        self.assertEqual(self.got("probe"), (0, expected, said))

    def test_refused_call_ends_with_its_number(self):
        self.assertEqual(self.got("refused"), (1, "", REFUSED % ("/latmeter", MUNMAP[opt.bits])))


class AppTickrate(Tickrate):  # group
    prefix = APP
