#!/usr/bin/env python3
"""Installs a build into a temporary prefix and, for a release build, packs its
archive, or for a dynamic Arm build its Debian package; then runs the
programs they hold, and reads their manual pages.

Release: the whole release, as a user makes it, twice from nothing in two
clones of the checkout; then again from its source release, where no git
has anything to say; and what the two commands need, with apt or without.
"""
import concurrent.futures
import filecmp
import gzip
import io
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import time
import unittest

from elf import needs, readelf
from harness import (PACKAGES, TOP, bare_path, base_commands, clone, folder, not_here, opt, sh,
                     work_commit)
from promises import PAGE_NUMBERS, SMALL, USAGE, parse

REPACK = os.path.join(TOP, "cmake", "repack.cmake")
CHECKSUMS = os.path.join(TOP, "cmake", "checksums.cmake")
MAN = "share/man/man1/%s.1.gz"
RUNNER = "share/latmeter-tools/latmeter-tools.sh"
DOC = "share/doc/latmeter-tools/"  # where cmake --install and the package put documents
GUIDE = "reading-the-figures.md"  # the one of docs/ that goes there too
ARM_APT = os.path.join(TOP, "build", "apt", "%s", "apt.conf")  # by architecture
ARM_CXX = "arm-linux-gnueabihf-g++"


class Case(unittest.TestCase):
    def setUp(self):
        self.tmp = folder(self)
        opt.packed = opt.package or opt.archive and opt.archive + ".tar.gz"

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
        self.assertRegex(items["-h"], r"status\s+1\b")  # as check_runs finds it
        # Every number a page takes from the sources, as the programs use it.
        for program in opt.programs:
            with open(os.path.join(TOP, program, program + ".1.in")) as f:
                template = f.read()
            with gzip.open(os.path.join(prefix, MAN % program), "rt") as f:
                got = re.fullmatch(re.sub(r"@\w+@", "(.*?)", re.escape(template)), f.read(), re.S)
            self.assertTrue(got, program)
            for name, value in zip(re.findall(r"@(\w+)@", template), got.groups()):
                if name not in ("MAN_DATE", "TOOLS_VERSION"):
                    self.assertEqual(value, str(PAGE_NUMBERS[name]), (program, name))


class Install(Case):  # group
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

    def test_names_come_from_the_compilers_target_not_from_this_machine(self):
        """An Arm compiler alone, no toolchain file, on this machine: GCC's 32-bit one and
        Clang for each Arm target. The archive, and the C library's package that it
        links, are the target's."""
        if opt.emu:
            self.skipTest("checked once, natively")
        for cxx, target, arch, deb in ((ARM_CXX, "", "armv7", "armhf"),
                                       ("clang++", "aarch64-linux-gnu", "aarch64", "arm64"),
                                       ("clang++", "arm-linux-gnueabihf", "armv7", "armhf")):
            build = folder(self)
            flags = ["-DCMAKE_CXX_COMPILER_TARGET=" + target, "-DCMAKE_CXX_FLAGS=-march=armv7-a"
                     * (arch == "armv7")] if target else []
            sh(opt.cmake, "-S", TOP, "-B", build, "-G", "Ninja", "-DTOOLS_STATIC=ON",
               "-DBUILD_TESTING=OFF", "-DCMAKE_CXX_COMPILER=" + cxx, *flags, check=True)
            with open(os.path.join(build, "CPackConfig.cmake")) as f:
                self.assertIn('-linux-%s")' % arch, f.read(), cxx)
            with open(os.path.join(build, "NOTICE")) as f:
                self.assertIn(" for %s in\nlibc6-dev-%s-cross " % (deb, deb), f.read(), cxx)

    def test_the_packagers_recipe_with_debians_flags(self):
        """HACKING.md's build from the source release, natively and for each Arm
        target, with the flags dpkg-buildflags gives, which make some warnings errors."""
        if opt.emu:
            self.skipTest("checked once, natively")
        for toolchain, arch in (("", "amd64"), ("aarch64", "arm64"), ("armhf", "armhf")):
            flags = {v: sh("dpkg-buildflags", "--get", v, env=dict(os.environ, DEB_HOST_ARCH=arch),
                           check=True).stdout.strip() for v in ("CXXFLAGS", "CPPFLAGS", "LDFLAGS")}
            flags["CXXFLAGS"] += " " + flags.pop("CPPFLAGS")  # which CMake does not read
            build = folder(self)
            tool = ["--toolchain", os.path.join(TOP, "cmake", toolchain + ".cmake")] * bool(toolchain)
            for step in (["-S", TOP, "-B", build, "-DBUILD_TESTING=OFF", *tool], ["--build", build]):
                p = sh(opt.cmake, *step, env=dict(os.environ, **flags))
                self.assertEqual(p.returncode, 0, (arch, p.stdout[-3000:], p.stderr[-3000:]))


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


class Archive(Packed):  # group: static
    def test_one_folder_of_static_stripped_programs_pages_readme_docs_and_licences(self):
        self.pack(self.tmp)
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
        for program in opt.programs:
            path = os.path.join(top, "bin", program)
            self.assertEqual(needs(path), ([], None), program)
            self.assertNotIn(".symtab", readelf("-S", path), program)
        self.check_runs(os.path.join(top, "bin"))
        self.check_pages(top)
        with open(os.path.join(top, "NOTICE")) as f:
            self.check_notice(f.read(), "libc6-dev-\\w+-cross")
        with open(os.path.join(top, "README.md")) as f:  # its links lead somewhere there too
            for link in re.findall(r"\]\((?!\w+:)([^)#]+)", f.read()):
                self.assertTrue(os.path.exists(os.path.join(top, link)), link)

    def test_programs_start_at_the_app_entry_point_with_link_time_optimisation_too(self):
        """Each program starts at its own entry point, and so does one linked with link-time
        optimisation, which does not see the calls that the entry point's assembly makes."""
        with open(os.path.join(opt.build, "CMakeCache.txt")) as f:
            toolchain = re.search(r"^CMAKE_TOOLCHAIN_FILE:\w+=(.*)$", f.read(), re.M)[1]
        lto = os.path.join(self.tmp, "lto")
        subprocess.run([opt.cmake, "-S", TOP, "-B", lto, "-G", "Ninja", "--toolchain", toolchain,
                        "-DTOOLS_STATIC=ON", "-DTOOLS_WERROR=ON", "-DBUILD_TESTING=OFF",
                        "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([opt.cmake, "--build", lto, "--target", "latmeter"], check=True,
                       stdout=subprocess.DEVNULL)
        for exe in [os.path.join(opt.build, p, p) for p in opt.programs] + [
                os.path.join(lto, "latmeter", "latmeter")]:
            entry = int(re.search(r"Entry point address:\s+(\w+)", readelf("-h", exe))[1], 16)
            start = re.findall(r"^\s*\d+: ([0-9a-f]+) +\d+ FUNC +GLOBAL .* app_start$",
                               readelf("-s", exe), re.M)
            self.assertEqual([entry], [int(a, 16) for a in start], exe)

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


class Package(Packed):  # group: dynamic cross
    def test_debian_package(self):
        self.pack(self.tmp)
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
        arch = sh("dpkg-deb", "-f", path, "Architecture", check=True).stdout.strip()
        if not os.path.exists(ARM_APT % arch):
            not_here(self, "no Arm package lists (make test fetches them): no simulated install")
        p = sh("apt-get", "install", "--simulate", path, env=dict(os.environ, APT_CONFIG=ARM_APT % arch))
        self.assertIn("Conf latmeter-tools:%s " % arch, p.stdout, p.stdout + p.stderr)


# The tested commit's time: 01:46 UTC, the day before in Honolulu, where one
# of the two releases is made.
COMMIT_TIME = 1000000000
ZONES = ["Pacific/Honolulu", "Asia/Kathmandu"]


def make(tree, *args, umask=0o022, path=None, **env):
    """make in tree as a user runs it, with this umask, PATH and environment:
    (status, standard output, standard error)."""
    env = dict(os.environ, **env, **({"PATH": path} if path else {}))
    p = subprocess.run([shutil.which("make"), "-C", tree, "--no-print-directory", *args],
                       capture_output=True, text=True, env=env, preexec_fn=lambda: os.umask(umask))
    return p.returncode, p.stdout, p.stderr


def on_path():
    """Every command on PATH."""
    return {c for d in os.environ["PATH"].split(":") if os.path.isdir(d) for c in os.listdir(d)}


def table(need):
    """{package: [command...]} of the package script's table, for run, dist or test."""
    return {p: cs for _, p, *cs in map(str.split, sh(*PACKAGES, "table", need, check=True)
                                       .stdout.splitlines())}


def pages(archive):
    """{name: text} of the manual pages in a release archive."""
    with tarfile.open(archive) as tar:
        return {os.path.basename(m.name): gzip.decompress(tar.extractfile(m).read()).decode()
                for m in tar.getmembers() if re.search(r"/man1/.*\.gz$", m.name)}


class Release(unittest.TestCase):  # group: release
    """The whole release, made twice from nothing as a user makes it: in two
    fresh clones of a commit of the checkout's tracked files, uncommitted
    changes and all, dated far from today; at different times, under
    different umasks and time zones, one signed. Then again from its source
    release, unpacked in a packager's repository with changes of its own, and
    with no git at all."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = folder()
        # Whatever the checkout's dist/ holds stays: a maintainer's signed release.
        cls.kept = os.path.join(TOP, "dist", "kept-by-make-test-%d" % os.getpid())
        made = not os.path.isdir(os.path.dirname(cls.kept))
        os.makedirs(os.path.dirname(cls.kept), exist_ok=True)
        with open(cls.kept, "w") as f:
            f.write("signed\n")
        cls.addClassCleanup(shutil.rmtree if made else os.remove,
                            os.path.dirname(cls.kept) if made else cls.kept)
        cls.commit = work_commit("@%d +0000" % COMMIT_TIME)
        cls.key = os.path.join(cls.tmp, "a key", "release")
        os.mkdir(os.path.dirname(cls.key))
        sh("signify-openbsd", "-G", "-n", "-p", cls.key + ".pub", "-s", cls.key + ".sec", check=True)
        # Two at a time, one a core.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            cls.a = clone(cls.commit, os.path.join(cls.tmp, "a"))
            made_a = pool.submit(make, cls.a, "dist", TZ=ZONES[0])
            time.sleep(1)
            cls.b = clone(cls.commit, os.path.join(cls.tmp, "b"), 0o077)
            made_b = pool.submit(make, cls.b, "dist", "SIGN_KEY=" + cls.key + ".sec", umask=0o077,
                                 TZ=ZONES[1])
            for status, out, err in (made_a.result(), made_b.result()):
                if status:
                    raise AssertionError("make dist failed:\n" + (out + err)[-3000:])
            cls.dist = os.path.join(cls.a, "dist")
            cls.written = sorted(os.listdir(cls.dist))
            with open(os.path.join(cls.a, "build", "dist", "aarch64", "CPackConfig.cmake")) as f:
                cls.version = re.search(r'CPACK_PACKAGE_VERSION "(.*)"', f.read())[1]
            cls.source = "latmeter-tools-%s.tar.gz" % cls.version
            # As signed, before B makes its release again.
            cls.signed = shutil.copytree(os.path.join(cls.b, "dist"),
                                         os.path.join(cls.tmp, "signed"))
            lanes = [[cls.from_source, "aarch64-static", False], [cls.from_source, "aarch64", True],
                     [cls.refused], [cls.without_apt], [cls.failing]]
            cls.got = dict(zip(("static", "dynamic", "refused", "without apt", "failing"),
                               pool.map(lambda lane: lane[0](*lane[1:]), lanes)))

    @classmethod
    def from_source(cls, preset, git, source=None):
        """make dist of one preset from the source release (or another), unpacked in a
        git repository that has an uncommitted change, with git on PATH or not."""
        source = source or os.path.join(cls.dist, cls.source)
        repo = folder()
        os.makedirs(os.path.join(repo, "src"))
        rules = os.path.join(repo, "rules")
        for cmd in (["init", "-q"], ["add", "."], ["commit", "-qm", "packaging"]):
            with open(rules, "a") as f:  # its last line left uncommitted
                f.write("%s\n" % cmd[0])
            sh("git", *cmd, cwd=repo, check=True)
        with tarfile.open(source) as tar:
            tar.extractall(os.path.join(repo, "src"))
            tree = os.path.join(repo, "src", tar.getnames()[0].split("/")[0])
        path = None if git else bare_path(os.path.join(cls.tmp, "no-git"), on_path() - {"git"})
        return make(tree, "dist", "DIST_PRESETS=" + preset, path=path), tree

    @classmethod
    def refused(cls):
        """Signing the signed release again with a key that cannot sign; then
        make dist where it signed, with uncommitted changes. Each (status,
        output, files written)."""
        again = os.path.join(cls.tmp, "again")
        shutil.copytree(cls.signed, again)
        p = sh("cmake", "-DDIR=" + again, "-DSIGN_KEY=" + cls.key + ".pub", "-P", CHECKSUMS)
        key = (p.returncode, p.stdout, p.stderr), sorted(os.listdir(again))
        with open(os.path.join(cls.b, "README.md"), "a") as f:
            f.write("\nchanged\n")
        dist = os.path.join(cls.b, "dist")
        kept = make(cls.b, "dist")  # never over a release already there
        shutil.rmtree(dist)
        dirty = make(cls.b, "dist", "SIGN_KEY=" + cls.key + ".sec"), sorted(os.listdir(dist))
        source = os.path.join(dist, cls.source.replace(".tar.gz", "+dirty.tar.gz"))
        (status, out, err), tree = cls.from_source("aarch64-static", True, source)
        return key, dirty, kept, (status, err, sorted(os.listdir(os.path.join(tree, "dist"))))

    @classmethod
    def failing(cls):
        """make dist where a preset fails before others that would not: (status,
        what dist/ holds)."""
        tree = clone(cls.commit, folder())
        status = make(tree, "dist", "DIST_PRESETS=missing aarch64-static")
        return status, sorted(os.listdir(os.path.join(tree, "dist")) if os.path.isdir(
            os.path.join(tree, "dist")) else [])

    @classmethod
    def without_apt(cls):
        """make run with the package script's commands for it, and the base
        system's, on PATH, and no apt-get, dpkg or dpkg-query; then also
        without cmake, and apt-get and sudo that tell whether they ran."""
        commands = {**base_commands(exclude=("apt", "dpkg")), **{
            c: shutil.which(c) for c in ["make"] + [c for cs in table("run").values() for c in cs]}}
        runs = make(cls.a, "run", "ARGS=" + " ".join(SMALL),
                    path=bare_path(os.path.join(cls.tmp, "run"), commands))
        no_cmake = bare_path(os.path.join(cls.tmp, "no-cmake"),
                             {c: p for c, p in commands.items() if c != "cmake"})
        called = os.path.join(cls.tmp, "apt called")
        for name in ("apt-get", "sudo"):
            with open(os.path.join(no_cmake, name), "w") as f:
                f.write("#!/bin/sh\necho \"$0 $*\" >>'%s'\nexit 1\n" % called)
            os.chmod(os.path.join(no_cmake, name), 0o755)
        return runs, make(cls.a, "run", path=no_cmake), os.path.exists(called)

    def test_the_same_bytes_from_two_clones_with_dates_from_the_commit(self):
        self.assertNotIn("+dirty", self.version)
        names = ["latmeter-tools-%s%s.tar.gz" % (self.version, a) for a in ("", "-linux-aarch64",
                                                                             "-linux-armv7")]
        names += ["latmeter-tools_%s_%s.deb" % (self.version, a) for a in ("arm64", "armhf")]
        self.assertEqual(self.written, sorted(names + ["SHA256SUMS"]))
        theirs = self.signed
        self.assertEqual(sorted(os.listdir(theirs)), sorted(self.written + ["SHA256SUMS.sig"]))
        for name in self.written:
            self.assertTrue(filecmp.cmp(os.path.join(self.dist, name), os.path.join(theirs, name),
                                        shallow=False), name)
        verify = sh("signify-openbsd", "-C", "-p", self.key + ".pub", "-x", "SHA256SUMS.sig",
                    cwd=theirs)
        self.assertEqual((verify.returncode, verify.stdout.count(": OK\n")), (0, len(names)),
                         verify.stdout + verify.stderr)
        # Every time the release holds is the commit's, whatever the day or the zone.
        day = time.gmtime(COMMIT_TIME)
        for archive in names[:3]:
            with tarfile.open(os.path.join(self.dist, archive)) as tar:
                self.assertEqual({m.mtime for m in tar.getmembers()}, {COMMIT_TIME}, archive)
        for page in pages(os.path.join(self.dist, names[1])).values():
            self.assertIn(".Dd %s %d, %d\n" % (time.strftime("%B", day), day.tm_mday, day.tm_year),
                          page)
        for deb in names[3:]:
            with tempfile.TemporaryDirectory() as root:
                sh("dpkg-deb", "-x", os.path.join(self.dist, deb), root, check=True)
                with gzip.open(os.path.join(root, "usr", DOC, "changelog.gz"), "rt") as f:
                    self.assertIn(time.strftime("%a, %d %b %Y %H:%M:%S +0000", day),
                                  f.read().splitlines()[-1])

    def test_the_source_release_holds_the_tracked_files_and_builds_the_same(self):
        with tarfile.open(os.path.join(self.dist, self.source)) as tar:
            held = [m.name for m in tar.getmembers() if m.isfile()]
        tracked = sh("git", "ls-files", cwd=self.a, check=True).stdout.split()
        self.assertEqual(sorted(held), sorted("%s/%s" % (self.source[:-len(".tar.gz")], f)
                                              for f in tracked + ["cmake/source-release.cmake"]))
        for preset, ((status, out, err), tree) in (("aarch64-static", self.got["static"]),
                                                   ("aarch64", self.got["dynamic"])):
            self.assertEqual(status, 0, (out + err)[-3000:])
            # No tarball where the tree is not its own git work tree, and one line that says so.
            self.assertEqual(len(re.findall("no source tarball", out + err)), 1, out + err)
            mine = sorted(os.listdir(os.path.join(tree, "dist")))
            self.assertEqual(mine[0], "SHA256SUMS")
            self.assertEqual(len(mine), 2, mine)  # and one archive or package
            for f in mine[1:] + ["%s/%s%s" % (p, p, page) for p in ("latmeter", "tickrate")
                                 for page in ("", ".1.gz")]:
                here, there = (os.path.join(t, "dist", f) if f == mine[1] else
                               os.path.join(t, "build", "dist", preset, f) for t in (tree, self.a))
                self.assertTrue(filecmp.cmp(here, there, shallow=False), (preset, f))

    def test_a_key_that_cannot_sign_and_uncommitted_changes_leave_no_signature(self):
        ((status, _, err), written), ((dirty_status, _, dirty_err), dirty), kept, built = \
            self.got["refused"]
        self.assertNotEqual(kept[0], 0)
        self.assertIn("dist/ is there already", kept[2])
        self.assertNotEqual(status, 0, err)
        self.assertEqual(written, self.written)  # the old signature gone
        self.assertNotEqual(dirty_status, 0, dirty_err)
        self.assertIn("uncommitted changes", " ".join(dirty_err.split()))  # as CMake wraps it
        self.assertNotIn("SHA256SUMS.sig", dirty)
        # Every file it wrote says so, the source release too.
        self.assertEqual([f for f in dirty if "+dirty" not in f], ["SHA256SUMS"])
        self.assertEqual(len(dirty), len(self.written))
        # And every name built from that source release.
        self.assertEqual(built[0], 0, built[1][-3000:])
        self.assertEqual([f for f in built[2] if "+dirty" not in f], ["SHA256SUMS"], built[2])

    def test_a_preset_that_fails_stops_the_release(self):
        (status, out, err), held = self.got["failing"]
        self.assertNotEqual(status, 0, out + err)
        self.assertNotIn("SHA256SUMS", held)

    def test_the_checkouts_dist_is_left_as_it_was(self):
        with open(self.kept) as f:
            self.assertEqual(f.read(), "signed\n")

    def test_make_run_without_apt(self):
        (status, out, err), (failed, _, failure), called = self.got["without apt"]
        self.assertEqual(status, 0, err[-3000:])
        self.assertTrue(parse(out[out.find("clock_gettime: "):], ["time", "file"]), out)
        self.assertNotEqual(failed, 0, failure)
        self.assertIn("cmake", failure.split())
        self.assertFalse(called, failure)

    def test_what_the_commands_install(self):
        """cmake/packages.sh's choices, by the real dpkg-query and apt-cache
        on a package database of the test's own, which has none of them."""
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "status"), "w") as f:
                for name in ("g++-12", "cmake-data", "linux-image-6.9.2-arm64-16k",
                             "linux-image-6.12.1-arm64-16k", "linux-image-6.1.0-9-arm64-16k"):
                    f.write("Package: %s\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n"
                            "Maintainer: x <x@example.org>\nDescription: x\n\n" % name)
            with open(os.path.join(tmp, "apt.conf"), "w") as f:
                f.write('Dir::State::status "{0}/status"; Dir::State::Lists "{0}"; Dir::Cache "{0}"; '
                        'Dir::Etc::SourceList "/dev/null"; Dir::Etc::SourceParts "{0}";\n'.format(tmp))
            env = dict(os.environ, DPKG_ADMINDIR=tmp, APT_CONFIG=os.path.join(tmp, "apt.conf"))
            # A package is installed by its whole name, not by another's that holds it.
            self.assertEqual(sh(*PACKAGES, "missing", "run", env=env).stdout.split(),
                             ["g++", "binutils", "cmake", "ninja-build"])
            self.assertEqual(sh(*PACKAGES, "missing", "test", env=env).stdout.split(),
                             list(table("test")))
            self.assertEqual(sh(*PACKAGES, "newest", "^linux-image-.*-16k$", env=env).stdout.split(),
                             ["linux-image-%s-arm64-16k" % v for v in ("6.12.1", "6.9.2", "6.1.0-9")])
            # Root, as in a CI container, with no sudo: apt-get itself, which says so.
            path = bare_path(os.path.join(tmp, "bin"), on_path() - {"sudo", "apt-get"})
            with open(os.path.join(path, "apt-get"), "w") as f:
                f.write('#!/bin/sh\necho "apt-get $*" >>"%s/called"\n' % tmp)
            os.chmod(os.path.join(path, "apt-get"), 0o755)
            root = [] if os.geteuid() == 0 else ["unshare", "-r"]
            p = sh(*root, "env", "PATH=" + path, *PACKAGES, "run", env=env)
            with open(os.path.join(tmp, "called")) as f:
                self.assertIn("install", f.read().split("\n")[-2].split(), p.stdout + p.stderr)
            self.assertEqual(p.returncode, 0, p.stderr)

    def test_each_command_comes_from_its_package(self):
        """Here, the package that holds each command of the table is the one it
        names, or one that one depends on."""
        for package, commands in table("test").items():
            if not commands:
                continue
            needs = sh("dpkg-query", "-W", "-f", "${Depends}, ${Pre-Depends}", package).stdout
            ours = {package} | set(re.findall(r"(?:^|, )([^ ,:]+)", needs))
            for command in commands:
                # Wherever a Debian package puts it, merged /usr or not.
                found = sh("dpkg-query", "-S", *("%s/%s" % (d, command) for d in (
                    "/usr/bin", "/bin", "/usr/sbin", "/sbin"))).stdout
                self.assertIn(re.split(r"[:,]", found)[0], ours, (package, command, found))

