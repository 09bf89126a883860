#!/usr/bin/env python3
"""A built tickrate: its output, the barrier before each timer read, and what runs
between a sample's two reads."""
import itertools
import os
import re
import resource
import signal
import subprocess
import tempfile
import time
import unittest

from elf import access, callee, code, disassembly, flow, off_limits, said, timed_region
from harness import folder, opt
from promises import SAMPLES, UNREADABLE, WRITE_ERROR, tickrate_wrong
from tracing import SLEEPS, between_writes, syscalls


def timer_read(op, args):
    """The timer register an instruction reads, or None."""
    a = [x.strip() for x in args.split(",")]
    if op == "mrs" and a[-1] in ("cntfrq_el0", "cntvct_el0"):
        return a[-1][:6]
    if op == "mrc" and a[:2] == ["15", "0"] and a[3:] == ["cr14", "cr0", "{0}"]:
        return "cntfrq"
    if op == "mrrc" and a[:2] == ["15", "1"] and a[4:] == ["cr14"]:
        return "cntvct"
    return None


def timer_unreadable(test, p, emu, exe):
    """Whether this emulator stops at the 32-bit timer reads with SIGILL, as a
    kernel that keeps the timer from programs does; checks the message then."""
    if not (p.returncode and emu and os.path.basename(emu[0]) == "qemu-arm"):
        return False
    p = subprocess.run([*emu, exe], capture_output=True, text=True, timeout=60)
    test.assertEqual((p.returncode, p.stdout, p.stderr), (1, "", UNREADABLE % exe))
    return True


class Output(unittest.TestCase):  # group: tickrate
    def test_a_lost_write_among_good_ones(self):
        emu, exe = opt.emu, opt.programs["tickrate"]
        # The first write is cut short by a file size limit, and the C
        # library's retry of the rest fails. The limit is lifted once the
        # kernel has counted both calls: watching the size alone raced the
        # retry on a busy machine. The next write is a second later.
        lifted = (resource.RLIM_INFINITY, resource.RLIM_INFINITY)

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (10, resource.RLIM_INFINITY))
        with tempfile.TemporaryFile(dir=folder(self)) as out:
            p = subprocess.Popen([*emu, exe], stdout=out, stderr=subprocess.PIPE, text=True,
                                 preexec_fn=limit)
            while p.poll() is None:
                try:
                    with open("/proc/%d/io" % p.pid) as io:
                        if int(re.search(r"syscw: (\d+)", io.read())[1]) >= 2:
                            break
                except PermissionError:  # it ended since: only root reads an ended one's
                    break
                time.sleep(0.01)
            if p.poll() is None:
                resource.prlimit(p.pid, resource.RLIMIT_FSIZE, lifted)
            err = p.communicate(timeout=60)[1]
            out.seek(0)
            written = out.read().decode()
        if timer_unreadable(self, p, emu, exe):
            return
        self.assertEqual((p.returncode, err), (1, WRITE_ERROR % exe))
        self.assertTrue(written.endswith(" Hz\n") and "Average: " in written, written)

    def test_one_run(self):
        emu, exe = opt.emu, opt.programs["tickrate"]
        # Traced under qemu, to see when each count is written.
        env = dict(os.environ, QEMU_STRACE="1") if emu else None
        p = subprocess.run([*emu, exe, "-x", "ignored"], capture_output=True, text=True,
                           timeout=60, env=env)
        if timer_unreadable(self, p, emu, exe):
            return
        self.assertEqual((p.returncode, "" if emu else p.stderr), (0, ""))
        # A sleep(1) is never shorter than a second, whatever rate the timer reports.
        self.assertIsNone(tickrate_wrong(p.stdout, 0.99, 3))
        if emu:  # each count is written before the next sleep, the average at the end
            calls = syscalls(p.stderr)
            events = "".join("W" if name == "write" and args[0] == "1" else
                             "S" if name in SLEEPS else ""
                             for name, args, _ in calls)
            self.assertEqual(events, "SW" * SAMPLES + "W")
            # Whole: the writes end where each count's line ends, then the output.
            ends = [m.end() for m in re.finditer("\n", p.stdout)][2:2 + SAMPLES] + [len(p.stdout)]
            written = [int(ret) for name, args, ret in calls if name == "write" and args[0] == "1"]
            self.assertEqual(list(itertools.accumulate(written)), ends)
            # Nothing else between the writes, and no sleep cut short.
            self.assertEqual(between_writes(calls, SLEEPS)[1], [])


class Barriers(unittest.TestCase):  # group: tickrate
    @classmethod
    def setUpClass(cls):
        cls.exe = opt.programs["tickrate"]
        cls.arch, cls.funcs = disassembly(opt.objdump, cls.exe)

    def test_isb_directly_before_every_timer_read(self):
        reads = {"cntfrq": 0, "cntvct": 0}
        for *_, listing in self.funcs:
            insns = code(self.arch, listing) if re.search(r"cnt(frq|vct)_el0|cr14", listing) else []
            for n, i in enumerate(insns):
                reg = timer_read(i.op, i.args)
                if reg:
                    reads[reg] += 1
                    self.assertTrue(n and insns[n - 1].op == "isb",
                                    "no isb before read %d of %s" % (reads[reg], reg))
        self.assertEqual(reads, {"cntfrq": 1, "cntvct": 2})

    def test_only_the_sleep_between_a_samples_counter_reads(self):
        """One call, to sleep, its argument, moves, the second read's barrier and stack
        accesses: nothing else is counted."""
        mains = [code(self.arch, listing) for _, name, listing in self.funcs if name == "main"]
        self.assertEqual(len(mains), 1)
        insns = mains[0]
        starts, ends, region = timed_region(self.arch, insns,
                                            lambda i: timer_read(i.op, i.args) == "cntvct")
        self.assertTrue(starts and ends, "no sample of two counter reads in main")
        calls, wrong = [], []
        for n in region:
            i = insns[n]
            kind = flow(self.arch, i)[0]
            why = off_limits(self.arch, insns, i)
            if not why and kind == "call":
                calls.append(callee(self.arch, self.funcs, self.exe, i))
                if calls[-1] != "sleep":
                    why = "a call to %s, not sleep" % (calls[-1] or "a stub that does not resolve")
            elif not why and kind != "next":
                why = "a branch"
            elif not why and not (re.fullmatch(r"movs?|mov[wtzkn]", re.sub(r"\.[nw]$", "", i.op))
                                  or i.op == "isb" and n + 1 in ends
                                  or access(self.arch, i, insns) == "stack"):
                why = "not the sleep's argument, a move, the barrier or a stack access"
            if why:
                wrong.append("%s: %s" % (said("main", i), why))
        if wrong:
            self.fail("\n".join(wrong))
        self.assertEqual(calls, ["sleep"])

