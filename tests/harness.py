#!/usr/bin/env python3
"""The suite's one harness: it runs a test module's groups, and every program
and command that they run, in surroundings of the suite's own.

usage: harness.py MODULE GROUP [--NAME VALUE]...

MODULE is tests/MODULE_test.py, GROUP a class of it marked '# group', or
'all' of them. Each --NAME VALUE sets harness.opt.NAME; --program PATH adds
to opt.programs, by the file's name, --extra to a list, and --emu gives
the emulator's command line. Whatever the suite makes is its own: a folder under
/tmp, a PATH of the commands that cmake/packages.sh gives the suite and
the base system's, a C locale, UTC, a HOME with no git configuration of
the user's, and none of the user's other variables.
"""
import argparse
import atexit
import importlib
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FETCHED = os.path.join(TOP, "build", "fetched")  # what `make test` fetches from Debian's Arm packages
PACKAGES = ["sh", os.path.join(TOP, "cmake", "packages.sh")]
SKIP = 77  # every test's SKIP_RETURN_CODE: ctest reports the test as skipped
NOT_HERE = "cannot run here: "  # the reason of a skip that SKIP reports
KEPT = ("TOOLS_LINKAGE",)  # what the test presets set for the suite


class Options(argparse.Namespace):
    """The harness's options: None where not given."""

    def __getattr__(self, name):
        return None


opt = Options(emu=[], programs={})
TMP = None  # the suite's own folder, made by main


def folder(test=None, name=None):
    """A new folder in the suite's own, removed after the test where one is given."""
    path = tempfile.mkdtemp(dir=TMP) if name is None else os.path.join(TMP, name)
    os.makedirs(path, exist_ok=True)
    if test:
        test.addCleanup(shutil.rmtree, path, True)
    return path


def sh(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def bare_path(where, commands):
    """where, made a PATH that holds these {command: program} links alone; given names
    alone, the programs that the suite's PATH finds for them."""
    if not isinstance(commands, dict):
        commands = {c: shutil.which(c) for c in commands if shutil.which(c)}
    os.makedirs(where, exist_ok=True)
    for command, program in commands.items():
        if not os.path.lexists(os.path.join(where, command)):
            os.symlink(program, os.path.join(where, command))
    return where


def work_commit(date=None):
    """A commit of the checkout's tracked files as they are, uncommitted changes and all,
    dated so where a date is given."""
    work = sh("git", "stash", "create", cwd=TOP, check=True).stdout.strip() or "HEAD"
    dates = dict.fromkeys(("GIT_AUTHOR_DATE", "GIT_COMMITTER_DATE"), date) if date else {}
    return sh("git", "commit-tree", "-p", "HEAD", "-m", "check", work + "^{tree}", cwd=TOP,
              check=True, env=dict(os.environ, **dates)).stdout.strip()


def clone(commit, into, umask=0o022):
    """A fresh clone of the checkout at commit, checked out under this umask."""
    for cmd in (["clone", "-q", "--shared", "--no-checkout", TOP, into],
                ["-C", into, "checkout", "-q", "--detach", commit]):
        subprocess.run(["git", *cmd], check=True, preexec_fn=lambda: os.umask(umask))
    return into


def installed():
    """{package: (priority, [packages it depends on, any of alternatives])} of those
    installed, with a virtual package's providers."""
    text = sh("dpkg-query", "-W", "-f", "${Package}\t${db:Status-Abbrev}\t${Priority}\t"
              "${Pre-Depends}, ${Depends}\t${Provides}\n", check=True).stdout
    found, providers = {}, {}
    for name, status, priority, needs, provides in (l.split("\t") for l in text.splitlines()):
        if status.startswith("ii"):
            found[name] = (priority, re.findall(r"([\w.+-]+)(?::\w+)?(?: \([^)]*\))?", needs))
            for virtual in re.findall(r"([\w.+-]+)(?: \([^)]*\))?", provides):
                providers.setdefault(virtual, []).append(name)
    return {n: (p, [d for dep in deps for d in providers.get(dep, []) + [dep] if d in found])
            for n, (p, deps) in found.items()}


def programs_of(packages):
    """{command: program} of these packages' files in bin folders, and the alternatives
    that they give a candidate for, as this machine has chosen it: awk, whichever."""
    files = set(sh("dpkg-query", "-L", *packages).stdout.split())
    commands = {os.path.basename(f): f for f in sorted(files)
                if re.fullmatch(r"(/usr)?/s?bin/[^/]+", f) and os.access(f, os.X_OK)}
    admin = "/var/lib/dpkg/alternatives"
    for name in os.listdir(admin) if os.path.isdir(admin) else []:
        with open(os.path.join(admin, name)) as f:
            text = f.read().split("\n")
        link = text[1] if len(text) > 1 else ""
        if re.fullmatch(r"(/usr)?/s?bin/[^/]+", link) and files & set(text[2:]) \
                and os.path.exists(link):
            commands[name] = link
    return commands


def base_commands(exclude=()):
    """{command: program} of the base system: Debian's required packages, less exclude."""
    have = installed()
    return programs_of([p for p, (priority, _) in have.items()
                        if priority == "required" and p not in exclude])


def suite_path():
    """A PATH of the commands the suite may run: those of the packages that the package
    script installs for it, and of what they depend on, the base system's, and make,
    which runs it. Where there is no dpkg, the machine's PATH."""
    if not shutil.which("dpkg-query"):
        return os.environ["PATH"]
    have = installed()
    named = sh(*PACKAGES, "packages", "test", check=True).stdout.split()
    todo = [p for p in have if have[p][0] == "required" or p in named or any(
        n.startswith("~") and re.search(n[1:], p) for n in named)]
    seen = set()
    while todo:
        p = todo.pop()
        if p not in seen:
            seen.add(p)
            todo += have[p][1]
    commands = programs_of(sorted(seen))
    for own in ("make", "sudo"):  # what runs the suite, and what lava-run may need
        commands.setdefault(own, shutil.which(own))
    return bare_path(os.path.join(TMP, "path"), {c: p for c, p in commands.items() if p})


def isolate():
    """This process and all it starts, in the suite's own surroundings."""
    home = folder(name="home")
    with open(os.path.join(home, ".gitconfig"), "w") as f:
        f.write("[safe]\n\tdirectory = *\n[user]\n\tname = latmeter-tools check\n"
                "\temail = check@example.invalid\n[init]\n\tdefaultBranch = main\n")
    env = {k: os.environ[k] for k in KEPT if k in os.environ}
    path = os.path.join(TMP, "path")  # made already where this process was started anew
    env.update(PATH=path if os.path.isdir(path) else suite_path(), HOME=home, TMPDIR=TMP, LC_ALL="C", TZ="UTC",
               GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=os.path.join(home, ".gitconfig"))
    os.environ.clear()
    os.environ.update(env)
    os.umask(0o022)


def program(args, *, prefix=(), env=None, stdout=subprocess.PIPE, exe=None, timeout=120):
    """(status, standard output, standard error) of the program under test (opt.exe, or
    exe), under its emulator, after prefix."""
    p = subprocess.run([*prefix, *opt.emu, exe or opt.exe, *args], stdout=stdout,
                       stderr=subprocess.PIPE, timeout=timeout, env=env)
    return p.returncode, (p.stdout or b"").decode(), p.stderr.decode()


def preload(lib, *assignments):
    """A prefix that runs the program under test with lib preloaded into it alone, not
    into the commands that start it, and with these NAME=VALUE set: from a path of the
    suite's own, since the loader splits a path at a space."""
    link = os.path.join(folder(name="preload"), os.path.basename(lib))
    if not os.path.lexists(link):
        os.symlink(os.path.abspath(lib), link)
    # A sanitizer's runtime would rather come first.
    sets = ["LD_PRELOAD=" + link, "ASAN_OPTIONS=verify_asan_link_order=0", *assignments]
    return ["env", *(["QEMU_SET_ENV=" + ",".join(sets)] if opt.emu else sets)]


UNSHARE = []  # how this machine gives a private mount namespace, once found


def private_mount(test, *mounts):
    """A prefix that runs the rest with these mounts (each a list of words) made in a
    private namespace: in a user namespace of its own where the kernel allows one, so
    that a user runs what root does; as root, without one, where not."""
    if not UNSHARE:
        UNSHARE.extend(next((cmd for cmd in (["unshare", "-rm"], ["unshare", "-m"])
                             if shutil.which("unshare") and subprocess.run(
                                 [*cmd, "mount", "-t", "tmpfs", "none", "/mnt"],
                                 capture_output=True).returncode == 0), ["none"]))
    if UNSHARE == ["none"]:
        not_here(test, "no private mount namespace: no user namespace to have one in, "
                 "and not root")
    script = " && ".join(" ".join(map(shlex.quote, m)) for m in mounts)
    return [*UNSHARE, "sh", "-c", script + ' && exec "$@"', "sh"]


def not_here(test, why):
    """Skips a case that the build has but this machine cannot run, so that its
    script ends with SKIP, not with a pass."""
    test.skipTest(NOT_HERE + why)


def run_cases(*cases):
    """The exit status of running these TestCase classes: 1 where one failed, SKIP where
    one could not run here, else 0."""
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in cases)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    return SKIP if any(why.startswith(NOT_HERE) for _, why in result.skipped) else 0


# The guests: Debian's own Arm kernels, from the newest installer here, booted under
# qemu-system; the 16 KiB one is fetched. Under -icount a guest's clock counts
# executed instructions, so its figures repeat and a sleep takes no real time.
IMAGES = "/usr/lib/debian-installer/images/"
IMAGES += max((d for d in os.listdir(IMAGES) if d.isdigit()), key=int, default="none") \
    if os.path.isdir(IMAGES) else "none"
KERNELS = {
    "arm64": ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a53",
              "-kernel", IMAGES + "/arm64/text/debian-installer/arm64/linux"],
    "armhf": ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15",
              "-kernel", IMAGES + "/armhf/text/debian-installer/armhf/vmlinuz"],
    # 16 KiB pages, a granule that cortex-a53 lacks.
    "arm64-16k": ["qemu-system-aarch64", "-M", "virt", "-cpu", "max",
                  "-kernel", os.path.join(FETCHED, "vmlinuz-arm64-16k")],
}
ICOUNT = ["-icount", "shift=0,sleep=off"]
QEMU = ["-m", "512", "-nographic", "-no-reboot", "-nic", "none", *ICOUNT,
        "-append", "console=ttyAMA0 rdinit=/init panic=-1 loglevel=1"]


def cpio(entries):
    """An uncompressed newc archive of (name, mode, data, device) entries."""
    blob = b""
    for i, (name, mode, data, dev) in enumerate(entries + [("TRAILER!!!", 0, b"", 0)]):
        fields = (i + 1, mode, 0, 0, 1, 0, len(data), 0, 0, dev >> 8, dev & 255, len(name) + 1, 0)
        blob += b"070701" + b"".join(b"%08X" % f for f in fields) + name.encode() + b"\0"
        blob += b"\0" * (-len(blob) % 4) + data
        blob += b"\0" * (-len(blob) % 4)
    return blob


def directory(name):
    return (name, stat.S_IFDIR | 0o755, b"", 0)


WRONG_HZ = 50000000  # the timer frequency that a faulty board declares


def faulty_dtb(cmd, prop, path):
    """Writes qemu's device tree for this machine to path, with prop added to its timer
    node: a faulty board."""
    machine = cmd.index("virt")
    dump = cmd[:machine] + ["virt,dumpdtb=" + path] + cmd[machine + 1:]
    subprocess.run(dump, stdin=subprocess.DEVNULL, capture_output=True, check=True)
    dts = sh("dtc", "-q", "-I", "dtb", "-O", "dts", path, check=True).stdout
    dts, found = re.subn(r"^(\s*)timer \{\n", lambda m: m[0] + m[1] + "\t" + prop + "\n", dts,
                         flags=re.M)
    assert found == 1, "no single timer node"
    sh("dtc", "-q", "-I", "dts", "-O", "dtb", "-o", path, input=dts, check=True)
    return path


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__.split("\n\n")[1])
    module, groups, words = argv[0], argv[1].split(","), argv[2:]
    while words:  # an empty value, as CMake drops it, is none
        name = words.pop(0)[2:].replace("-", "_")
        value = words.pop(0) if words and not words[0].startswith("--") else ""
        if name == "program":
            opt.programs[os.path.basename(value)] = value
        elif name == "extra":
            opt.extra = (opt.extra or []) + [value]
        elif name == "emu":
            opt.emu = shlex.split(value)
        else:
            setattr(opt, name, int(value) if name in ("bits", "seed", "lines") else value)
    opt.exe = opt.programs.get("latmeter")
    global TMP
    # Never the user's TMPDIR; a process started anew under another Python is given it.
    TMP = opt.suite_folder or tempfile.mkdtemp(prefix="latmeter-tools-", dir="/tmp")
    atexit.register(shutil.rmtree, TMP, True)
    users = dict(os.environ)
    isolate()
    # Under the Python that the suite's packages give, not a user's own.
    python = os.path.realpath(shutil.which("python3") or sys.executable)
    if python != os.path.realpath(sys.executable):
        os.execve(python, [python, "-E", "-s", *sys.argv, "--suite-folder", TMP], users)
    tests = importlib.import_module(module + "_test")
    if groups == ["all"]:
        with open(tests.__file__) as f:
            groups = re.findall(r"^class (\w+)\(.*# group", f.read(), re.M)
    return run_cases(*[getattr(tests, g) for g in groups])


if __name__ == "__main__":
    import harness  # the one copy that the test modules import too
    sys.exit(harness.main(sys.argv[1:]))
