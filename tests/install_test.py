#!/usr/bin/env python3
"""Installs a build into a temporary prefix and, for a release build, packs its
archive, or for a dynamic Arm build its Debian package; then runs the
programs they hold, and reads their manual pages.

usage: install_test.py --build DIR --cmake CMAKE [--cpack CPACK]
                       [--archive NAME | --package FILE] PROGRAM... [-- EMULATOR...]
"""
import argparse
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from elf_test import load_aligns, needs, readelf
from latmeter_test import USAGE

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
REPACK = os.path.join(TOP, "cmake", "repack.cmake")
CHECKSUMS = os.path.join(TOP, "cmake", "checksums.cmake")
MAN = "share/man/man1/%s.1.gz"
ARM_APT = os.path.join(TOP, "build", "apt", "apt.conf")
opt = None


def sh(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


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

    def check_pages(self, prefix):
        """Lint clean, and latmeter's tells each option of the usage text with its defaults."""
        for program in opt.programs:
            page = os.path.join(prefix, MAN % program)
            lint = sh("mandoc", "-T", "lint", "-W", "warning", page)
            self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""), page)
        text = re.sub(".\b", "", sh("mandoc", "-T", "ascii", os.path.join(prefix, MAN % "latmeter"),
                                      check=True).stdout)
        items = {m[1]: p for p in text.split("\n\n") for m in [re.match(r"\s+(-\w)\b", p)] if m}
        for short, long, default in re.findall(r"^  (-\w), (--\w+)\t[^(\n]*(?:\(default: (.*)\))?$",
                                               USAGE, re.M):
            self.assertIn(long, items.get(short, ""), short)
            for word in re.findall(r"\w+", default):
                self.assertRegex(items[short], r"\b%s\b" % word, short)


class Install(Case):
    def test_programs_in_bin_licences_in_the_docs_and_nothing_else(self):
        subprocess.run([opt.cmake, "--install", opt.build, "--prefix", "/usr"], check=True,
                       env=dict(os.environ, DESTDIR=self.tmp), stdout=subprocess.DEVNULL)
        docs = ["LICENSE"] + ["LGPL-2.1", "NOTICE"] * bool(opt.archive)  # the static builds'
        self.assertEqual(files(self.tmp), sorted(["usr/bin/" + p for p in opt.programs] +
                                                 ["usr/" + MAN % p for p in opt.programs] +
                                                 ["usr/share/doc/latmeter_tools/" + d for d in docs]))
        self.check_runs(os.path.join(self.tmp, "usr", "bin"))
        self.check_pages(os.path.join(self.tmp, "usr"))

    def test_a_native_static_build_names_its_c_library_and_has_no_tests_without_testing(self):
        if opt.emu:
            self.skipTest("checked once, natively")
        build = os.path.join(self.tmp, "build")
        subprocess.run([opt.cmake, "-S", TOP, "-B", build, "-G", "Ninja", "-DTOOLS_STATIC=ON",
                        "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([opt.cmake, "--install", build, "--component", "licences", "--prefix",
                        self.tmp], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.tmp, "share", "doc", "latmeter_tools", "NOTICE")) as f:
            self.assertRegex(f.read(), r"version \d+\.\d+, as Debian packages it for \w+ in\nlibc6-dev ")
        self.assertTrue(os.path.exists(os.path.join(self.tmp, "share", "doc", "latmeter_tools", "LGPL-2.1")))
        self.assertFalse(os.path.exists(os.path.join(build, "tests")))  # nor its targets


def files(top):
    """Every file below top, relative to it, sorted."""
    return sorted(os.path.relpath(os.path.join(d, f), top) for d, _, fs in os.walk(top) for f in fs)


class Packed(Case):
    """What CPack writes from this build: an archive or a Debian package."""

    def pack(self, into):
        """Packs, as a packer whose files are group-writable would."""
        subprocess.run([opt.cpack, "--config", os.path.join(opt.build, "CPackConfig.cmake"),
                        "-B", into], check=True, stdout=subprocess.DEVNULL,
                       preexec_fn=lambda: os.umask(0o002))
        shutil.rmtree(os.path.join(into, "_CPack_Packages"))
        with open(os.path.join(into, opt.packed), "rb") as f:
            return f.read()

    def check_same_again(self, packed):
        """The same bytes from the same commit, whoever packs it and whenever."""
        for program in opt.programs:
            os.utime(os.path.join(opt.build, program, program))
        self.assertEqual(self.pack(os.path.join(self.tmp, "again")), packed)


class Archive(Packed):
    def test_one_folder_of_static_stripped_programs_pages_readme_docs_and_licences(self):
        archive = self.pack(self.tmp)
        with tarfile.open(os.path.join(self.tmp, opt.packed)) as tar:
            members = tar.getmembers()
            tar.extractall(self.tmp)
        top = os.path.join(self.tmp, opt.archive)
        docs = ["LGPL-2.1", "LICENSE", "NOTICE", "README.md"] + ["docs/" + d for d in os.listdir(
            os.path.join(TOP, "docs"))]
        self.assertEqual(files(top), sorted(docs + ["bin/" + p for p in opt.programs] +
                                            [MAN % p for p in opt.programs]))
        self.assertEqual([m.name for m in members], sorted(m.name for m in members))
        self.assertEqual({(m.uid, m.gid) for m in members}, {(0, 0)})
        self.check_same_again(archive)
        for program in opt.programs:
            path = os.path.join(top, "bin", program)
            self.assertEqual(needs(path), ([], None), program)
            self.assertNotIn(".symtab", readelf("-S", path), program)
            self.assertGreaterEqual(min(load_aligns(path)), 65536, program)  # 16 and 64 KiB pages
        self.check_runs(os.path.join(top, "bin"))
        self.check_pages(top)
        with open(os.path.join(top, "README.md")) as f:  # its links lead somewhere there too
            for link in re.findall(r"\]\((?!\w+:)([^)#]+)", f.read()):
                self.assertTrue(os.path.exists(os.path.join(top, link)), link)

    def test_repacking_gives_owner_0_sorted_names_and_modes_from_no_umask(self):
        # Files of another owner, as a packer other than root would give:
        # root's own would hide an archive that keeps its packer's owner.
        path = os.path.join(self.tmp, "a.tar.gz")
        with tarfile.open(path, "w:gz") as tar:
            for name, mode in (("d/b", 0o666), ("d/a", 0o700)):
                info = tarfile.TarInfo(name)
                info.uid = info.gid = 65534
                info.mode = mode
                tar.addfile(info, io.BytesIO())
        subprocess.run([opt.cmake, "-DCPACK_PACKAGE_FILES=" + path, "-P", REPACK], check=True)
        with tarfile.open(path) as tar:
            members = tar.getmembers()
        self.assertEqual([(m.name, m.mode) for m in members],
                         [("d", 0o755), ("d/a", 0o755), ("d/b", 0o644)])
        self.assertEqual({(m.uid, m.gid) for m in members}, {(0, 0)})

    def test_signed_checksums(self):
        dist = os.path.join(self.tmp, "dist")
        self.pack(dist)
        key = os.path.join(self.tmp, "key")
        sh("signify-openbsd", "-G", "-n", "-p", key + ".pub", "-s", key + ".sec", check=True)
        subprocess.run([opt.cmake, "-DDIR=" + dist, "-DSIGN_KEY=" + key + ".sec", "-P", CHECKSUMS],
                       check=True)
        verify = ["signify-openbsd", "-C", "-p", key + ".pub", "-x", "SHA256SUMS.sig"]
        self.assertEqual(sh(*verify, cwd=dist).returncode, 0)
        self.assertEqual(sh("sha256sum", "-c", "SHA256SUMS", cwd=dist).returncode, 0)
        with open(os.path.join(dist, opt.packed), "ab") as f:
            f.write(b"\0")
        self.assertNotEqual(sh(*verify, cwd=dist).returncode, 0)


class Package(Packed):
    def test_debian_package(self):
        deb = self.pack(self.tmp)
        path = os.path.join(self.tmp, opt.packed)
        self.assertRegex(sh("dpkg-deb", "-f", path, "Depends", check=True).stdout,
                         r"^libc6 \(>= 2\.\d+\)\n$")
        tags = sh("lintian", path).stdout
        self.assertEqual([t for t in tags.splitlines() if t[:2] in ("E:", "W:")], [], tags)
        root = os.path.join(self.tmp, "root")
        sh("dpkg-deb", "-x", path, root, check=True)
        self.assertEqual(files(root), sorted(["usr/bin/" + p for p in opt.programs] +
                                             ["usr/" + MAN % p for p in opt.programs] +
                                             ["usr/share/doc/latmeter-tools/" + d
                                              for d in ("changelog.gz", "copyright")]))
        self.check_runs(os.path.join(root, "usr", "bin"))
        self.check_same_again(deb)
        arch = sh("dpkg-deb", "-f", path, "Architecture", check=True).stdout.strip()
        if not os.path.exists(ARM_APT):
            self.skipTest("no Arm package lists (make test fetches them): no simulated install")
        p = sh("apt-get", "install", "--simulate", path, env=dict(os.environ, APT_CONFIG=ARM_APT))
        self.assertIn("Conf latmeter-tools:%s " % arch, p.stdout, p.stdout + p.stderr)


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
    p.add_argument("--package")
    p.add_argument("programs", nargs="+")
    opt = p.parse_args(args)
    opt.emu = emu
    opt.packed = opt.package or opt.archive and opt.archive + ".tar.gz"
    cases = [Install] + [Archive] * bool(opt.archive) + [Package] * bool(opt.package)
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in cases)
    return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
