#!/usr/bin/env python3
"""Checks that a deliverable needs the C library alone, or nothing at all when static.

usage: linkage_test.py dynamic|static EXE
"""
import re
import subprocess
import sys

kind, exe = sys.argv[1:]
readelf = subprocess.run(["readelf", "-d", "-l", "-W", exe], capture_output=True, text=True,
                         check=True).stdout
needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", readelf)
interp = "Requesting program interpreter" in readelf
want = ([], False) if kind == "static" else (["libc.so.6"], True)
print("%s: needs %s, %s interpreter" % (exe, needed or "nothing", "an" if interp else "no"))
sys.exit(0 if (needed, interp) == want else 1)
