#!/usr/bin/env python3
"""Bounded, deterministic command-line fuzzing of latmeter.

usage: fuzz_cli.py [--seed N] [--lines N] --bits N EXE [EMULATOR...]

Command lines are drawn from pieces whose meaning is known, so the status
and the output of each run can be worked out beforehand and checked. A line
that would ask for more than a little work is drawn again, so every run is
quick; a run that takes long anyway has not stopped when its sizes said.
"""
import argparse
import concurrent.futures
import os
import random
import re
import subprocess
import sys

from latmeter_test import USAGE, long_max, parse

NUMBERS = ["0", "1", "2", "3", "-1", "-2", "7", "2147483647", "2147483648", "-2147483648",
           "-2147483649", "4294967295", "4294967296", "4294967297", "9223372036854775807",
           "9223372036854775808", "-9223372036854775809", "99999999999999999999", "", "abc",
           "3x", " 2", "\t-1", "+1", "-0", "0x10", "1e3", "--", "-", "-c", "00000000001"]
MODES = {"time": (True, False), "file": (False, True), "all": (True, True)}
BAD_WORDS = ["All", "TIME", "times", "", "tim", "all ", "-", "--", "file\n"]
NAMES = {"c": "calls", "l": "loops", "r": "rounds", "m": "mode", "h": "help"}
UNKNOWN = [["-x"], ["-Z"], ["-?"], ["-W"], ["--bogus"], ["--calls2=1"], ["--help=yes"],
           ["--="], ["--rounds-2"], ["-xh"]]
OPERANDS = ["stray", "-", "", "7", "time", "a b"]
DEFAULTS = {"time": {"c": 100000, "l": 32, "r": 5}, "file": {"c": 100, "l": 128, "r": 5}}
COST = {"time": 1, "file": 100}  # work units per body call: a file call costs a hundred reads
BUDGET = 30000


def atoi(s, bits):
    """glibc's atoi: strtol, saturated at the range of long, then cut to int."""
    m = re.match(r"[ \t\n\v\f\r]*([+-]?)(\d*)", s)
    if not m[2]:
        return 0
    lim = 2 ** (bits - 1)
    v = max(-lim, min(lim - 1, int(m[1] + m[2]))) & 0xFFFFFFFF
    return v - 2 ** 32 if v >= 2 ** 31 else v


def option(rng, letter, value):
    """One option with its argument, in any of the forms getopt_long takes."""
    name = NAMES[letter][:rng.randint(1, len(NAMES[letter]))] if rng.random() < 0.3 \
        else NAMES[letter]
    forms = [["-" + letter, value], ["--" + name + "=" + value], ["--" + name, value]]
    if value:
        forms.append(["-" + letter + value])
    return rng.choice(forms)


def piece(rng):
    """(argv words, meaning) for one random piece of a command line."""
    kind = rng.choices(["size", "mode", "help", "unknown", "operand", "end"],
                       [20, 6, 1, 1, 3, 1])[0]
    if kind == "size":
        letter = rng.choice("clrr")
        value = rng.choice(NUMBERS)
        return option(rng, letter, value), ("set", letter, value)
    if kind == "mode":
        word = rng.choice(list(MODES) if rng.random() < 0.8 else BAD_WORDS)
        return option(rng, "m", word), ("mode", word)
    if kind == "help":
        return [rng.choice(["-h", "--help", "--he", "--h"])], ("help",)
    if kind == "unknown":
        return rng.choice(UNKNOWN), ("error",)
    if kind == "operand":
        return [rng.choice(OPERANDS)], ("operand",)
    return ["--"], ("end",)


def draw(rng):
    """A command line and its meanings; now and then one that lacks its last argument."""
    pieces = [piece(rng) for _ in range(rng.randint(0, 7))]
    if rng.random() < 0.05:
        word = rng.choice(["-c", "-l", "-r", "-m", "--calls", "--mode", "--rou"])
        pieces.append(([word], ("error",)))
    return [w for words, _ in pieces for w in words], [m for _, m in pieces]


def predict(meanings, bits):
    """What getopt_long and latmeter make of the line: ('usage', why) or ('run', settings)."""
    s = {"time": True, "file": True, "c": -1, "l": -1, "r": -1}
    for kind, *arg in meanings:
        if kind == "end":
            break
        if kind in ("help", "error"):
            return "usage", kind
        if kind == "mode":
            if arg[0] not in MODES:
                return "usage", arg[0]
            s["time"], s["file"] = MODES[arg[0]]
        if kind == "set":
            s[arg[0]] = atoi(arg[1], bits)
    return "run", s


def sizes(s, section):
    return [s[k] if s[k] != -1 else DEFAULTS[section][k] for k in "clr"]


def work(s):
    """Work units the run asks for, or None where it asks for too much."""
    total = 0
    for section in ("time", "file"):
        calls, loops, rounds = sizes(s, section)
        if not s[section] or rounds < 1:
            continue
        if rounds > 2:
            return None
        total += 2 * rounds * max(loops, 0) * (2 + COST[section] * max(calls, 0))
    return total if total <= BUDGET else None


def expected_figure(calls, loops, rounds, no_result):
    if rounds < 1 or loops < 1:
        return lambda f: f == no_result
    if calls == 0:
        return lambda f: f == 0
    return (lambda f: f <= 0) if calls < 0 else (lambda f: f >= 0)


def check(cmd, exe, outcome, bits):
    """Runs one line; returns what was wrong with it, or None."""
    try:
        p = subprocess.run(cmd, capture_output=True, timeout=60,
                           env={k: v for k, v in os.environ.items() if k != "POSIXLY_CORRECT"})
    except subprocess.TimeoutExpired:
        return "still running after 60 s"
    out, err = p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")
    if p.returncode not in (0, 1):
        return "status %d" % p.returncode
    kind, detail = outcome
    if kind == "usage":
        if (p.returncode, out) != (1, USAGE % exe):
            return "status %d, not the usage text" % p.returncode
        if detail == "help":
            return None if err == "" else "help wrote to standard error"
        if detail == "error":
            lines = err.splitlines()
            ok = lines and all(line.startswith(exe + ": ") for line in lines)
            return None if ok and err.endswith("\n") else "diagnostic %r" % err
        msg = "%s: invalid mode -- '%s'\n" % (exe, detail)
        return None if err == msg else "mode message %r" % err
    if (p.returncode, err) != (0, ""):
        return "status %d, standard error %r" % (p.returncode, err)
    modes = [m for m in ("time", "file") if detail[m]]
    sections = parse(out, modes)
    if sections is None:
        return "output %r" % out
    for section, (dots, figures) in zip(modes, sections):
        calls, loops, rounds = sizes(detail, section)
        if len(dots) != 2 * max(rounds, 0):
            return "%d dots in the %s section" % (len(dots), section)
        fits = expected_figure(calls, loops, rounds, long_max(bits))
        if not all(fits(f) for f in figures):
            return "figures %s in the %s section" % (figures, section)
    return None


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seed", type=int, default=20261208)
    p.add_argument("--lines", type=int, default=300)
    p.add_argument("--bits", type=int, required=True)
    p.add_argument("exe")
    p.add_argument("emu", nargs=argparse.REMAINDER)
    a = p.parse_args()

    rng = random.Random(a.seed)
    lines, redrawn = [], 0
    while len(lines) < a.lines:
        argv, meanings = draw(rng)
        outcome = predict(meanings, a.bits)
        if outcome[0] == "run" and work(outcome[1]) is None:
            redrawn += 1
            continue
        lines.append((argv, outcome))

    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(
            lambda line: check([*a.emu, a.exe, *line[0]], a.exe, line[1], a.bits), lines))
    failures = [(argv, why) for (argv, _), why in zip(lines, results) if why]
    runs = sum(outcome[0] == "run" for _, outcome in lines)
    print("tried %d command lines (seed %d): %d ran, %d ended in the usage text; "
          "%d drawn again as too much work" % (len(lines), a.seed, runs, len(lines) - runs, redrawn))
    for argv, why in failures[:20]:
        print("FAILED %r: %s" % (argv, why))
    print("%d passed, %d failed" % (len(lines) - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
