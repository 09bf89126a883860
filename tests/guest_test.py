#!/usr/bin/env python3
"""Runs a build's programs on a real Debian Arm kernel under qemu-system, and checks them.

usage: guest_test.py --kernel arm64|armhf|arm64-16k --bits N --init INIT [--board BOARD]
                     [--image KERNEL] [--build NAME]
                     [--sysroot DIR] [--sandbox APP_SANDBOX] [--extra 'PROGRAM ARG...']...
                     LATMETER [TICKRATE]

One boot runs the whole batch, under -icount: the guest's clock counts
executed instructions, so latmeter's figures are instruction counts that
repeat from run to run, and a sleep takes no real time. With --sandbox, every
case runs a second time under Android's app filter. --extra adds command
lines whose output is shown, not checked. A faulty board is qemu's own
with one property added to its timer node; it runs only the cases that show
its fault.
"""
import argparse
import os
import re
import shlex
import stat
import subprocess
import sys
import tempfile
import unittest
from collections import namedtuple

from elf_test import needs
from latmeter_test import FULL, NO_CLOCK, NO_TIMESTAMPS, USAGE, Case, long_max, parse, run_cases
from tickrate_test import check_output


def newest_images():
    """The images of the newest Debian installer here, whose own Arm kernels the guests boot."""
    top = "/usr/lib/debian-installer/images/"
    found = sorted((d for d in os.listdir(top) if d.isdigit()), key=int) if os.path.isdir(top) else []
    return top + (found[-1] if found else "none") + "/"


IMAGES = newest_images()
# What `make test` fetches from Debian's arm64 packages.
FETCHED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "fetched")
KERNELS = {
    "arm64": ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a53",
              "-kernel", IMAGES + "arm64/text/debian-installer/arm64/linux"],
    "armhf": ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15",
              "-kernel", IMAGES + "armhf/text/debian-installer/armhf/vmlinuz"],
    # 16 KiB pages, a granule that cortex-a53 lacks; fetched by `make test`.
    "arm64-16k": ["qemu-system-aarch64", "-M", "virt", "-cpu", "max",
                  "-kernel", os.path.join(FETCHED, "vmlinuz-arm64-16k")],
}
QEMU = ["-m", "512", "-nographic", "-no-reboot", "-nic", "none", "-icount", "shift=0,sleep=off",
        "-append", "console=ttyAMA0 rdinit=/init panic=-1 loglevel=1"]
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
REFUSED = "/latmeter: system call %d refused by the system call filter\n"
MUNMAP = {64: 215, 32: 91}  # its number, by the width of long
# Where a 32-bit C library finds no vDSO clock, it asks for the 64-bit-time
# call first, which older Android releases refuse.
REFUSED_CLOCK = ("%s: the system call filter refused clock_gettime64: each of the C "
                 "library's clock reads, and each timestamp of the measurements, included a "
                 "refused call\n")
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
WRONG_HZ = 50000000
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
opt = None
results = {}  # case name: (status, standard output, standard error)


def cpio(entries):
    """An uncompressed newc archive of (name, mode, data, device) entries."""
    blob = b""
    for i, (name, mode, data, dev) in enumerate(entries + [("TRAILER!!!", 0, b"", 0)]):
        fields = (i + 1, mode, 0, 0, 1, 0, len(data), 0, 0, dev >> 8, dev & 255, len(name) + 1, 0)
        blob += b"070701" + b"".join(b"%08X" % f for f in fields) + name.encode() + b"\0"
        blob += b"\0" * (-len(blob) % 4) + data
        blob += b"\0" * (-len(blob) % 4)
    return blob


def initramfs(batch):
    """The init, the programs, and for a dynamic build its loader and libraries."""
    def file(path, name, mode=0o755):
        with open(path, "rb") as f:
            return (name, stat.S_IFREG | mode, f.read(), 0)
    entries = [("dev", stat.S_IFDIR | 0o755, b"", 0), ("proc", stat.S_IFDIR | 0o755, b"", 0),
               ("dev/console", stat.S_IFCHR | 0o600, b"", 5 << 8 | 1), file(opt.init, "init"),
               ("batch", stat.S_IFREG | 0o644, batch.encode(), 0)]
    libs = set()
    if opt.sandbox:
        entries.append(file(opt.sandbox, "app_sandbox"))
    for name, path in opt.programs.items():
        entries.append(file(path, name))
        needed, interp = needs(path)
        libs.update(["/lib/" + lib for lib in needed] + ([interp] if interp else []))
    if libs:
        entries.append(("lib", stat.S_IFDIR | 0o755, b"", 0))
    for lib in sorted(libs):
        entries.append(file(os.path.join(opt.sysroot, lib.lstrip("/")), lib.lstrip("/")))
    return cpio(entries)


def frames(console):
    """{case number: (status, out, err)} from the framed console output."""
    found, pos = {}, console.find(b"@@case ")
    while pos >= 0 and console.startswith(b"@@case ", pos):
        end = console.index(b"\n", pos)
        number, how, value = console[pos + 7:end].split()
        pos, parts = end + 1, []
        for label in (b"out", b"err"):
            m = re.compile(rb"@@%s (\d+)\n" % label).match(console, pos)
            size = int(m[1])
            parts.append(console[m.end():m.end() + size].decode(errors="replace"))
            pos = m.end() + size
        status = int(value) if how == b"exit" else -int(value)
        found[int(number)] = (status, *parts)
    return found


def faulty_dtb(cmd, prop, path):
    """Writes qemu's device tree for this machine to path, with prop added to its timer node."""
    machine = cmd.index("virt")
    dump = cmd[:machine] + ["virt,dumpdtb=" + path] + cmd[machine + 1:]
    subprocess.run(dump, stdin=subprocess.DEVNULL, capture_output=True, check=True)
    dts = subprocess.run(["dtc", "-q", "-I", "dtb", "-O", "dts", path], capture_output=True,
                         text=True, check=True).stdout
    dts, found = re.subn(r"^(\s*)timer \{\n", lambda m: m[0] + m[1] + "\t" + prop + "\n", dts,
                         flags=re.M)
    assert found == 1, "no single timer node"
    subprocess.run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", path], input=dts, text=True,
                   check=True)
    return path


def boot(cases):
    """Boots once, runs every case, and returns {name: (status, out, err)}."""
    lines = ["\t".join([out, "/" + prog, *args]) for out, prog, args in cases.values()]
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "initramfs.cpio")
        with open(image, "wb") as f:
            f.write(initramfs("\n".join(lines) + "\n"))
        cmd = KERNELS[opt.kernel] + QEMU
        if opt.image:
            cmd[cmd.index("-kernel") + 1] = opt.image
        prop = opt.board.timer.get(opt.kernel)
        if prop:
            cmd += ["-dtb", faulty_dtb(cmd, prop, os.path.join(tmp, "board.dtb"))]
        p = subprocess.run(cmd + ["-initrd", image], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=300)
    got = frames(p.stdout)
    if b"@@done %d\n" % len(lines) not in p.stdout or len(got) != len(lines):
        sys.exit("the guest did not run its batch:\n" + p.stdout.decode(errors="replace")[-3000:]
                 + p.stderr.decode(errors="replace"))
    return {name: got[i] for i, name in enumerate(cases)}


class Runs:
    prefix = ""

    def got(self, name):
        if self.prefix + name not in results:
            self.skipTest("not run on this board")
        return results[self.prefix + name]

    def check_write_error(self, program):
        status, _, err = self.got(program + "_full")
        self.assertEqual((status, err), (1, FULL % ("/" + program)))


class Latmeter(Runs, Case):
    program = "latmeter"

    def result(self, name, dots, err=""):
        """The figures of a run of both sections, which must succeed."""
        status, out, got_err = self.got(name)
        self.assertEqual((status, got_err), (0, err), out)
        return self.figures(out, ["time", "file"], dots)

    def test_usage(self):
        self.assertEqual(self.got("help"), (1, USAGE % "/latmeter", ""))

    def test_edge_figures(self):
        self.assertEqual(self.result("no_rounds", 0), [long_max(opt.bits)] * 4)
        self.assertEqual(self.result("zero_calls", 2), [0] * 4)

    def refused_clock(self):
        """What a 32-bit app says at exit where its C library finds no vDSO clock."""
        no_vdso_clock = self.prefix and opt.bits == 32 and opt.board_name == "no-vdso"
        return REFUSED_CLOCK % "/latmeter" if no_vdso_clock else ""

    def test_libc_against_syscall(self):
        syscall, libc, _, _ = self.result("measure", 4, self.refused_clock())
        low, high = opt.board.libc
        self.assertTrue(low * syscall <= libc < high * syscall, (syscall, libc))

    def test_write_error(self):
        self.check_write_error("latmeter")


class Tickrate(Runs, unittest.TestCase):
    program = "tickrate"

    def test_counts_match_the_reported_frequency(self):
        status, out, err = self.got("tickrate")
        self.assertEqual((status, err), (0, ""))
        check_output(self, out, *opt.board.counts, opt.board.rate)

    def test_write_error(self):
        self.check_write_error("tickrate")


class AppLatmeter(Latmeter):
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
        if opt.board_name == "no-vdso":
            said += NO_TIMESTAMPS % ("/latmeter", NOT_IMPLEMENTED) + self.refused_clock()
        self.assertEqual((status, err), (1, said), out)
        self.figures(out, ["file"] * (opt.board_name != "no-vdso"), 4)

    def test_entry_point_answers(self):
        # Its one line at exit says that the 64-bit-time clock was refused.
        said = REFUSED_CLOCK % "/app_sandbox" if opt.bits == 32 else ""
        expected = "".join(ANSWER % answer for answer in ANSWERS[opt.bits])
        self.assertEqual(self.got("probe"), (0, expected, said))

    def test_refused_call_ends_with_its_number(self):
        self.assertEqual(self.got("refused"), (1, "", REFUSED % MUNMAP[opt.bits]))


class AppTickrate(Tickrate):
    prefix = APP


def main():
    global opt, results
    p = argparse.ArgumentParser()
    p.add_argument("--kernel", choices=KERNELS, required=True)
    p.add_argument("--bits", type=int, required=True)
    p.add_argument("--build", default="this")
    p.add_argument("--init", required=True)
    p.add_argument("--board", choices=BOARDS, default="healthy")
    p.add_argument("--image", help="another kernel of this architecture to boot")
    p.add_argument("--sysroot", default="/")
    p.add_argument("--sandbox")
    p.add_argument("--extra", action="append", default=[])
    p.add_argument("latmeter")
    p.add_argument("tickrate", nargs="?")
    opt = p.parse_args()
    opt.board_name, opt.board = opt.board, BOARDS[opt.board]
    opt.programs = {"latmeter": opt.latmeter}
    if opt.tickrate:
        opt.programs["tickrate"] = opt.tickrate
    as_app = bool(opt.sandbox)
    runs = {**opt.programs, "app_sandbox": as_app}
    cases = {k: CASES[k] for k in opt.board.cases if runs.get(CASES[k][1])}
    if as_app:  # on a faulty board, the clock reads alone: they are what its fault changes
        cases.update({APP + k: (out, "app_sandbox", ["/" + prog, *args])
                      for k, (out, prog, args) in cases.items()
                      if prog != "app_sandbox" and (k == "measure" or not opt.board.timer)})
    for i, line in enumerate(opt.extra):
        prog, *args = shlex.split(line)
        cases["extra %d" % i] = ("/out", prog, args)
    results = boot(cases)
    for i, line in enumerate(opt.extra):
        status, out, err = results["extra %d" % i]
        print("$ %s\n%s%sstatus %d\n" % (line, out, err, status))
    for prefix in ["", APP] if as_app else [""]:
        sections = "measure" in opt.board.cases and parse(results[prefix + "measure"][1],
                                                          ["time", "file"])
        if sections:
            print("instructions per call, %s build on the %s kernel%s%s: syscall %d, libc %d, "
                  "mmap %d, read %d" % (opt.build, opt.kernel, ", as an app" if prefix else "",
                                        ", " + opt.board_name if opt.board.timer else "",
                                        *(f for _, fs in sections for f in fs)))

    classes = [Latmeter, Tickrate] + [AppLatmeter, AppTickrate] * bool(as_app)
    return run_cases(*[c for c in classes if c.program in opt.programs])


if __name__ == "__main__":
    sys.exit(main())
