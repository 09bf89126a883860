"""Black-box tests of a built latmeter, run natively or under qemu-user."""
import concurrent.futures
import os
import random
import re
import shlex
import tempfile
import time
import unittest

from harness import folder, opt, preload, private_mount, program as run
from promises import (CLOSED, DEFAULTS, FULL, MODES, NO_CLOCK, NO_DEVICE, NO_TIMESTAMPS, OPTIONS,
                      PAUSE_MS, SMALL, WRITE_ERROR, figures, predict, sizes, wrong)
from tracing import (CLOCK_READS, FILE_CALLS, MAP_ARGS, SLEEPS, between_writes, file_calls,
                     syscalls)

# LeakSanitizer, in the sanitized build, cannot run under a tracer.
UNDER_TRACER = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")


class Case(unittest.TestCase):
    def figures(self, out, modes, dots):
        """Checks the whole output's shape; returns its figures in order."""
        found = figures(out, modes, dots)
        self.assertIsNotNone(found, "not %s with %d dots each:\n%s" % (modes, dots, out))
        return found

    def measure(self, args, modes, dots):
        rc, out, err = run(args)
        self.assertEqual((rc, err), (0, ""), args)
        return self.figures(out, modes, dots)

    def preloaded(self, lib, args, prefix=(), *env):
        return run(args, prefix=[*prefix, *preload(lib, *env)])

    def traced(self, args, prefix=(), status=0, error="", faults=()):
        """Runs latmeter under a system-call tracer: strace natively, qemu's own under emulation.

        Returns its standard output and the calls it made; it must end with
        this status and this standard error. Faults are strace's options that
        inject them, natively."""
        if opt.emu:
            rc, out, err = run(args, prefix=prefix, env=dict(os.environ, QEMU_STRACE="1"))
            self.assertEqual(rc, status, args)
            self.assertIn(error, err)  # the trace's lines interleave with it
            return out, syscalls(err)
        with tempfile.NamedTemporaryFile("r", dir=folder(self)) as f:
            rc, out, err = run(args, prefix=[*prefix, "strace", "-qq", *faults, "-o", f.name],
                               env=UNDER_TRACER)
            self.assertEqual((rc, err), (status, error), args)
            return out, syscalls(f.read())

    def measured(self, calls, expected, args):
        """The calls between the first and the last write to standard output,
        each of them named in expected and successful."""
        span, odd = between_writes(calls, expected)
        self.assertEqual(odd, [], args)
        return span

    def check_lines(self, lines):
        """Runs the command lines, two at a time, each checked against what it promises."""
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            found = [(argv, why) for argv, why in zip(lines, pool.map(
                lambda argv: wrong(opt.exe, argv, opt.bits, *run(argv)), lines)) if why]
        self.assertEqual(found[:20], [])


# One line a case: the usage text, option errors, bad keywords, the last of an
# option winning, operands passed over, and the edge figures: no rounds, no
# loops, no calls, negative calls.
LINES = """-h|--help|--he|-c 5 -h -x|-m time -h|-x|--bogus|-c|--mode|--calls|-r 1 -l|--help=1
-m time -q|-m All|-m times|--mode=|--mode time -m fil|-mTIME -x
-m time -c 2 -l 2 -r 1|-m file -c 2 -l 2 -r 1|-c 2 -l 2 -r 1|--mode all -c 2 -l 2 -r 1
-m time -m file -c 2 -l 2 -r 1|-m file --mode=time -c 2 -l 2 -r 1|-mfile -m all -c 2 -l 2 -r 1
-m time stray -c1 --loops=1 --rounds 3|-r 2 -l 1 -c 1 -- -h|-r 0|-r -1000|-r -2147483648|-r x
-c 0 -l 2 -r 2|-m time -c zero -l 1 -r 1|-c 7 -l 0 -r 2|-c -3 -l -5 -r 2|-c -2147483648 -l 0 -r 2
-c 1 -l -2147483648 -r 2|-c 0 -l 0 -r 2|-c -5 -l 3 -r 1|-c 50 -l 3 -r 2"""


class CommandLines(Case):  # group
    def test_each_line_does_what_it_promises(self):
        self.check_lines([shlex.split(line) for line in re.split(r"[|\n]", LINES)])


# Fuzzed command lines, drawn from pieces whose meaning the promises give.
NUMBERS = ["0", "1", "2", "3", "-1", "-2", "7", "2147483647", "2147483648", "-2147483648",
           "-2147483649", "4294967295", "4294967296", "4294967297", "9223372036854775807",
           "9223372036854775808", "-9223372036854775809", "99999999999999999999", "", "abc",
           "3x", " 2", "\t-1", "+1", "-0", "0x10", "1e3", "--", "-", "-c", "00000000001"]
BAD_WORDS = ["All", "TIME", "times", "", "tim", "all ", "-", "--", "file\n"]
OTHERS = [["-x"], ["-Z"], ["-?"], ["-W"], ["--bogus"], ["--calls2=1"], ["--help=yes"], ["--="],
          ["--rounds-2"], ["-xh"], ["-h"], ["--help"], ["--he"], ["--h"], ["stray"], ["-"],
          [""], ["7"], ["time"], ["a b"], ["--"]]
COST = {"time": 1, "file": 100}  # work units a body call: a file call costs a hundred reads
BUDGET = 30000


def piece(rng):
    """One random option, with its argument in any form that getopt_long takes, or
    another word."""
    letter = rng.choice("clrrm" * 4 + "?")
    if letter == "?":
        return rng.choice(OTHERS)
    value = rng.choice(NUMBERS if letter != "m" else list(MODES) * 8 + BAD_WORDS)
    name = OPTIONS[letter][:rng.randint(1, len(OPTIONS[letter]))] if rng.random() < 0.3 \
        else OPTIONS[letter]
    forms = [["-" + letter, value], ["--" + name + "=" + value], ["--" + name, value]]
    return rng.choice(forms + [["-" + letter + value]] * bool(value))


def little_work(argv):
    """Whether a line asks for at most a little work."""
    kind, s = predict(argv, opt.bits)
    total = 0
    for section in ("time", "file") if kind == "run" else ():
        calls, loops, rounds = sizes(s, section)
        if s[section] and rounds > 2:  # each round pauses
            return False
        if s[section] and rounds > 0:
            total += 2 * rounds * max(loops, 0) * (2 + COST[section] * max(calls, 0))
    return total <= BUDGET


class Fuzz(Case):  # group
    """Bounded, deterministic: `--seed N` and `--lines N` to the harness try others."""

    def test_random_lines(self):
        rng, lines = random.Random(opt.seed or 20261208), []
        while len(lines) < (opt.lines or 300):
            argv = [w for _ in range(rng.randint(0, 7)) for w in piece(rng)]
            if rng.random() < 0.05:  # one that lacks its last argument
                argv.append(rng.choice(["-c", "-l", "-r", "-m", "--calls", "--mode", "--rou"]))
            if little_work(argv):
                lines.append(argv)
        self.check_lines(lines)


class LongLoop(Case):  # group
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


TIME = DEFAULTS["time"]


class Trace(Case):  # group
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
                                       (["-c", "7", "-c", "-1", "-l", "1", "-r", "1"], TIME["c"], 1, 1),
                                       (["-c", "1", "-l", "-1", "-r", "-1"], 1, TIME["l"], TIME["r"])):
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
        for args, n in ((["-l", "2", "-r", "2"], 12), (["-r", "1"], 3 * DEFAULTS["file"]["l"])):
            out, calls = self.traced(["-m", "file", "-c", "3"] + args)
            self.figures(out, ["file"], 2 * int(args[-1]))
            self.measured(calls, CLOCK_READS + SLEEPS + FILE_CALLS, args)
            # One untimed fetch of each kind first.
            self.assertEqual(file_calls(calls), fetch + read + fetch * n + read * n, args)


class NoClock(Case):  # group
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


UNMAPPABLE = ["mount", "--bind", "/dev/null", "/dev/zero"]


class NoDevice(Case):  # group
    """/dev/zero missing or unmappable, in a private mount namespace: the file
    section says why it measured nothing, after one untimed try."""

    def test_missing_device_is_not_measured(self):
        out, calls = self.traced(SMALL, private_mount(self, ["mount", "-t", "tmpfs", "none", "/dev"]), 1,
                                 NO_DEVICE % (opt.exe, "No such file or directory"))
        self.figures(out, ["time"], 2)
        self.assertEqual(file_calls(calls), ["fail"])

    def test_unmappable_device_is_closed_and_not_measured(self):
        out, calls = self.traced(["-m", "file"] + SMALL, private_mount(self, UNMAPPABLE), 1,
                                 NO_DEVICE % (opt.exe, "No such device"))
        self.assertEqual(out, "")
        self.assertEqual(file_calls(calls), ["open", "nomap", "close"])


class Copies(Case):  # group: dynamic
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
        with tempfile.NamedTemporaryFile("r", dir=folder(self)) as f:
            self.copies(args, ["strace", "-qq", "-o", f.name])
            maps = [a for name, a, _ in syscalls(f.read()) if name == "mmap"]
        first = next(i for i, a in enumerate(maps, 1) if a[:4] == MAP_ARGS)  # the untimed one
        inject = "inject=mmap:error=ENOMEM:when=%d+" % (first + 1)
        self.assertEqual(self.copies(args, ["strace", "-qq", "-o", "/dev/null", "-e", inject]), 1)

    def test_no_copy_from_a_failed_mapping(self):
        self.assertEqual(self.copies(["-m", "file"] + SMALL, private_mount(self, UNMAPPABLE), 1,
                                     NO_DEVICE % (opt.exe, "No such device")), 0)


class WriteErrors(Case):  # group
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
        rc, _, err = run(["-m", "time"] + SMALL, prefix=inject, env=UNDER_TRACER)
        self.assertEqual((rc, err), (1, WRITE_ERROR % opt.exe))

    def test_closed_output(self):
        rc, _, err = run(SMALL, prefix=["sh", "-c", 'exec "$@" >&-', "sh"])
        self.assertEqual((rc, err), (1, CLOSED % opt.exe))


