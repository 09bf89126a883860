"""Reads system-call traces, as strace and qemu-user's -strace write them."""
import re

from promises import XFER

LINE = re.compile(r"(?:\d+\s+)?(\w+)\((.*)\)\s*=\s*(-?\w+|\?)")
# qemu writes a call, then what the program wrote to the same stream, then
# its result on a line of its own; a call that ends the program has none.
BEGUN = re.compile(r"(?:\d+\s+)?(\w+)\(([^)]*)\)")
ENDED = re.compile(r"=\s*(-?\w+|\?)")
UNKNOWN = re.compile(r"(?:\d+\s+)?Unknown syscall (\d+)$")  # qemu's, with no result after it
ARG = re.compile(r'\s*("(?:[^"\\]|\\.)*"(?:\.\.\.)?|\{[^}]*\}|\[[^\]]*\]|[^,]+)')
BYTES = str(XFER)  # what each file body asks for, as a trace writes it
MAP_ARGS = ["NULL", BYTES, "PROT_READ", "MAP_PRIVATE"]
CLOCK_READS = ("clock_gettime", "clock_gettime64")
SLEEPS = ("clock_nanosleep", "clock_nanosleep_time64", "nanosleep")  # the calls a sleep is made of
FILE_CALLS = ("open", "openat", "mmap", "munmap", "read", "close")
# What the C library does for itself before its first write to standard
# output (the stream's buffer, malloc's first key), and what the program does
# as it ends. A sanitizer's anonymous mappings are passed over too.
OWN_CALLS = ("fstat", "fstat64", "newfstatat", "fstatat64", "statx", "ioctl", "getrandom", "brk",
             "exit_group")


def syscalls(log):
    """[(name, [arg, ...], result)] for each call in the log; a result of '?' is none shown."""
    found = []
    for line in map(str.strip, log.splitlines()):
        m, unknown = LINE.match(line), UNKNOWN.match(line)
        if m:
            found.append(m.groups())
        elif unknown:
            found.append(("syscall_" + unknown[1], "", "?"))
        elif found and found[-1][2] is None and ENDED.match(line):
            found[-1] = (*found[-1][:2], ENDED.match(line)[1])
        elif BEGUN.match(line):
            found.append((*BEGUN.match(line).groups(), None))
    return [("mmap" if name == "mmap2" else name, [a.strip() for a in ARG.findall(args)],
             ret or "?") for name, args, ret in found]


def failed(call):
    """Whether a call gave an error, or no result that a trace shows."""
    return call[2].startswith("-") or call[2] == "?"


def output(call):
    return call[0] == "write" and call[1][:1] == ["1"]


def between_writes(calls, expected):
    """The calls from the first write to standard output to the last, and
    those of them that are neither such a write nor named in expected, or that
    failed."""
    writes = [i for i, call in enumerate(calls) if output(call)]
    span = calls[writes[0]:writes[-1] + 1] if writes else []
    return span, [c for c in span if failed(c) or not (output(c) or c[0] in expected)]


def acquire(ok, ret, held, word, failed_word):
    """The word for a call that hands out a descriptor or a mapping."""
    if not ok:
        return word + "?"
    if ret.startswith("-"):
        return failed_word
    held.add(ret)
    return word


def file_calls(calls):
    """What was done with /dev/zero from its first open on, a word per call.

    A call on a descriptor or mapping the program does not hold is named
    with a '?', and so is one that has no place here; a failed munmap or
    close is 'nounmap' or 'noclose'. Whatever is still open at the end adds
    'leak'. Writes to standard output and error, clock reads and sleeps are
    passed over."""
    words, fds, maps = [], set(), set()
    for name, args, ret in calls:
        if name in ("open", "openat") and '"/dev/zero"' in args:
            # Read-only and nothing else: O_NOATIME, say, fails for all but its
            # owner. A C library with 64-bit offsets on 32-bit Arm adds
            # O_LARGEFILE, which a 64-bit kernel takes as given anyway.
            flags = set(args[args.index('"/dev/zero"') + 1].split("|"))
            read_only = flags - {"O_LARGEFILE"} == {"O_RDONLY"}
            words.append(acquire(read_only, ret, fds, "open", "fail"))
        elif not words or name == "mmap" and "MAP_ANONYMOUS" in args[3]:
            continue  # memory of the runtime's own, such as a sanitizer's
        elif name == "mmap":
            ok = args[:4] == MAP_ARGS and args[4] in fds and args[5] in ("0", "0x0")
            words.append(acquire(ok, ret, maps, "mmap", "nomap"))
        elif name == "munmap":
            ok = args == [next(iter(maps), None), BYTES]
            words.append("nounmap" if ok and ret.startswith("-") else "munmap" if ok else "munmap?")
            maps.discard(args[0])
        elif name == "read":
            ok = args[0] in fds and args[2] == BYTES and ret in (BYTES, "0")
            words.append(("read" if ret == BYTES else "read0") if ok else "read?")
        elif name == "close":
            ok = args[0] in fds
            words.append("noclose" if ok and ret.startswith("-") else "close" if ok else "close?")
            fds.discard(args[0])
        elif not (name == "write" and args[0] in ("1", "2") or name in CLOCK_READS + SLEEPS
                  or name in OWN_CALLS):
            words.append(name + "?")
    return words + ["leak"] * bool(fds or maps)
