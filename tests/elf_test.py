#!/usr/bin/env python3
"""Checks of a built program's ELF file.

usage: elf_test.py linkage dynamic|static|sanitized EXE
       elf_test.py aligned SYMBOL BYTES EXE
       elf_test.py pages EXE...
"""
import os
import re
import subprocess
import sys


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True,
                          check=True).stdout


def needs(exe):
    """(the shared libraries a program needs, its interpreter or None)."""
    text = readelf("-d", "-l", exe)
    interp = re.search(r"Requesting program interpreter: (.*)\]", text)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", text), interp and interp[1]


def linkage(kind, exe):
    """The C library alone, every symbol bound before main, and on 32-bit Arm
    no Advanced SIMD, which Debian's armhf baseline lacks (a static program's
    C library brings its own, chosen at run time); nothing at all when
    static; the sanitizers' runtimes when sanitized, or when the test preset
    says its build is, whatever the build's own settings say."""
    kind = os.environ.get("TOOLS_LINKAGE", kind)
    needed, interp = needs(exe)
    if kind == "sanitized":
        print("%s: needs %s" % (exe, needed))
        return {"libasan", "libubsan"} <= {n.split(".")[0] for n in needed}
    now = bool(re.search(r"\((FLAGS|FLAGS_1)\).*\b(BIND_NOW|NOW)\b", readelf("-d", exe)))
    simd = kind == "dynamic" and "Tag_Advanced_SIMD_arch" in readelf("-A", exe)
    print("%s: needs %s, %s interpreter, bound %s%s" % (
        exe, needed or "nothing", interp or "no", "at start" if now else "lazily",
        ", Advanced SIMD" if simd else ""))
    return (needed, bool(interp), now or kind == "static", simd) == (
        ([], False, True, False) if kind == "static" else (["libc.so.6"], True, True, False))


def aligned(symbol, size, exe):
    found = re.findall(r"^\s*\d+: ([0-9a-f]+) +\d+ OBJECT .* %s$" % re.escape(symbol),
                       readelf("-s", "-C", exe), re.M)
    print("%s: %s at %s" % (exe, symbol, ", ".join("0x" + a for a in found) or "nowhere"))
    return len(found) == 1 and int(found[0], 16) % int(size) == 0


def load_aligns(exe):
    """The alignment of each of a program's LOAD segments."""
    return [int(a, 16) for a in re.findall(r"^\s*LOAD\s.*\s(0x[0-9a-f]+)$", readelf("-l", exe), re.M)]


def pages(*exes):
    """Loadable where pages are 4, 16 or 64 KiB."""
    ok = True
    for exe in exes:
        aligns = load_aligns(exe)
        print("%s: LOAD segments aligned %s" % (exe, ", ".join(map(hex, aligns))))
        ok = ok and bool(aligns) and min(aligns) >= 65536
    return ok


if __name__ == "__main__":
    check = {"linkage": linkage, "aligned": aligned, "pages": pages}[sys.argv[1]]
    sys.exit(0 if check(*sys.argv[2:]) else 1)
