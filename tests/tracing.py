"""Reads system-call traces, as strace and qemu-user's -strace write them."""
import re

LINE = re.compile(r"(?:\d+\s+)?(\w+)\((.*)\)\s*=\s*(-?\w+)")
ARG = re.compile(r'\s*("(?:[^"\\]|\\.)*"(?:\.\.\.)?|\{[^}]*\}|\[[^\]]*\]|[^,]+)')
MAP_ARGS = ["NULL", "65536", "PROT_READ", "MAP_PRIVATE"]
SLEEPS = ("clock_nanosleep", "nanosleep")  # the calls a sleep is made of


def syscalls(log):
    """[(name, [arg, ...], result)] for each complete call in the log."""
    calls = []
    for line in log.splitlines():
        m = LINE.match(line.strip())
        if m:
            name = "mmap" if m[1] == "mmap2" else m[1]
            calls.append((name, [a.strip() for a in ARG.findall(m[2])], m[3]))
    return calls


def acquire(ok, ret, held, word, failed):
    """The word for a call that hands out a descriptor or a mapping."""
    if not ok:
        return word + "?"
    if ret.startswith("-"):
        return failed
    held.add(ret)
    return word


def file_calls(calls):
    """What was done with /dev/zero from its first open on, a word per call.

    A call on a descriptor or mapping the program does not hold is named
    with a '?', and whatever is still open at the end adds 'leak'."""
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
            ok = args == [next(iter(maps), None), "65536"]
            words.append("munmap" if ok else "munmap?")
            maps.discard(args[0])
        elif name == "read":
            ok = args[0] in fds and args[2] == "65536" and ret in ("65536", "0")
            words.append(("read" if ret == "65536" else "read0") if ok else "read?")
        elif name == "close":
            words.append("close" if args[0] in fds else "close?")
            fds.discard(args[0])
    return words + ["leak"] * bool(fds or maps)
