"""What the programs promise, written once: latmeter's usage text, options,
defaults and messages, both programs' output and the values that mean no
result, and the board-lab runner's cases. Every test module reads them here."""
import re

USAGE = (
    "Usage: %s [options]\n\nThis program benchmarks some simple kernel syscalls:\n"
    "  Time: clock_gettime(CLOCK_MONOTONIC) with direct syscalls and libc wrapper calls\n"
    "  File: reads 64 KiB of data from /dev/zero with mmap(2) and read(2)\n\n"
    "libc time calls may be faster than direct syscalls on some platforms due to\n"
    "special fast paths without context switching, e.g. Linux's vDSO.\n\n"
    "Options:\n  -h, --help\tshow usage help and exit\n"
    "  -m, --mode\ttests to run: time, file, or all (default: all)\n"
    "  -c, --calls\tnumber of syscalls to make per loop (default: 100000 for time, 100 for file)\n"
    "  -l, --loops\tnumber of loops to run per round (default: 32 for time, 128 for file)\n"
    "  -r, --rounds\tnumber of benchmark rounds to run (default: 5)\n"
)
# {letter: long name}, and each section's sizes, as the usage text gives them.
OPTIONS = dict(re.findall(r"^  -(\w), --(\w+)\t", USAGE, re.M))
DEFAULTS = {s: {k: int((re.search(r"(\d+) for " + s, line) or re.search(r"default: (\d+)", line))[1])
                 for k, line in re.findall(r"^  -([clr]), (.*)$", USAGE, re.M)}
            for s in ("time", "file")}
MODES = {"time": (True, False), "file": (False, True), "all": (True, True)}
PAUSE_MS = 125  # after each round
XFER = 65536  # bytes a file body fetches
SMALL = ["-c", "2", "-l", "2", "-r", "1"]  # a quick run

# Messages on standard error, the program's name first.
INVALID_MODE = "%s: invalid mode -- '%s'\n"
WRITE_ERROR = "%s: write error\n"
FULL = "%s: write error: No space left on device\n"  # output to /dev/full
CLOSED = "%s: write error: Bad file descriptor\n"
NO_DEVICE = "%s: /dev/zero: %s\n"
NO_CLOCK = "%s: clock_gettime system call: %s\n"  # the direct call, tried first
NO_TIMESTAMPS = "%s: clock_gettime: %s\n"  # the C library's, which times every figure
UNREADABLE = "%s: the generic timer cannot be read here\n"  # tickrate
# The app entry point's: a call it does not answer, and at exit, where a
# 32-bit C library found no vDSO clock, the 64-bit-time call it was refused.
REFUSED = "%s: system call %d refused by the system call filter\n"
REFUSED_CLOCK = ("%s: the system call filter refused clock_gettime64: each of the C "
                 "library's clock reads, and each timestamp of the measurements, included a "
                 "refused call\n")

SECTIONS = {
    "time": "clock_gettime: (\\.*)\n    syscall:\t(-?\\d+) ns\n    libc:\t(-?\\d+) ns\n",
    "file": "read file: (\\.*)\n    mmap:\t(-?\\d+) ns\n    read:\t(-?\\d+) ns\n",
}


def no_result(bits):
    """The largest long: the figure of a measurement that measured nothing."""
    return 2 ** (bits - 1) - 1


def parse(out, modes):
    """[(dots, [figure, figure])] a section, for a whole run's output; None if it is not one."""
    m = re.fullmatch("\n".join(SECTIONS[mode] for mode in modes), out)
    if not m:
        return None
    g = m.groups()
    return [(g[i], [int(g[i + 1]), int(g[i + 2])]) for i in range(0, len(g), 3)]


def figures(out, modes, dots):
    """The figures of a whole run's output, in order, where each section has this many
    dots; None where the output is not that."""
    sections = parse(out, modes)
    if sections is None or any(len(d) != dots for d, _ in sections):
        return None
    return [f for _, fs in sections for f in fs]


def latmeter_out(syscall, libc, mmap=None, read=None):
    """A run's output with these figures, two dots a section; the time section alone
    without mmap and read."""
    out = "clock_gettime: ..\n    syscall:\t%s ns\n    libc:\t%s ns\n" % (syscall, libc)
    return out + ("\nread file: ..\n    mmap:\t%s ns\n    read:\t%s ns\n" % (mmap, read)
                  if mmap is not None else "")


def atoi(s, bits):
    """glibc's atoi: strtol, saturated at the range of long, then cut to int."""
    m = re.match(r"[ \t\n\v\f\r]*([+-]?)(\d*)", s)
    if not m[2]:
        return 0
    lim = 2 ** (bits - 1)
    v = max(-lim, min(lim - 1, int(m[1] + m[2]))) & 0xFFFFFFFF
    return v - 2 ** 32 if v >= 2 ** 31 else v


def getopt(argv):
    """[(letter, argument)] as glibc's getopt_long gives latmeter's options, up to the
    first '?': operands are passed over, and '--' ends the options."""
    found, words = [], list(argv)
    while words:
        w = words.pop(0)
        if w == "--":
            break
        if w.startswith("--"):
            name, eq, value = w[2:].partition("=")
            hits = [k for k, n in OPTIONS.items() if name and n.startswith(name)]
            if len(hits) != 1 or hits[0] == "h" and eq or hits[0] != "h" and not (eq or words):
                return found + [("?", None)]
            found.append((hits[0], None if hits[0] == "h" else value if eq else words.pop(0)))
        elif w.startswith("-") and w != "-":
            for k, c in enumerate(w[1:], 2):
                if c not in OPTIONS or c != "h" and not (w[k:] or words):
                    return found + [("?", None)]
                found.append((c, None if c == "h" else w[k:] or words.pop(0)))
                if c != "h":
                    break
    return found


def predict(argv, bits):
    """What latmeter makes of a command line: ('usage', 'help', 'error' or the bad mode
    keyword) or ('run', {time, file: bool; c, l, r: the sizes given, -1 where not})."""
    s = {"time": True, "file": True, "c": -1, "l": -1, "r": -1}
    for letter, value in getopt(argv):
        if letter in "h?":
            return "usage", "help" if letter == "h" else "error"
        if letter == "m":
            if value not in MODES:
                return "usage", value
            s["time"], s["file"] = MODES[value]
        else:
            s[letter] = atoi(value, bits)
    return "run", s


def sizes(s, section):
    """calls, loops and rounds of a section, the defaults where not given."""
    return [s[k] if s[k] != -1 else DEFAULTS[section][k] for k in "clr"]


def wrong(exe, argv, bits, status, out, err):
    """What is wrong with a run of latmeter, against what its command line promises; or None."""
    kind, detail = predict(argv, bits)
    if kind == "usage":
        if (status, out) != (1, USAGE % exe):
            return "status %d, not the usage text" % status
        if detail == "error":  # the C library's one line
            ok = err.startswith(exe + ": ") and err.endswith("\n") and err.count("\n") == 1
            return None if ok else "diagnostic %r" % err
        said = "" if detail == "help" else INVALID_MODE % (exe, detail)
        return None if err == said else "standard error %r" % err
    if (status, err) != (0, ""):
        return "status %d, standard error %r" % (status, err)
    modes = [m for m in ("time", "file") if detail[m]]
    sections = parse(out, modes)
    if sections is None:
        return "output %r" % out
    for section, (dots, figures) in zip(modes, sections):
        calls, loops, rounds = sizes(detail, section)
        if len(dots) != 2 * max(rounds, 0):
            return "%d dots in the %s section" % (len(dots), section)
        if rounds < 1 or loops < 1:
            fits = [no_result(bits)] * 2 == figures
        else:
            fits = all(f == 0 if calls == 0 else f <= 0 if calls < 0 else 0 <= f < 10 ** 9
                       for f in figures)
        if not fits:
            return "figures %s in the %s section" % (figures, section)
    return None


SAMPLES = 15  # tickrate's one-second sleeps
TICKRATE = re.compile("Reported generic timer frequency: (\\d+) Hz\nMeasured generic timer "
                      "frequency:\n((?:\\d+ Hz\n){%d})\nAverage: (\\d+\\.\\d) Hz\n" % SAMPLES)


def tickrate_out(reported, count):
    """tickrate's output with this reported frequency, and every count the same."""
    return ("Reported generic timer frequency: %s Hz\nMeasured generic timer frequency:\n%s"
            "\nAverage: %.1f Hz\n" % (reported, "%d Hz\n" % count * SAMPLES, count))


def tickrate_wrong(out, low, high, rate=None):
    """What is wrong with tickrate's nineteen lines, their average theirs to one decimal
    and each count within [low, high] times rate, or the reported frequency where rate is
    None; or None."""
    m = TICKRATE.fullmatch(out)
    counts = m and [int(c) for c in re.findall(r"\d+", m[2])]
    if not m or m[3] != "%.1f" % (sum(counts) / SAMPLES):
        return "output %r" % out
    rate = rate or int(m[1])
    return None if all(low * rate <= c <= high * rate for c in counts) else "counts %s" % counts


# The numbers the manual pages take from the sources, as the programs use them.
PAGE_NUMBERS = {"TIME_CALLS": DEFAULTS["time"]["c"], "TIME_LOOPS": DEFAULTS["time"]["l"],
                "FILE_CALLS": DEFAULTS["file"]["c"], "FILE_LOOPS": DEFAULTS["file"]["l"],
                "ROUNDS": DEFAULTS["time"]["r"], "pause_ms": PAUSE_MS, "xfer_size": XFER,
                "samples": SAMPLES}

# The board-lab runner's cases, in order, and the units of those with a figure.
LAB_CASES = ["latmeter", "latmeter-syscall", "latmeter-libc", "latmeter-mmap", "latmeter-read",
             "latmeter-vdso", "tickrate", "tickrate-reported", "tickrate-measured",
             "tickrate-agrees"]
UNITS = {"latmeter-syscall": "ns", "latmeter-libc": "ns", "latmeter-mmap": "ns",
         "latmeter-read": "ns", "tickrate-reported": "Hz", "tickrate-measured": "Hz"}
SAME_FREQUENCY = "tickrate-same-frequency"  # across CPUs
