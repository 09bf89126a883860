#!/usr/bin/env python3
"""The commands of the README, HACKING.md, docs/ and the manual pages' EXAMPLES, run as written
where they say: a fresh clone, its release, an unpacked archive, a package, a phone, a board."""
import concurrent.futures
import os
import re
import shlex
import shutil
import subprocess
import unittest

from harness import FETCHED, bare_path, clone, folder, private_mount, sh, work_commit
from promises import LAB_CASES, SAMPLES, TICKRATE, UNREADABLE, figures, parse, tickrate_wrong

NOT_RUN = {  # command: why it is not run here
    "make test": "the whole suite, which runs this group",
    "sh cmake/packages.sh test && cmake --preset aarch64 && cmake --build --preset aarch64 && "
    "ctest --preset aarch64": "a preset of the suite, which make test runs",
    "termux-setup-storage": "no Termux: its ~/storage/downloads is made by hand",
}
ARGS = 'make run ARGS="-m time -c 5 -l 2 -r 1"'  # HACKING's ARGS= has no example: several options
AARCH64, ARM = shutil.which("qemu-aarch64"), shutil.which("qemu-arm") + " -L /usr/arm-linux-gnueabihf"
BY_HAND = ["latmeter/latmeter.1.in", "tickrate/tickrate.1.in", "docs/board-labs.md"]  # phone, board
# Looks of the test's own at what the commands before them promise.
MAINTAINED = '(for d in dist/*.deb; do [ "$(dpkg-deb -f "$d" Maintainer)" = "$MAINTAINER" ] || exit; done)'
SIGNED = "(cd dist && signify-openbsd -C -p ../release.pub -x SHA256SUMS.sig)"
RAMDISK = 'test "$(cpio -it <ramdisk.cpio | grep -cx -e init -e bin/sh -e bin/busybox)" = 3'
INSTALLED = "root/usr/bin/latmeter -m time"  # in the packager's root
# Beside the unpacked archive: Debian's busybox-static again, from the busybox make test fetched.
BUSYBOX = ("cd .. && mkdir -p bb/DEBIAN bb/bin && cp %s/busybox-arm64 bb/bin/busybox && printf "
           "'Package: busybox-static\\nVersion: 1\\nArchitecture: arm64\\nMaintainer: x\\nDescription: "
           "x\\n' >bb/DEBIAN/control && dpkg-deb -b bb ." % shlex.quote(FETCHED))
# First on PATH: a phone, its /data in $PHONE, its shell mksh with toybox and the one true awk; an
# armhf board, whose sudo apt install unpacks into $ROOT. Arm programs run under $EMU, as binfmt_misc would.
STAND_IN = """#!/bin/sh
wrap() { mv "$1" "$1.elf" && printf '#!/bin/sh\\nexec %s -0 "$0" "$0.elf" "$@"\\n' "$EMU" >"$1" && chmod 755 "$1"; }
case ${0##*/} in
dpkg) echo armhf ;;  # --print-architecture
sudo) dpkg-deb -x "$3" "$ROOT" && for p in "$ROOT"/usr/bin/*; do wrap "$p"; done ;;  # apt install
adb) set -f; c=$1; shift; set -- $(echo "$*" | sed "s#/data/#$PHONE/data/#g")
	[ "$c" = shell ] && exec env PATH="$PHONE_PATH" sh -c "$*"
	mkdir -p "$PHONE/data/local/tmp" && cp "$@" || exit
	for p; do [ -d "$p" ] || case $(head -c 4 "$p") in *ELF) wrap "$PHONE/data/local/tmp/${p##*/}"; esac; done ;;
esac
"""


def sample(text):
    """Whether a code block is what latmeter or tickrate prints, or the YAML of a job."""
    counts = re.sub(r"^(\d+ Hz\n)\.\.\.\n", lambda m: m[1] * SAMPLES + "\n", text, flags=re.M)
    return bool(parse(text, ["time", "file"]) or TICKRATE.fullmatch(counts) or text[:7] == "- test:")


def pages(top):
    """{page: [[command...] a block]}: the tracked pages' code blocks, output left out; $ lines."""
    found = {}
    for page in sh("git", "ls-files", "*.md", "*.1.in", cwd=top, check=True).stdout.split():
        with open(os.path.join(top, page)) as f:
            text = f.read()
        blocks = [re.sub(r"(?m)^    ", "", b).strip("\n") + "\n"
                  for b in re.findall(r"(?m)(?:^    .*\n|^\n(?=    ))+", text)]
        if page.endswith(".in"):
            blocks = ["\n".join(re.findall(r"^\$ (.*)", text, re.M))]
        found[page] = [[re.sub(r"\s+#\s.*", "", line) for line in b.splitlines() if line]
                       for b in blocks if not sample(b)]
    return found


def latmeter_run(modes, dots):
    return lambda status, out, emu: status == 0 and figures(out[out.find("clock_gettime: "):], modes, dots)


RUNS = r"^(adb shell )?(taskset 1 )?\S*"  # a program started, on a phone or not, pinned or not
EFFECTS = [  # (a command, what it must do): the first that the command matches
    (r"ARGS=", latmeter_run(["time"], 2)),
    (RUNS + "latmeter -m time$", latmeter_run(["time"], 10)),
    (RUNS + "latmeter$|^make run$", latmeter_run(["time", "file"], 10)),
    # Or where qemu-arm cannot read the 32-bit timer, the message.
    (RUNS + "tickrate$", lambda status, out, emu: status == 0 and not tickrate_wrong(out, 0.99, 3)
     or "qemu-arm" in emu and status == 1 and out.endswith(UNREADABLE[2:])),
    # A line a case, each case on each CPU, and 1 where one failed.
    (r"latmeter-tools\.sh\"?$", lambda status, out, emu: status == (" fail" in out) and set(
        re.findall(r"^(\S+)-cpu\d+ (?:pass|fail)\b", out, re.M)) == set(LAB_CASES)),
    (r"^man ", lambda status, out, emu: status == 0 and "LATMETER(1)" in out),  # a page missing: 16
    (r"", lambda status, out, emu: status == 0),
]


class Commands(unittest.TestCase):  # group: release
    @classmethod
    def setUpClass(cls):
        cls.tmp, cls.ran, cls.results = folder(), set(), []
        # As root, a read-only /usr: a command that would install there fails, and leaves nothing.
        cls.ro = private_mount(unittest.TestCase(), ["mount", "--rbind", "/usr", "/usr"],
                               ["mount", "-o", "remount,bind,ro", "/usr"]) if os.geteuid() == 0 else []
        top, cls.dist, stand_ins, root, home = [os.path.join(cls.tmp, d) for d in (
            "clone", "clone/dist", "stand-ins", "board", "termux")]
        with open(os.path.join(cls.tmp, "stand-in"), "w") as f:
            f.write(STAND_IN)
        os.chmod(f.name, 0o755)
        cls.path = bare_path(stand_ins, dict.fromkeys(["adb", "dpkg", "sudo"], f.name)) + ":" + os.environ["PATH"]
        # Where the release packages no toybox, as testing does, busybox's applets stand in.
        box = shutil.which("toybox") or shutil.which("busybox")
        applets = sh(box, *["--list"] * (box.endswith("busybox"))).stdout.split()
        cls.phone_path = bare_path(os.path.join(cls.tmp, "phone"), {**dict.fromkeys(applets, box),
                                   "awk": shutil.which("original-awk"), "sh": shutil.which("mksh")})
        clone(work_commit(), top)  # the checkout, with what is not committed
        cls.pages = pages(top)
        with open(os.path.join(top, "HACKING.md")) as f:
            maintainer = re.search(r"`(MAINTAINER=[^`]*)`", f.read())[1]
        with open(os.path.join(top, "CMakeLists.txt")) as f:
            cls.version = re.search(r"project\(\S+ VERSION (\S+)", f.read())[1]
        by_hand = [line for page in BY_HAND for line in cls.block(page, "adb")]
        stages = [[  # (where, lines, emulator, environment) a run, two at a time, one a core
            (top, [cls.block("HACKING.md", "make dist")[0] + " " + maintainer,
                   maintainer + "; " + MAINTAINED] + cls.block("HACKING.md", "signify") + [SIGNED], "", {}),
            (top, cls.block("README.md", "make run") + [ARGS], "", {}),
        ], [  # then from the release
            cls.phone("aarch64", AARCH64, [line for line in by_hand if line[:4] == "adb "] + [BUSYBOX]
                      + cls.block("docs/board-labs.md", "tar -C") + [RAMDISK]),
            (cls.dist, cls.block("README.md", "arch=$(") + [line for line in by_hand if line[:4] != "adb "],
             ARM, dict(ROOT=root, MANPATH=root + "/usr/share/man", PATH=root + "/usr/bin:" + cls.path)),
            # As termux-setup-storage makes it.
            (home, ["mkdir storage && ln -s %s storage/downloads" % shlex.quote(cls.dist)]
             + cls.block("docs/android.md", "termux"), AARCH64, dict(HOME=home)),
            (cls.dist, cls.block("HACKING.md", "tar xzf") + [INSTALLED], "", {}),
            cls.phone("armv7", ARM, cls.block("docs/installing.md", "man -l")),  # in the archive
        ]]
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for stage in stages:
                list(pool.map(lambda run: cls.run_lines(*run), stage))
        cls.run_lines(top, ["make clean", "test ! -e build && " + SIGNED], "", {})  # never dist/, it says

    @classmethod
    def phone(cls, arch, emu, then):
        """A run of the README's phone lines, with this arch, then these, on a phone."""
        here = os.path.join(cls.tmp, arch)
        readme = [re.sub(r"^arch=\w+$", "arch=" + arch, line) for line in cls.block("README.md", "arch=a")]
        dist = shlex.quote(cls.dist)
        return (here, ["cp %s/*-linux-%s.tar.gz %s/SHA256SUMS ." % (dist, arch, dist)] + readme
                + then, emu, dict(PHONE=here, PHONE_PATH=cls.phone_path, PATH=cls.path))

    @classmethod
    def block(cls, page, first):
        """The block of the page that starts so, all run, but for what NOT_RUN names."""
        found = next(b for b in cls.pages[page] if b[0].startswith(first))
        cls.ran.update(found)
        return found

    @classmethod
    def run_lines(cls, cwd, lines, emu, env):
        """Runs these lines in one shell from cwd, so that cd and variables carry; with no terminal, signify
        reads stdin. An Arm program started by its path runs under $EMU; /usr/ is the board's."""
        lines = [line for line in lines if line not in NOT_RUN]
        script = "".join("%s\nprintf '\\n@@ %%d\\n' $?\n" % re.sub(r"^~/", "$EMU ~/", line).replace(
            " /usr/", " $ROOT/usr/").replace("VERSION", cls.version) for line in lines)
        os.makedirs(cwd, exist_ok=True)
        out = subprocess.run([*cls.ro, "sh", "-c", script], cwd=cwd, input="key\n" * 3, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, start_new_session=True,
                             env=dict(os.environ, EMU=emu, **env), timeout=900).stdout
        parts = re.split(r"\n@@ (\d+)\n", out)
        cls.results += [(line, int(s), out, emu) for line, out, s in zip(lines, parts[::2], parts[1::2])]

    def test_every_command_is_run_or_named_as_not_run(self):
        lines = {line for blocks in self.pages.values() for b in blocks for line in b}
        self.assertEqual(sorted(lines - self.ran - set(NOT_RUN)), [], "neither run nor in NOT_RUN")
        self.assertEqual(sorted(set(NOT_RUN) - lines), [], "in NOT_RUN, in no page")

    def test_each_does_what_the_text_says(self):
        self.assertEqual([(line, status, emu, out[-2000:]) for line, status, out, emu in self.results
                          if not next(c for p, c in EFFECTS if re.search(p, line))(status, out, emu)], [])
