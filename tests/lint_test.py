"""The sources, the same for every build: checked once, natively, by the linters that
the package script installs."""
import unittest

from harness import TOP, opt, sh

LATMETER = ["latmeter/latmeter.cpp", "tests/copy_count.cpp"]
ARM_ONLY = ["tickrate/tickrate.cpp", "android/app_start.cpp"]  # built for Arm alone
SOURCES = LATMETER + ARM_ONLY + ["tests/fake_clock.cpp", "tests/app_sandbox.cpp"]


class Lint(unittest.TestCase):  # group: native uninstrumented
    def check(self, *cmd):
        p = sh(*cmd, cwd=TOP)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def test_format_and_shell(self):
        self.check("clang-format", "--dry-run", "--Werror", *SOURCES)
        self.check("shellcheck", "-s", "sh", "lava/latmeter-tools.sh", "cmake/packages.sh")

    def test_cppcheck(self):
        # Only the kernel reads the members of the entry point's sigaction. The
        # code is plain procedural C++, so no algorithm of the standard library's
        # stands in for a loop; and newer versions' note that they limit branches
        # is no finding.
        self.check("cppcheck", "-q", "--error-exitcode=1", "--inline-suppr",
                   "--enable=warning,style,performance,portability",
                   "--suppress=unusedStructMember:*/app_start.cpp", "--suppress=useStlAlgorithm",
                   "--suppress=normalCheckLevelMaxBranches", "--std=c++17", "-D__OPTIMIZE__",
                   "-D__aarch64__", *SOURCES)

    def test_clang_tidy(self):
        # The build's own flags, less the warning that clang ignores GCC's for
        # link-time optimisation; the Arm sources for each Arm target.
        self.check("clang-tidy", "--quiet", "-p", opt.build,
                   "--extra-arg=-Wno-ignored-optimization-argument", *LATMETER)
        for target in ("aarch64-linux-gnu", "arm-linux-gnueabihf"):
            self.check("clang-tidy", "--quiet", *ARM_ONLY, "--", "--target=" + target, "-std=c++17")
