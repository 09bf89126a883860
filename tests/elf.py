"""Reads a built program's ELF file and machine code, with readelf and objdump."""
import bisect
import collections
import functools
import os
import re
import subprocess


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


def pages(*exes):
    """Loadable where pages are 4, 16 or 64 KiB: every LOAD segment aligned to 64 KiB."""
    ok = True
    for exe in exes:
        aligns = [int(a, 16) for a in re.findall(r"^\s*LOAD\s.*\s(0x[0-9a-f]+)$",
                                                 readelf("-l", exe), re.M)]
        print("%s: LOAD segments aligned %s" % (exe, ", ".join(map(hex, aligns))))
        ok = ok and bool(aligns) and min(aligns) >= 65536
    return ok


# An instruction as objdump shows it: operands without the label of the
# address they name (target), and objdump's comment apart.
Insn = collections.namedtuple("Insn", "addr op args operands target label comment")
ARCHES = {"elf64-x86-64": "x86", "elf64-littleaarch64": "aarch64", "elf32-littlearm": "arm"}
COMMENTS = {"x86": "#", "aarch64": "//", "arm": "\t@"}
ARM_CONDS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
X86_PREFIXES = {"cs", "ds", "es", "ss", "data16", "addr32", "lock", "rep", "repz", "repe", "repnz",
                "repne", "notrack", "bnd"}
# The calls each of latmeter's bodies makes, the ones its timed loop may make.
BODY_CALLS = {"syscall_time_mb": {"syscall"}, "libc_time_mb": {"clock_gettime"},
              "mmap_mb": {"open", "mmap", "memcpy", "munmap", "close"},
              "file_mb": {"open", "read", "close"}}


def disassembly(objdump, exe):
    """(the architecture, [(address, name, listing)] for each function in address order)."""
    text = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", exe], capture_output=True,
                          text=True, check=True).stdout
    heads = list(re.finditer(r"^([0-9a-f]+) <(.*)>:$", text, re.M)) + [None]
    return ARCHES[re.search(r"file format (\S+)", text)[1]], sorted(
        (int(h[1], 16), h[2], text[h.end():n and n.start()]) for h, n in zip(heads, heads[1:]))


@functools.lru_cache(maxsize=None)
def code(arch, listing):
    """A function's listing as [Insn]; read only for the functions a check looks at."""
    insns = []
    for addr, op, rest in re.findall(r"^ *([0-9a-f]+):\t(\S+)[ \t]*(.*)$", listing, re.M):
        args, _, comment = rest.partition(COMMENTS[arch])
        args = args.strip()
        t = re.search(r"\b([0-9a-f]+) <(.*)>$", args)
        insns.append(Insn(int(addr, 16), op, args, args[:t.end(1)] if t else args,
                          t and int(t[1], 16), t[2] if t else "", comment.strip()))
    return insns


def insn_at(arch, funcs, addr):
    """The instruction at an address, or None."""
    k = bisect.bisect_right([f[0] for f in funcs], addr) - 1
    return next((i for i in code(arch, funcs[k][2]) if i.addr == addr), None) if k >= 0 else None


def plain(name):
    """A C library function's own name, whichever alias, wrapper or clone a build calls."""
    name = re.sub(r"(@plt| \[clone [^]]*\]|\.(constprop|isra|part|lto_priv)\.\d+)+$", "", name)
    name = re.sub(r"^(__GI_|__libc_|_IO_|__)+", "", name)
    return re.sub(r"(?<=[a-z])64$", "", name)


def x86_op(i):
    """(mnemonic, operands), past any prefix."""
    op, operands = i.op, i.operands
    while op in X86_PREFIXES and operands:
        op, _, operands = operands.partition(" ")
    return op, operands.strip()


def flow(arch, i):
    """How control leaves an instruction: (next, jump, call, indirect, return or trap,
    whether it may fall through instead). Jumps and calls are direct, to i.target."""
    if arch == "x86":
        op, operands = x86_op(i)
        if re.fullmatch(r"(call|jmp)[lqw]?", op):
            return ("indirect" if operands.startswith("*") else
                    "call" if op.startswith("c") else "jump"), False
        if re.fullmatch(r"j[a-z]+|loop[a-z]*", op):
            return "jump", True
        if re.fullmatch(r"i?ret[lqw]?|sysret[lq]?", op):
            return "return", False
        return "trap" if op in ("syscall", "sysenter", "int") else "next", False
    if arch == "aarch64":
        if re.fullmatch(r"b|bc?\..*|cbn?z|tbn?z", i.op):
            return "jump", i.op != "b"
        if i.op == "bl":
            return "call", False
        if re.fullmatch(r"blr\w*|br(a\w*)?", i.op):
            return "indirect", False
        if re.fullmatch(r"e?ret\w*", i.op):
            return "return", False
        return "trap" if i.op == "svc" else "next", False
    op = re.sub(r"\.[nw]$", "", i.op)
    cond = bool(re.search(r"(%s)$" % ARM_CONDS, op))
    m = re.fullmatch(r"(b|bl|blx|bx)(%s)?" % ARM_CONDS, op)
    if m and m[1] == "bx" or m and m[1] == "blx" and i.target is None:
        return "return" if i.operands == "lr" else "indirect", cond
    if m:
        return "jump" if m[1] == "b" else "call", m[1] == "b" and m[2] not in (None, "al")
    if op in ("cbz", "cbnz"):
        return "jump", True
    first = i.operands.split(",")[0]
    if re.match(r"(pop|ldm)", op) and re.search(r"\bpc\}", i.operands) or first == "pc":
        popped = re.match(r"(pop|ldm)", op) or re.match(r"pc, \[sp\], #4$|pc, lr$", i.operands)
        return "return" if popped else "indirect", cond
    if re.match(r"tb[bh]", op):
        return "indirect", False
    return "trap" if op == "svc" else "next", False


def access(arch, i, insns):
    """What memory an instruction reads or writes: None, stack, literal (a constant of the
    function's own, read relative to the pc; Arm only) or other."""
    if arch == "x86":
        op, operands = x86_op(i)
        if op.startswith("nop") or re.fullmatch(r"lea[lqw]?", op) or flow(arch, i)[0] == "jump":
            return None
        refs = re.findall(r"\(([^),]*)", operands)
        if re.search(r"%[fg]s:", operands) or re.search(r"(^|,)-?0x[0-9a-f]+(,|$)", operands):
            return "other"
        if any(r not in ("%rsp", "%esp") for r in refs):
            return "other"
        return "stack" if refs or re.fullmatch(r"(push|pop|call|ret|leave|enter)\w*", op) else None
    op = re.sub(r"\.[nw]$", "", i.op)
    memory = (r"(ld|st|prf|cas|swp)" if arch == "aarch64" else
              r"(v?ld|v?st|v?push|v?pop|pl[di]|tb[bh]|swp)")
    if not re.match(memory, op):
        return None
    if re.search(r"\[sp\b", i.operands) or re.match(r"v?(push|pop)", op) or (
            re.match(r"(ldm|stm|vldm|vstm)", op) and re.match(r"sp!?,", i.operands)):
        return "stack"
    if arch == "aarch64":
        where = "[" not in i.operands and i.target
    else:
        where = re.search(r"\[pc(, #-?\d+)?\]$", i.operands) and re.search(r"([0-9a-f]+) <",
                                                                          i.comment)
        where = where and int(where[1], 16)
    return "literal" if where and insns[0].addr <= where <= insns[-1].addr else "other"


def graph(arch, insns):
    """For each instruction, the indices of those that may run next within the function."""
    index = {i.addr: n for n, i in enumerate(insns)}
    after = []
    for n, i in enumerate(insns):
        kind, falls = flow(arch, i)
        goes = [index[i.target]] if kind == "jump" and i.target in index else []
        if n + 1 < len(insns) and (falls or kind in ("next", "call", "trap")):
            goes.append(n + 1)
        after.append(goes)
    return after


def walk(after, starts, stops):
    """(the instructions reached from starts without passing one of stops, the stops reached)."""
    seen, hit, todo = set(), set(), list(starts)
    while todo:
        n = todo.pop()
        if n in stops:
            hit.add(n)
        elif n not in seen:
            seen.add(n)
            todo += after[n]
    return seen, hit


def timed_region(arch, insns, is_read):
    """(the start reads, the end reads, the instructions between them), as indices of insns.
    The start reads are the reads first reached from the function's entry, or from an end
    read; the end reads, those reached from a start read whence a start read is reached
    again without passing another read (the reads of a body that reads the clock itself
    lead only to one another or to an end read); the region, what may run after a start
    read before an end read."""
    after = graph(arch, insns)
    reads = {n for n, i in enumerate(insns) if is_read(i)}
    exits = {n for n, goes in enumerate(after) if not goes}

    def onward(ns, stops):
        return walk(after, [m for n in ns for m in after[n]], stops)

    def ends_of(starts, out):
        return {n for n in onward(starts, set())[0] & reads
                if onward([n], reads)[1] & starts or out and onward([n], reads)[0] & exits}
    starts = walk(after, [0], reads)[1]
    while True:
        # Where a compiler has copied the start read to the loop's foot, only that copy
        # follows an end read, which is then known by leading out of the function.
        ends = ends_of(starts, False) or ends_of(starts, True)
        more = starts | onward(ends, reads)[1] - ends
        if more == starts:
            return starts, ends, sorted(onward(starts, ends)[0])
        starts = more


def off_limits(arch, insns, i):
    """Why an instruction has no place in a timed region whatever it times, or None."""
    kind = flow(arch, i)[0]
    if kind in ("indirect", "return", "trap"):
        return {"indirect": "an indirect branch or call", "return": "a return",
                "trap": "a system call of its own"}[kind]
    if kind == "jump" and not any(j.addr == i.target for j in insns):
        return "a branch out of the function"
    if access(arch, i, insns) == "other":
        return "a load or store off the stack"
    return None


@functools.lru_cache(maxsize=None)
def elf_tables(exe):
    """(the LOAD segments as (offset, address, size), {IRELATIVE slot: its resolver or
    None where the slot holds it}, {IFUNC symbol's value: names})."""
    text = readelf("-l", "-r", "-s", exe)
    loads = [tuple(int(x, 16) for x in m) for m in re.findall(
        r"^\s*LOAD\s+(0x[0-9a-f]+) (0x[0-9a-f]+) 0x[0-9a-f]+ (0x[0-9a-f]+)", text, re.M)]
    slots = {int(slot, 16): addend and int(addend, 16) for slot, addend in re.findall(
        r"^([0-9a-f]+) +[0-9a-f]+ +R_\w+_IRELATIVE\b *([0-9a-f]*)$", text, re.M)}
    ifuncs = collections.defaultdict(set)
    for value, name in re.findall(r"^ *\d+: ([0-9a-f]+) +\S+ IFUNC .* (\S+)$", text, re.M):
        ifuncs[int(value, 16)].add(name)
    return loads, slots, ifuncs


def word_at(exe, addr):
    """The 32-bit little-endian word a program's file holds for an address, or None."""
    for offset, start, size in elf_tables(exe)[0]:
        if start <= addr <= start + size - 4:
            with open(exe, "rb") as f:
                f.seek(offset + addr - start)
                return int.from_bytes(f.read(4), "little")
    return None


def arm_imm(text):
    """An Arm immediate as objdump writes it: #value or #value, rotation."""
    v, _, r = text.lstrip("#").partition(", ")
    v, r = int(v, 0), int(r or 0)
    return (v >> r | v << (32 - r)) & 0xffffffff


def stub_slot(arch, funcs, addr):
    """The GOT slot the IFUNC stub at addr jumps through, from the stub's own code, or None."""
    def at(k):
        return insn_at(arch, funcs, addr + 4 * k) or Insn(0, "", "", "", None, "", "")
    if arch == "aarch64":  # adrp page; ldr offset from it; add; br
        page, load, _, jump = [at(k) for k in range(4)]
        m = re.fullmatch(r"(x\d+), \[(x\d+)(?:, #(\w+))?\]", load.operands)
        if (page.op, load.op, jump.op) == ("adrp", "ldr", "br") and m and jump.operands == m[1] \
                and page.operands.startswith(m[2] + ","):
            return page.target + int(m[3] or "0", 0)
    elif arch == "arm":  # a Thumb caller may enter at a bx pc, ahead of the ARM code
        if (at(0).op, at(0).operands) == ("bx", "pc"):
            addr += 4
        hi, lo, jump = [at(k) for k in range(3)]
        a = re.fullmatch(r"ip, pc, (#.*)", hi.operands)
        b = re.fullmatch(r"ip, ip, (#.*)", lo.operands)
        c = re.fullmatch(r"pc, \[ip, #(\d+)\]!", jump.operands)
        if (hi.op, lo.op, jump.op) == ("add", "add", "ldr") and a and b and c:
            return addr + 8 + arm_imm(a[1]) + arm_imm(b[1]) + int(c[1])  # pc reads 8 ahead
    return None


def callee(arch, funcs, exe, i):
    """The plain name of what a direct call reaches: the symbol it names, or the IFUNC
    whose resolver fills the slot that the stub it names jumps through; None if the stub
    does not resolve so."""
    if not re.search(r"\+0x|^\*ABS\*|^\.", i.label):  # a symbol, not a place in a section
        return plain(i.label)
    slot = stub_slot(arch, funcs, i.target)
    _, slots, ifuncs = elf_tables(exe)
    # RELA holds the resolver in the addend, REL in the slot itself.
    resolver = slot in slots and (slots[slot] or word_at(exe, slot))
    names = {plain(n) for n in ifuncs.get(resolver, ())}
    return names.pop() if len(names) == 1 else None


def said(func, i):
    """An instruction of a function, as a failure names it."""
    return "%s: %x: %s" % (func, i.addr, " ".join(filter(None, (i.op, i.args))))


def loops(objdump, exe):
    """Between the clock reads of each of latmeter's timed loops, the counted calls, every
    one of them, and the loop's own counting: no other call, no indirect branch, no return,
    no branch out, no load or store but on the stack or of the function's own constants."""
    arch, funcs = disassembly(objdump, exe)

    def call_to(i):
        return flow(arch, i)[0] == "call" and callee(arch, funcs, exe, i)

    ok = True
    for body, wanted in sorted(BODY_CALLS.items()):
        # Clones and parts of the harness that read no clock time nothing.
        found = [(name, code(arch, listing)) for _, name, listing in funcs
                 if re.search(r"\brun_bench_ns<&\(?%s\b" % body, name)]
        found = [(name, insns) for name, insns in found
                 if any(call_to(i) == "clock_gettime" for i in insns)]
        if not found:
            print("%s: no run_bench_ns<%s> that reads the clock" % (exe, body))
            ok = False
        for name, insns in found:
            starts, ends, region = timed_region(
                arch, insns, lambda i: call_to(i) == "clock_gettime")
            made = set()
            for n in region:
                i = insns[n]
                why = off_limits(arch, insns, i)
                if n in starts:
                    why = "the start read again, before an end read"
                elif not why and flow(arch, i)[0] == "call":
                    made.add(call_to(i))
                    if not call_to(i):
                        why = "a call through a stub that does not resolve to an IFUNC"
                    elif call_to(i) not in wanted:
                        why = "a call to %s, not one of the body's (%s)" % (
                            call_to(i), ", ".join(sorted(wanted)))
                if why:
                    print("%s: %s: %s" % (exe, said(name, i), why))
                    ok = False
            if not ends:
                print("%s: %s: no end read" % (exe, name))
                ok = False
            elif wanted - made:
                print("%s: %s: no call to %s between the reads" % (
                    exe, name, ", ".join(sorted(wanted - made))))
                ok = False
            print("%s: %s: %d instructions timed, from %s to %s, calling %s" % (
                exe, name, len(region), ", ".join("%x" % insns[n].addr for n in sorted(starts)),
                ", ".join("%x" % insns[n].addr for n in sorted(ends)),
                ", ".join(sorted(c or "?" for c in made))))
    return ok

