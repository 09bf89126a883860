#!/usr/bin/env python3
"""Installs a build into a temporary prefix and, for a release build, packs its
archive, or for a dynamic Arm build its Debian package; then runs the
programs they hold, and reads their manual pages.

With --release, once every preset is built: `make dist` as a user runs it,
unsigned, signed with a throwaway key, and with a key that cannot sign.

usage: install_test.py --build DIR --cmake CMAKE [--cpack CPACK]
                       [--archive NAME | --package FILE] PROGRAM... [-- EMULATOR...]
       install_test.py --release
"""
import argparse
import glob
import gzip
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

from elf_test import load_aligns, needs, readelf
from latmeter_test import PAUSE_MS, USAGE, not_here, run_cases

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
REPACK = os.path.join(TOP, "cmake", "repack.cmake")
CHECKSUMS = os.path.join(TOP, "cmake", "checksums.cmake")
MAN = "share/man/man1/%s.1.gz"
RUNNER = "share/latmeter-tools/latmeter-tools.sh"
DOC = "share/doc/latmeter-tools/"  # where cmake --install and the package put documents
GUIDE = "reading-the-figures.md"  # the one of docs/ that goes there too
ARM_APT = os.path.join(TOP, "build", "apt", "%s", "apt.conf")  # by architecture
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

    def check_notice(self, text, package):
        """It names the C library's version, and a source version that Debian's glibc has."""
        self.assertRegex(text, r"version \d+\.\d+, as Debian packages it for \w+ in\n%s " % package)
        self.assertRegex(text, r"`apt-get source glibc=\d+\.\d+-\d+(\+deb\d+u\d+)?`")

    def check_pages(self, prefix):
        """Lint clean, and latmeter's tells each option of the usage text with its
        defaults, in their order, and the pause the program makes."""
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
            self.assertRegex(items[short], r"(?s)\b%s\b" % r"\b.*\b".join(re.findall(r"\w+", default)),
                             short)
        self.assertRegex(text, r"pause\s+of\s+%d\s+ms" % PAUSE_MS)
        self.assertRegex(items["-h"], r"status\s+1\b")  # as check_runs finds it


class Install(Case):
    def test_programs_in_bin_licences_in_the_docs_and_nothing_else(self):
        subprocess.run([opt.cmake, "--install", opt.build, "--prefix", "/usr"], check=True,
                       env=dict(os.environ, DESTDIR=self.tmp), stdout=subprocess.DEVNULL)
        docs = ["LICENSE", GUIDE] + ["LGPL-2.1", "NOTICE"] * bool(opt.archive)  # the static builds'
        self.assertEqual(files(self.tmp), sorted(installed("usr/") + ["usr/" + DOC + d for d in docs]))
        self.check_runs(os.path.join(self.tmp, "usr", "bin"))
        self.check_pages(os.path.join(self.tmp, "usr"))

    def test_a_native_static_build_names_its_c_library_and_has_no_tests_without_testing(self):
        if opt.emu:
            self.skipTest("checked once, natively")
        build = os.path.join(self.tmp, "build")
        # A stray untracked file is no uncommitted change of the release's.
        with tempfile.NamedTemporaryFile(dir=TOP, prefix="stray-"):
            subprocess.run([opt.cmake, "-S", TOP, "-B", build, "-G", "Ninja", "-DTOOLS_STATIC=ON",
                            "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(build, "CPackConfig.cmake")) as f:
            version = re.search(r'CPACK_PACKAGE_VERSION "(.*)"', f.read())[1]
        changed = sh("git", "-C", TOP, "status", "--porcelain", "--untracked-files=no").stdout
        self.assertEqual(version.endswith("+dirty"), bool(changed), version)
        subprocess.run([opt.cmake, "--build", build], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([opt.cmake, "--install", build, "--component", "licences", "--prefix",
                        self.tmp], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.tmp, DOC, "NOTICE")) as f:
            self.check_notice(f.read(), "libc6-dev")
        self.assertTrue(os.path.exists(os.path.join(self.tmp, DOC, "LGPL-2.1")))
        self.assertFalse(os.path.exists(os.path.join(build, "tests")))  # nor its targets


def installed(prefix=""):
    """The programs, the board-lab script and the manual pages, under prefix."""
    return ([prefix + "bin/" + p for p in opt.programs] + [prefix + RUNNER] +
            [prefix + MAN % p for p in opt.programs])


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
        # What is committed: never a note or a backup beside it.
        docs = ["LGPL-2.1", "LICENSE", "NOTICE", "README.md"] + sh(
            "git", "ls-files", "docs", "HACKING.md", cwd=TOP, check=True).stdout.split()
        self.assertEqual(files(top), sorted(docs + installed()))
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
        with open(os.path.join(top, "NOTICE")) as f:
            self.check_notice(f.read(), "libc6-dev-\\w+-cross")
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
        # Signed only where no name is marked as built from uncommitted changes.
        clean = opt.packed.replace("+dirty", "")
        os.rename(os.path.join(dist, opt.packed), os.path.join(dist, clean))
        def sums(*sign_key):  # -D before -P, or cmake never sees it
            return [opt.cmake, "-DDIR=" + dist, *sign_key, "-P", CHECKSUMS]
        signed = sums("-DSIGN_KEY=" + key + ".sec")
        subprocess.run(signed, check=True)
        verify = ["signify-openbsd", "-C", "-p", key + ".pub", "-x", "SHA256SUMS.sig"]
        self.assertEqual(sh(*verify, cwd=dist).returncode, 0)
        self.assertEqual(sh("sha256sum", "-c", "SHA256SUMS", cwd=dist).returncode, 0)
        with open(os.path.join(dist, clean), "ab") as f:
            f.write(b"\0")
        self.assertNotEqual(sh(*verify, cwd=dist).returncode, 0)
        # New sums leave no signature of the old ones behind.
        subprocess.run(sums(), check=True)
        self.assertFalse(os.path.exists(os.path.join(dist, "SHA256SUMS.sig")))
        os.rename(os.path.join(dist, clean), os.path.join(dist, "x+dirty.tar.gz"))
        self.assertNotEqual(sh(*signed).returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(dist, "SHA256SUMS.sig")))


class Package(Packed):
    def test_debian_package(self):
        deb = self.pack(self.tmp)
        path = os.path.join(self.tmp, opt.packed)
        # The newest C library symbol version that the programs reference.
        newest = max((tuple(map(int, v.split("."))) for p in opt.programs for v in re.findall(
            r"Name: GLIBC_([\d.]+)", readelf("-V", os.path.join(opt.build, p, p)))))
        self.assertEqual(sh("dpkg-deb", "-f", path, "Depends", check=True).stdout,
                         "libc6 (>= %s)\n" % ".".join(map(str, newest)))
        tags = sh("lintian", path).stdout
        self.assertEqual([t for t in tags.splitlines() if t[:2] in ("E:", "W:")], [], tags)
        root = os.path.join(self.tmp, "root")
        sh("dpkg-deb", "-x", path, root, check=True)
        self.assertEqual(files(root), sorted(installed("usr/") + ["usr/" + DOC + d for d in (
            "changelog.gz", "copyright", GUIDE)]))
        with open(os.path.join(root, "usr", DOC, "copyright")) as f:
            self.assertNotRegex(f.read(), r"(?m)^[ \t]+$")
        self.check_runs(os.path.join(root, "usr", "bin"))
        self.check_same_again(deb)
        arch = sh("dpkg-deb", "-f", path, "Architecture", check=True).stdout.strip()
        if not os.path.exists(ARM_APT % arch):
            not_here(self, "no Arm package lists (make test fetches them): no simulated install")
        p = sh("apt-get", "install", "--simulate", path, env=dict(os.environ, APT_CONFIG=ARM_APT % arch))
        self.assertIn("Conf latmeter-tools:%s " % arch, p.stdout, p.stdout + p.stderr)


class Release(unittest.TestCase):
    """`make dist` as a user runs it, in a time zone far from UTC; then
    checked as the docs say. Uncommitted changes mark every file it writes,
    and are never signed."""

    def make_dist(self, *key):
        cmd = ["make", "-C", TOP, "--no-print-directory", "dist"] + ["SIGN_KEY=" + k for k in key]
        p = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, TZ="Asia/Kathmandu"))
        dist = os.path.join(TOP, "dist")
        return p, dist, sorted(os.listdir(dist)) if os.path.isdir(dist) else []

    def test_dist_unsigned_signed_and_refused(self):
        dirty = bool(sh("git", "status", "--porcelain", "--untracked-files=no", cwd=TOP).stdout)
        commit = int(sh("git", "log", "-1", "--format=%ct", cwd=TOP, check=True).stdout)
        p, dist, written = self.make_dist()
        self.assertEqual(p.returncode, 0, p.stderr)
        packed = [f for f in written if f != "SHA256SUMS"]
        self.assertEqual(len(packed), 5, written)  # the source release too
        self.assertEqual({"+dirty" in f for f in packed}, {dirty}, written)
        self.assertEqual(sh("sha256sum", "-c", "SHA256SUMS", cwd=dist).returncode, 0)
        for deb in glob.glob(os.path.join(dist, "*.deb")):
            with tempfile.TemporaryDirectory() as root:
                sh("dpkg-deb", "-x", deb, root, check=True)
                with gzip.open(os.path.join(root, "usr", DOC, "changelog.gz"), "rt") as f:
                    self.assertIn(time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(commit)),
                                  f.read().splitlines()[-1])
        with tempfile.TemporaryDirectory() as tmp:
            key = os.path.join(tmp, "a key", "release")
            os.mkdir(os.path.dirname(key))
            sh("signify-openbsd", "-G", "-n", "-p", key + ".pub", "-s", key + ".sec", check=True)
            p, dist, written = self.make_dist(key + ".sec")
            if dirty:
                self.assertNotEqual(p.returncode, 0)
                self.assertIn("uncommitted changes", p.stderr)
                self.assertNotIn("SHA256SUMS.sig", written)
            else:
                self.assertEqual(p.returncode, 0, p.stderr)
                archives = [f for f in written if f.endswith(".tar.gz")]
                verify = sh("signify-openbsd", "-C", "-p", key + ".pub", "-x", "SHA256SUMS.sig",
                            *archives, cwd=dist)
                self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            p, dist, written = self.make_dist(key + ".pub")
            self.assertNotEqual(p.returncode, 0)
            self.assertNotIn("SHA256SUMS.sig", written)

    def test_what_the_commands_install(self):
        """cmake/packages.sh's choices, by the real dpkg-query and apt-cache
        on a package database of the test's own."""
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "status"), "w") as f:
                for name in ("g++-12", "cmake-data", "ninja-build", "linux-image-6.9.2-arm64-16k",
                             "linux-image-6.12.1-arm64-16k", "linux-image-6.1.0-9-arm64-16k"):
                    f.write("Package: %s\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n"
                            "Maintainer: x <x@example.org>\nDescription: x\n\n" % name)
            with open(os.path.join(tmp, "apt.conf"), "w") as f:
                f.write('Dir::State::status "{0}/status"; Dir::State::Lists "{0}"; Dir::Cache "{0}"; '
                        'Dir::Etc::SourceList "/dev/null"; Dir::Etc::SourceParts "{0}";\n'.format(tmp))
            env = dict(os.environ, DPKG_ADMINDIR=tmp, APT_CONFIG=os.path.join(tmp, "apt.conf"))
            script = ["sh", os.path.join(TOP, "cmake", "packages.sh")]
            # A package is installed by its whole name, not by another's that holds it.
            self.assertEqual(sh(*script, "missing", "run", env=env).stdout.split(), ["g++", "cmake"])
            self.assertEqual(sh(*script, "newest", "^linux-image-.*-16k$", env=env).stdout.split(),
                             ["linux-image-%s-arm64-16k" % v for v in ("6.12.1", "6.9.2", "6.1.0-9")])


def main():
    global opt
    if sys.argv[1:] == ["--release"]:
        return run_cases(Release)
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
    return run_cases(Install, *[Archive] * bool(opt.archive), *[Package] * bool(opt.package))


if __name__ == "__main__":
    sys.exit(main())
