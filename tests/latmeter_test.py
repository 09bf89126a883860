#!/usr/bin/env python3
"""Black-box tests of a built latmeter, run natively or under qemu-user.

usage: latmeter_test.py --bits N --arch ARCH GROUP EXE [EMULATOR...]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from tracing import (CLOCK_READS, FILE_CALLS, MAP_ARGS, SLEEPS, between_writes, file_calls,
                     syscalls)

USAGE = (
    "Usage: %s [options]\n\nThis program benchmarks some simple kernel syscalls:\n"
    "  Time: clock_gettime(CLOCK_MONOTONIC) with direct syscalls and libc wrapper calls\n"
    "  File: reads 64 KiB of data from /dev/zero with mmap(2) and read(2)\n\n"
    "libc time calls may be faster than direct syscalls on some platforms due to\n"
    "special fast paths without context switching, e.g. Linux's vDSO.\n\n"
    "Options:\n  -h, --help\tshow usage help and exit\n"
    "  -m, --mode\ttests to run: time, file, or all (default: all)\n"
    "  -c, --calls\tnumber of syscalls to make per loop (default: 100000 for time, 100 for file)\n"
    "  -l, --loops\tnumber of loops to run per round (default: 32 for time, 128 for file)\n"
    "  -r, --rounds\tnumber of benchmark rounds to run (default: 5)\n"
)
SECTIONS = {
    "time": "clock_gettime: (\\.*)\n    syscall:\t(-?\\d+) ns\n    libc:\t(-?\\d+) ns\n",
    "file": "read file: (\\.*)\n    mmap:\t(-?\\d+) ns\n    read:\t(-?\\d+) ns\n",
}
SMALL = ["-c", "2", "-l", "2", "-r", "1"]
PAUSE_MS = 125  # after each round
FULL = "%s: write error: No space left on device\n"  # a program's output on /dev/full
NO_DEVICE = "%s: /dev/zero: %s\n"
NO_CLOCK = "%s: clock_gettime system call: %s\n"  # the direct call, tried first
NO_TIMESTAMPS = "%s: clock_gettime: %s\n"  # the C library's, which times every figure
opt = None  # the command line of this script
# LeakSanitizer, in the sanitized build, cannot run under a tracer.
UNDER_TRACER = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")


def run(args, prefix=(), env=None, stdout=subprocess.PIPE):
    cmd = [*prefix, *opt.emu, opt.exe, *args]
    p = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, timeout=120, env=env)
    return p.returncode, (p.stdout or b"").decode(), p.stderr.decode()


def long_max(bits):
    return 2 ** (bits - 1) - 1


def parse(out, modes):
    """[(dots, [figure, figure])] a section, for a whole run's output; None if it is not one."""
    m = re.fullmatch("\n".join(SECTIONS[mode] for mode in modes), out)
    if not m:
        return None
    g = m.groups()
    return [(g[i], [int(g[i + 1]), int(g[i + 2])]) for i in range(0, len(g), 3)]


class Case(unittest.TestCase):
    def figures(self, out, modes, dots):
        """Checks the whole output's shape; returns its figures in order."""
        sections = parse(out, modes)
        self.assertIsNotNone(sections, "unexpected output:\n" + out)
        for section_dots, _ in sections:
            self.assertEqual(len(section_dots), dots, out)
        return [f for _, figures in sections for f in figures]

    def measure(self, args, modes, dots):
        rc, out, err = run(args)
        self.assertEqual((rc, err), (0, ""), args)
        return self.figures(out, modes, dots)

    def preloaded(self, lib, args, prefix=(), *env):
        """Runs latmeter with lib preloaded into it alone, not into the commands that start it."""
        # A sanitizer's runtime would rather come first.
        sets = ["LD_PRELOAD=" + lib, "ASAN_OPTIONS=verify_asan_link_order=0", *env]
        return run(args, [*prefix, "env", *(["QEMU_SET_ENV=" + ",".join(sets)] if opt.emu else sets)])

    def traced(self, args, prefix=(), status=0, error="", faults=()):
        """Runs latmeter under a system-call tracer: strace natively, qemu's own under emulation.

        Returns its standard output and the calls it made; it must end with
        this status and this standard error. Faults are strace's options that
        inject them, natively."""
        if opt.emu:
            rc, out, err = run(args, prefix, dict(os.environ, QEMU_STRACE="1"))
            self.assertEqual(rc, status, args)
            self.assertIn(error, err)  # the trace's lines interleave with it
            return out, syscalls(err)
        with tempfile.NamedTemporaryFile("r") as f:
            rc, out, err = run(args, [*prefix, "strace", "-qq", *faults, "-o", f.name],
                               UNDER_TRACER)
            self.assertEqual((rc, err), (status, error), args)
            return out, syscalls(f.read())

    def measured(self, calls, expected, args):
        """The calls between the first and the last write to standard output,
        each of them named in expected and successful."""
        span, odd = between_writes(calls, expected)
        self.assertEqual(odd, [], args)
        return span


class Usage(Case):
    def test_help_is_usage_with_status_1(self):
        for args in (["-h"], ["--help"], ["--he"], ["-c", "5", "-h", "-x"], ["-m", "time", "-h"]):
            self.assertEqual(run(args), (1, USAGE % opt.exe, ""), args)

    def test_option_errors_add_library_diagnostic(self):
        for args in (["-x"], ["--bogus"], ["-c"], ["--mode"], ["--calls"], ["-r", "1", "-l"],
                     ["--help=1"], ["-m", "time", "-q"]):
            rc, out, err = run(args)
            self.assertEqual((rc, out), (1, USAGE % opt.exe), args)
            self.assertTrue(err.startswith(opt.exe + ": "), err)
            self.assertEqual(err.count("\n"), 1, err)

    def test_bad_mode_keyword(self):
        for args, word in ((["-m", "All"], "All"), (["-m", "times"], "times"),
                           (["--mode="], ""), (["--mode", "time", "-m", "fil"], "fil"),
                           (["-mTIME", "-x"], "TIME")):
            msg = "%s: invalid mode -- '%s'\n" % (opt.exe, word)
            self.assertEqual(run(args), (1, USAGE % opt.exe, msg), args)


class Modes(Case):
    def test_sections_and_last_mode_wins(self):
        for mode, modes in ((["-m", "time"], ["time"]), (["-m", "file"], ["file"]),
                            ([], ["time", "file"]), (["--mode", "all"], ["time", "file"]),
                            (["-m", "time", "-m", "file"], ["file"]),
                            (["-m", "file", "--mode=time"], ["time"]),
                            (["-mfile", "-m", "all"], ["time", "file"])):
            self.measure(mode + SMALL, modes, 2)

    def test_rounds_give_dots_and_operands_are_ignored(self):
        self.measure(["-m", "time", "stray", "-c1", "--loops=1", "--rounds", "3"], ["time"], 6)
        self.measure(["-r", "2", "-l", "1", "-c", "1", "--", "-h"], ["time", "file"], 4)


class Figures(Case):
    def test_no_rounds_gives_no_result_value(self):
        for rounds in ("0", "-1000", "-2147483648", "x"):
            figs = self.measure(["-r", rounds], ["time", "file"], 0)
            self.assertEqual(figs, [long_max(opt.bits)] * 4, rounds)

    def test_zero_calls_gives_zero(self):
        self.assertEqual(self.measure(["-c", "0", "-l", "2", "-r", "2"], ["time", "file"], 4),
                         [0] * 4)
        self.assertEqual(self.measure(["-m", "time", "-c", "zero", "-l", "1", "-r", "1"], ["time"], 2), [0] * 2)

    def test_no_loops_give_no_result_value_with_a_dot_a_round(self):
        for calls, loops in ((7, 0), (-3, -5), (-2147483648, 0), (1, -2147483648), (0, 0)):
            figs = self.measure(["-c", str(calls), "-l", str(loops), "-r", "2"], ["time", "file"], 4)
            self.assertEqual(figs, [long_max(opt.bits)] * 4, calls)

    def test_negative_calls_never_call_the_body(self):
        figs = self.measure(["-c", "-5", "-l", "3", "-r", "1"], ["time", "file"], 2)
        self.assertTrue(all(f <= 0 for f in figs), figs)

    def test_figures_are_sane(self):
        for f in self.measure(["-c", "50", "-l", "3", "-r", "2"], ["time", "file"], 4):
            self.assertTrue(0 <= f < 10 ** 9, f)


class LongLoop(Case):
    """Timed loops longer than 2^31 ns, against a clock whose loops last what
    the test chooses, where one can be preloaded; elsewhere on the real clock
    where long is 32 bits."""

    def test_best_loop_of_the_best_round_over_calls(self):
        if not opt.fake_clock:
            self.skipTest("no clock to preload into this build")
        # Round one's best loop is the best, and no loop fits in a 32-bit long.
        loops = [2900000001, 2500000001, 2700000002, 2600000001, 3100000000, 2550000000]
        rc, out, err = self.preloaded(opt.fake_clock, ["-m", "file", "-c", "2", "-l", "3", "-r", "2"],
                                      (), "FAKE_LOOPS_NS=" + ":".join(map(str, loops)))
        self.assertEqual((rc, err), (0, "clock ids: %#x\n" % (1 << 1)))  # CLOCK_MONOTONIC alone
        self.assertEqual(self.figures(out, ["file"], 4), [1250000000] * 2)

    def test_a_clock_that_fails_times_nothing(self):
        if not opt.fake_clock:
            self.skipTest("no clock to preload into this build")
        # Each section says so after its one untimed try, and measures nothing.
        said = NO_TIMESTAMPS % (opt.exe, "Invalid argument")
        for args, sections in ((["-m", "time"], 1), (["-m", "file"], 1), ([], 2)):
            rc, out, err = self.preloaded(opt.fake_clock, args + SMALL, (), "FAKE_CLOCK_ERRNO=22")
            self.assertEqual((rc, out, err), (1, "", said * sections + "clock ids: 0x2\n"), args)

    def test_long_loop_keeps_its_figure(self):
        if opt.fake_clock or opt.bits != 32:
            self.skipTest("long is %d bits here, or the clock is faked" % opt.bits)
        calls = 20000
        for _ in range(12):
            start = time.monotonic()
            syscall_ns, _ = self.measure(["-m", "time", "-c", str(calls), "-l", "1", "-r", "1"],
                                         ["time"], 2)
            wall_ns = (time.monotonic() - start) * 1e9
            self.assertGreaterEqual(syscall_ns, 0)
            self.assertLessEqual(syscall_ns * calls, wall_ns)
            if syscall_ns * calls > 2 ** 31 * 1.1:
                return
            # Each run takes the two bodies' loops: a figure far below the
            # wall time of a loop over 2^31 ns is a wrong one.
            self.assertLess(wall_ns, 2 ** 31 * 4, "%d ns a call, %d calls" % (syscall_ns, calls))
            calls = min(2 ** 31 - 1, calls * max(2, int(2 ** 31 * 2.6 / wall_ns)))
        self.fail("no timed loop reached 2.1 s")


class Trace(Case):
    EVENTS = {**dict.fromkeys(CLOCK_READS, "R"), **dict.fromkeys(SLEEPS, "P")}

    def clock_reads(self, calls, loops, rounds):
        """Direct clock reads, as a tracer sees them, for -m time with these sizes."""
        n = calls * loops * rounds
        if opt.emu and opt.arch == "aarch64":
            return 2 * n + 4 * loops * rounds  # no vDSO: every clock read is the same call
        return n

    def test_clock_reads_pauses_and_dots(self):
        # The last of a repeated option wins.
        for args, c, loops, rounds in ((["--calls=5"], 5, 3, 2), (["--calls", "5"], 5, 3, 2),
                                       (["-c5"], 5, 3, 2),
                                       (["-c", "7", "-c", "-1", "-l", "1", "-r", "1"], 100000, 1, 1),
                                       (["-c", "1", "-l", "-1", "-r", "-1"], 1, 32, 5)):  # defaults
            out, calls = self.traced(["-m", "time", "-l", "3", "-r", "2"] + args)
            self.figures(out, ["time"], 2 * rounds)
            # From the header on: a sanitizer runtime reads the clock as it starts.
            span = self.measured(calls, CLOCK_READS + SLEEPS, args)
            names = [s[0] for s in span]
            self.assertEqual(names.count("clock_gettime"), self.clock_reads(c, loops, rounds), args)
            pauses = [s[1] for s in span if self.EVENTS.get(s[0]) == "P"]
            self.assertEqual(len(pauses), 2 * rounds, args)
            for pause in pauses:
                self.assertIn("{tv_sec=0,tv_nsec=%d}" % (PAUSE_MS * 1000000),
                              [a.replace(" ", "") for a in pause])
            # The harness's own reads too, where no vDSO hides them.
            ids = {s[1][0] for s in span if s[0] in CLOCK_READS}
            self.assertEqual(ids, {"CLOCK_MONOTONIC"}, args)
            dots = [s for s in span if s[0] == "write" and s[1][2] == "1"]
            self.assertEqual(len(dots), 2 * rounds, args)
            # Each round: its timed reads, then its dot, then its pause. The
            # library's reads may not be seen at all (the vDSO); the header
            # and the figures are the span's ends.
            events = "".join("D" if s in dots else "W" if s[0] == "write" else self.EVENTS[s[0]]
                             for s in span)
            self.assertRegex(events, "^W(R+DP){%d}(R*DP){%d}W$" % (rounds, rounds), args)

    def test_file_bodies_open_map_read_close_in_order(self):
        fetch, read = ["open", "mmap", "munmap", "close"], ["open", "read", "close"]
        for args, n in ((["-l", "2", "-r", "2"], 12), (["-r", "1"], 3 * 128)):  # 128 loops by default
            out, calls = self.traced(["-m", "file", "-c", "3"] + args)
            self.figures(out, ["file"], 2 * int(args[-1]))
            self.measured(calls, CLOCK_READS + SLEEPS + FILE_CALLS, args)
            # One untimed fetch of each kind first.
            self.assertEqual(file_calls(calls), fetch + read + fetch * n + read * n, args)


class NoClock(Case):
    """Direct clock reads that fail, by strace's fault injection: the time
    section says why it measured nothing, after one untimed try, and the file
    section still runs."""

    def test_failed_clock_call_is_not_measured(self):
        if opt.emu:
            self.skipTest("no clock call to fail under emulation")
        for errno, reason in (("ENOSYS", "Function not implemented"),
                              ("EPERM", "Operation not permitted")):
            faults = ["-e", "inject=clock_gettime:error=" + errno]
            for args, modes in ((["-m", "time"], []), ([], ["file"])):
                out, calls = self.traced(args + SMALL, (), 1, NO_CLOCK % (opt.exe, reason),
                                         faults)
                self.figures(out, modes, 2)
                # A pause a round of each section measured: none of the time section's.
                self.assertEqual(len([c for c in calls if c[0] in SLEEPS]), 2 * len(modes), args)


SKIP = 77  # every test's SKIP_RETURN_CODE: ctest reports the test as skipped
NOT_HERE = "cannot run here: "  # the reason of a skip that SKIP reports
unshare = None  # how this machine gives a private mount namespace


def not_here(test, why):
    """Skips a case that the build has but this machine cannot run, so that
    its script ends with SKIP, not with a pass."""
    test.skipTest(NOT_HERE + why)


def run_cases(*cases):
    """The exit status of a script that runs these TestCase classes: 1 where
    one failed, SKIP where one could not run here, else 0."""
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in cases)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    return SKIP if any(why.startswith(NOT_HERE) for _, why in result.skipped) else 0


def bare_path(folder, commands):
    """folder, made once a PATH that holds these {command: program} links
    alone; given names alone, the programs that this PATH finds for them."""
    if not isinstance(commands, dict):
        commands = {c: shutil.which(c) for c in commands if shutil.which(c)}
    if not os.path.isdir(folder):
        os.mkdir(folder)
        for command, program in commands.items():
            os.symlink(program, os.path.join(folder, command))
    return folder


def private_mount(test, mount):
    """A command prefix that runs the rest with this mount in a private
    namespace: in a user namespace of its own where the kernel allows one,
    so that a user runs what root does; as root, without one where not."""
    global unshare
    if unshare is None:
        unshare = next((cmd for cmd in (["unshare", "-rm"], ["unshare", "-m"])
                        if shutil.which("unshare") and subprocess.run(
                            [*cmd, "mount", "-t", "tmpfs", "none", "/mnt"],
                            capture_output=True).returncode == 0), [])
    if not unshare:
        not_here(test, "no private mount namespace: no user namespace to have one in, and not root")
    return [*unshare, "sh", "-c", mount + ' && exec "$@"', "sh"]


UNMAPPABLE = "mount --bind /dev/null /dev/zero"


class NoDevice(Case):
    """/dev/zero missing or unmappable, in a private mount namespace: the file
    section says why it measured nothing, after one untimed try."""

    def test_missing_device_is_not_measured(self):
        out, calls = self.traced(SMALL, private_mount(self, "mount -t tmpfs none /dev"), 1,
                                 NO_DEVICE % (opt.exe, "No such file or directory"))
        self.figures(out, ["time"], 2)
        self.assertEqual(file_calls(calls), ["fail"])

    def test_unmappable_device_is_closed_and_not_measured(self):
        out, calls = self.traced(["-m", "file"] + SMALL, private_mount(self, UNMAPPABLE), 1,
                                 NO_DEVICE % (opt.exe, "No such device"))
        self.assertEqual(out, "")
        self.assertEqual(file_calls(calls), ["open", "nomap", "close"])


class Copies(Case):
    """Each mmap body call copies 64 KiB out of the mapping, and so does the
    file section's untimed first fetch; nothing else does."""

    def copies(self, args, prefix=(), status=0, error=""):
        rc, out, err = self.preloaded(opt.preload, args, prefix)
        self.assertEqual(rc, status, err)
        m = re.fullmatch(r"(.*)64 KiB copies: (\d+)\n", err, re.S)
        self.assertEqual(m and m[1], error, err)
        return int(m[2])

    def test_one_copy_per_mapping(self):
        self.assertEqual(self.copies(["-m", "file", "-c", "3", "-l", "2", "-r", "2"]), 1 + 12)
        self.assertEqual(self.copies(["-c", "5", "-l", "1", "-r", "1"]), 1 + 5)
        self.assertEqual(self.copies(["-m", "time", "-c", "5", "-l", "1", "-r", "1"]), 0)

    def test_no_copy_from_a_mapping_that_fails_after_the_first(self):
        if opt.emu:
            self.skipTest("no mapping to fail once under emulation")
        args = ["-m", "file"] + SMALL
        with tempfile.NamedTemporaryFile("r") as f:
            self.copies(args, ["strace", "-qq", "-o", f.name])
            maps = [a for name, a, _ in syscalls(f.read()) if name == "mmap"]
        first = next(i for i, a in enumerate(maps, 1) if a[:4] == MAP_ARGS)  # the untimed one
        inject = "inject=mmap:error=ENOMEM:when=%d+" % (first + 1)
        self.assertEqual(self.copies(args, ["strace", "-qq", "-o", "/dev/null", "-e", inject]), 1)

    def test_no_copy_from_a_failed_mapping(self):
        self.assertEqual(self.copies(["-m", "file"] + SMALL, private_mount(self, UNMAPPABLE), 1,
                                     NO_DEVICE % (opt.exe, "No such device")), 0)


class WriteErrors(Case):
    """Output that could not be written is a failure, said once on standard error."""

    def test_full_device(self):
        with open("/dev/full", "wb") as full:
            for args in (["-m", "time"] + SMALL, ["-m", "file"] + SMALL, ["-h"]):
                self.assertEqual(run(args, stdout=full), (1, "", FULL % opt.exe), args)

    def test_one_failed_write_among_good_ones(self):
        if opt.emu:
            self.skipTest("no write to fail once under emulation")
        # The first dot fails; the writes after it succeed.
        inject = ["strace", "-qq", "-o", "/dev/null", "-e", "inject=write:error=EIO:when=2"]
        rc, _, err = run(["-m", "time"] + SMALL, inject, UNDER_TRACER)
        self.assertEqual((rc, err), (1, "%s: write error\n" % opt.exe))

    def test_closed_output(self):
        rc, _, err = run(SMALL, ["sh", "-c", 'exec "$@" >&-', "sh"])
        self.assertEqual((rc, err), (1, "%s: write error: Bad file descriptor\n" % opt.exe))


def main():
    global opt
    p = argparse.ArgumentParser()
    p.add_argument("--bits", type=int, default=64)
    p.add_argument("--arch", default="")
    p.add_argument("--preload", help="the copy-counting library")
    p.add_argument("--fake-clock", help="the library that fakes the harness's clock")
    p.add_argument("group")
    p.add_argument("exe")
    p.add_argument("emu", nargs=argparse.REMAINDER)
    opt = p.parse_args()
    return run_cases(globals()[opt.group])


if __name__ == "__main__":
    sys.exit(main())
