"""Reads system-call traces, as strace and qemu-user's -strace write them."""
import re

LINE = re.compile(r"(?:\d+\s+)?(\w+)\((.*)\)\s*=\s*(-?\w+)")
ARG = re.compile(r'\s*("(?:[^"\\]|\\.)*"(?:\.\.\.)?|\{[^}]*\}|\[[^\]]*\]|[^,]+)')
MAP_ARGS = ["NULL", "65536", "PROT_READ", "MAP_PRIVATE"]


def syscalls(log):
    """[(name, [arg, ...], result)] for each complete call in the log."""
    calls = []
    for line in log.splitlines():
        m = LINE.match(line.strip())
        if m:
            name = "mmap" if m[1] == "mmap2" else m[1]
            calls.append((name, [a.strip() for a in ARG.findall(m[2])], m[3]))
    return calls


def file_calls(calls):
    """What was done with /dev/zero from its first open on, a word per call.

    A call on a descriptor or mapping the program does not hold is named
    with a '?', and whatever is still open at the end adds 'leak'."""
    words, fds, maps = [], set(), set()
    for name, args, ret in calls:
        if name in ("open", "openat") and '"/dev/zero"' in args:
            flags = set(args[args.index('"/dev/zero"') + 1].split("|"))
            if "O_RDONLY" not in flags or flags & {"O_WRONLY", "O_RDWR", "O_CREAT"}:
                words.append("open?")
            elif ret.startswith("-"):
                words.append("fail")
            else:
                words.append("open")
                fds.add(ret)
        elif not words:
            continue
        elif name == "mmap":
            if args[:4] != MAP_ARGS or args[4] not in fds or args[5] not in ("0", "0x0"):
                words.append("mmap?")
            elif ret.startswith("-"):
                words.append("nomap")
            else:
                words.append("mmap")
                maps.add(ret)
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
