#!/usr/bin/env python3
"""Installs a build into a temporary prefix and, for a release build, packs its
archive; then runs the programs they hold.

usage: install_test.py --build DIR --cmake CMAKE [--cpack CPACK --archive NAME]
                       PROGRAM... [-- EMULATOR...]
"""
import argparse
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import unittest

from elf_test import load_aligns, needs, readelf
from latmeter_test import USAGE

REPACK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake", "repack.cmake")
opt = None


class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def check_runs(self, bindir):
        self.assertEqual(sorted(os.listdir(bindir)), sorted(opt.programs))
        exe = os.path.join(bindir, "latmeter")
        p = subprocess.run([*opt.emu, exe, "-h"], capture_output=True, text=True, timeout=60)
        self.assertEqual((p.returncode, p.stdout, p.stderr), (1, USAGE % exe, ""))


class Install(Case):
    def test_programs_in_bin_licences_in_the_docs_and_nothing_else(self):
        subprocess.run([opt.cmake, "--install", opt.build, "--prefix", "/usr"], check=True,
                       env=dict(os.environ, DESTDIR=self.tmp), stdout=subprocess.DEVNULL)
        docs = ["LICENSE"] + ["LGPL-2.1", "NOTICE"] * bool(opt.archive)  # the static builds'
        got = sorted(os.path.relpath(os.path.join(d, f), self.tmp)
                     for d, _, files in os.walk(self.tmp) for f in files)
        self.assertEqual(got, sorted(["usr/bin/" + p for p in opt.programs] +
                                     ["usr/share/doc/latmeter_tools/" + d for d in docs]))
        self.check_runs(os.path.join(self.tmp, "usr", "bin"))


class Archive(Case):
    def pack(self, into):
        subprocess.run([opt.cpack, "--config", os.path.join(opt.build, "CPackConfig.cmake"),
                        "-B", into], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(into, opt.archive + ".tar.gz"), "rb") as f:
            return f.read()

    def test_one_folder_of_static_stripped_programs_the_readme_and_licences(self):
        archive = self.pack(self.tmp)
        with tarfile.open(os.path.join(self.tmp, opt.archive + ".tar.gz")) as tar:
            members = tar.getmembers()
            tar.extractall(self.tmp)
        files = sorted(m.name for m in members if m.isfile())
        docs = ["LGPL-2.1", "LICENSE", "NOTICE", "README.md"]
        want = [opt.archive + "/" + f for f in docs + ["bin/" + p for p in opt.programs]]
        self.assertEqual(files, sorted(want))
        # The same bytes from the same commit, whoever packs it and whenever.
        self.assertEqual([m.name for m in members], sorted(m.name for m in members))
        self.assertEqual({(m.uid, m.gid) for m in members}, {(0, 0)})
        for program in opt.programs:
            os.utime(os.path.join(opt.build, program, program))
        self.assertEqual(self.pack(os.path.join(self.tmp, "again")), archive)
        bindir = os.path.join(self.tmp, opt.archive, "bin")
        for program in opt.programs:
            path = os.path.join(bindir, program)
            self.assertEqual(needs(path), ([], None), program)
            self.assertNotIn(".symtab", readelf("-S", path), program)
            self.assertGreaterEqual(min(load_aligns(path)), 65536, program)  # 16 and 64 KiB pages
        self.check_runs(bindir)

    def test_repacking_gives_owner_0_and_sorted_names(self):
        # Files of another owner, as a packer other than root would give:
        # root's own would hide an archive that keeps its packer's owner.
        path = os.path.join(self.tmp, "a.tar.gz")
        with tarfile.open(path, "w:gz") as tar:
            for name in ("d/b", "d/a"):
                info = tarfile.TarInfo(name)
                info.uid = info.gid = 65534
                tar.addfile(info, io.BytesIO())
        subprocess.run([opt.cmake, "-DCPACK_PACKAGE_FILES=" + path, "-P", REPACK], check=True)
        with tarfile.open(path) as tar:
            members = tar.getmembers()
        self.assertEqual([m.name for m in members], ["d", "d/a", "d/b"])
        self.assertEqual({(m.uid, m.gid) for m in members}, {(0, 0)})


def main():
    global opt
    args, emu = (sys.argv[1:], [])
    if "--" in args:
        args, emu = args[:args.index("--")], args[args.index("--") + 1:]
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--cmake", required=True)
    p.add_argument("--cpack")
    p.add_argument("--archive")
    p.add_argument("programs", nargs="+")
    opt = p.parse_args(args)
    opt.emu = emu
    cases = [Install] + [Archive] * bool(opt.archive)
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in cases)
    return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
