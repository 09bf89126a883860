#!/usr/bin/env python3
"""Tests of a built tickrate: its output, and the barrier before each timer read.

usage: tickrate_test.py Output EXE [EMULATOR...]
       tickrate_test.py Barriers EXE OBJDUMP
"""
import re
import subprocess
import sys
import unittest

QEMU_HZ = 62500000
argv = sys.argv[2:]


class Output(unittest.TestCase):
    def test_one_run(self):
        emu, exe = argv[1:], argv[0]
        p = subprocess.run([*emu, exe, "-x", "ignored"], capture_output=True, text=True,
                           timeout=60)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        lines = p.stdout.split("\n")
        self.assertEqual(len(lines), 20, p.stdout)  # nineteen, and the last one's newline
        reported = int(re.fullmatch(r"Reported generic timer frequency: (\d+) Hz", lines[0])[1])
        if emu:
            self.assertEqual(reported, QEMU_HZ)
        self.assertEqual(lines[1], "Measured generic timer frequency:")
        counts = [int(re.fullmatch(r"(\d+) Hz", line)[1]) for line in lines[2:17]]
        for count in counts:  # a sleep(1) is never shorter than a second
            self.assertTrue(0.99 * reported <= count <= 3 * reported, counts)
        self.assertEqual(lines[17:], ["", "Average: %.1f Hz" % (sum(counts) / 15), ""])


class Barriers(unittest.TestCase):
    def test_isb_directly_before_every_timer_read(self):
        exe, objdump = argv
        asm = subprocess.run([objdump, "-d", "--no-show-raw-insn", exe], capture_output=True,
                             text=True, check=True).stdout
        insns = re.findall(r"^ *[0-9a-f]+:\t(\S+)[ \t]*(.*)$", asm, re.M)
        reads = {"cntfrq_el0": 0, "cntvct_el0": 0}
        for i, (op, args) in enumerate(insns):
            reg = args.split(",")[-1].strip()
            if op == "mrs" and reg in reads:
                reads[reg] += 1
                self.assertEqual(insns[i - 1][0], "isb", "no isb before read %d of %s" % (
                    reads[reg], reg))
        self.assertEqual(reads, {"cntfrq_el0": 1, "cntvct_el0": 2})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:2], verbosity=2)
