#!/usr/bin/env python3
"""The board-lab runner, lava/latmeter-tools.sh: natively on its own (Runner), and
a job of lava/ (--job) under Debian's LAVA dispatcher on Debian's Arm kernels under
qemu (Job)."""
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tarfile
import unittest

from harness import (FETCHED, ICOUNT, KERNELS, NOT_HERE, TOP, WRONG_HZ, bare_path, cpio,
                     directory, faulty_dtb, folder, not_here, opt, private_mount, sh)
from promises import LAB_CASES as CASES, SAME_FREQUENCY, UNITS, latmeter_out, tickrate_out

DEFINITION = "0_latmeter-tools"  # as lava-run names the job's one test definition
# dash, busybox's, and a phone's: mksh with toybox's commands and the one true awk
SHELLS = ["sh", "busybox sh", "phone"]
# What a stand-in prints for the CPUs it may run on.
ON_CPU = "$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/self/status)"
# The results of a run with only the time section.
ALL_TIME = ["pass"] * 3 + ["skip"] * 2 + ["pass"] * 5
# A vDSO without clock_gettime, and a kernel that keeps time at 50 MHz.
FAULTS = "arm,cpu-registers-not-fw-configured; clock-frequency = <%d>;" % WRONG_HZ
# A lab's dictionary for a qemu device, which the server renders through its
# own device-type templates with each job's context. What the suite adds to a
# lab's goes there, as an admin's would: guests whose clocks count instructions.
DEVICE = """{%% extends 'qemu.jinja2' %%}
{%% set mac_addr = '52:54:00:12:34:59' %%}
{%% set extra_options = (extra_options or []) + ['%s'] %%}
""" % " ".join(ICOUNT)
# The shell's own start, with /dev and /proc, on the console. The console
# is opened anew: newer dispatchers repack the ramdisk under fakeroot, which
# leaves its /dev/console a plain file.
INIT = b"#!/bin/sh\nmount -t devtmpfs dev /dev\nmount -t proc proc /proc\n" \
    b"exec /bin/sh </dev/console >/dev/console 2>&1\n"


def ramdisk(kernel, tmp):
    """The ramdisk that board-labs.md makes: Debian's static busybox with a link for each
    of its applets, and an init that starts its shell on the console."""
    busybox = os.path.join(FETCHED, "busybox-" + kernel)
    qemu = {"arm64": "qemu-aarch64", "armhf": "qemu-arm"}[kernel]
    applets = set(sh(qemu, busybox, "--list", check=True).stdout.split()) - {"busybox"}
    with open(busybox, "rb") as f:
        out = [directory(d) for d in ("bin", "dev", "proc", "tmp")]
        out.append(("bin/busybox", stat.S_IFREG | 0o755, f.read(), 0))
    out += [("bin/" + a, stat.S_IFLNK | 0o777, b"busybox", 0) for a in sorted(applets)]
    # No device node: lava-run unpacks the ramdisk, and in a user namespace
    # it may make none. The kernel's own initramfs has the console's.
    out.append(("init", stat.S_IFREG | 0o755, INIT, 0))
    path = os.path.join(tmp, "ramdisk.cpio")
    with open(path, "wb") as f:
        f.write(cpio(out))
    return path


def results(log):
    """{case: (result, measurement, units)} of the test definition, and the
    definition's own result, from lava-run's log."""
    found = {}
    for line in log.splitlines():
        if '"lvl": "results"' not in line:
            continue
        # Each dispatcher release orders the fields its own way.
        field = dict(re.findall(r'"(\w+)": (?:! )?"?([^",}]*)', line))
        if DEFINITION not in (field.get("definition"), field["case"]):
            continue
        found[field["case"]] = (field["result"], float(field["measurement"]) if "measurement" in field
                                else None, field.get("units"))
    return found


class Job(unittest.TestCase):
    """The job named by its file: job-KERNEL[-faulty|-smp].yaml."""

    @classmethod
    def setUpClass(cls):
        name = os.path.basename(opt.job)
        opt.kernel = re.match(r"job-(\w+)", name)[1]
        opt.faulty = "-faulty" in name
        with open(opt.job) as f:
            job = f.read()
        opt.smp = int((re.search(r"-smp (\d+)", job) or [0, 1])[1])
        opt.log = run_job(job)
        opt.results = results(opt.log)
        # A job names the CPUs of its device: on one with a CPU fewer, it must fail.
        if opt.smp > 1:
            opt.fewer = results(run_job(job.replace("-smp %d" % opt.smp, "-smp %d" % (opt.smp - 1))))
        for case, (result, value, units) in sorted(opt.results.items()):
            print("%-18s %s" % (case, result) + (" %s %s" % (value, units) if units else ""))

    def test_cases_and_verdicts(self):
        got = opt.results
        suffixes = ["-cpu%d" % n for n in range(opt.smp)] if opt.smp > 1 else [""]
        self.assertEqual(sorted(got), sorted([c + s for s in suffixes for c in CASES] + [DEFINITION] +
                                             [SAME_FREQUENCY] * (opt.smp > 1)),
                         opt.log[-3000:])
        # Failed cases or not, the definition itself ends as a pass: its
        # run.sh stops at a non-zero status, and the job with it.
        self.assertEqual(got[DEFINITION][0], "pass")
        failing = {"latmeter-vdso", "tickrate-agrees"} if opt.faulty else set()
        for sfx in suffixes:
            for case in CASES:
                result, value, units = got[case + sfx]
                self.assertEqual(result, "fail" if case in failing else "pass", case + sfx)
                self.assertEqual((value is not None, units), (case in UNITS, UNITS.get(case)))
            # The counter's own rate, or the wrong one the faulty board's kernel keeps time at.
            measured, reported = got["tickrate-measured" + sfx][1], got["tickrate-reported" + sfx][1]
            self.assertTrue(1 <= measured / (WRONG_HZ if opt.faulty else reported) < 1.1, measured)
        if opt.smp > 1:
            self.assertEqual(got[SAME_FREQUENCY][0], "pass")
            self.assertIn("fail", [r for r, _, _ in opt.fewer.values()], opt.fewer)


# Read-only, and still holding the checkout where that is under /tmp; with
# the mounts beneath it, which a user namespace may not uncover.
NO_TMP = [["mount", "--rbind", "/tmp", "/tmp"], ["mount", "-o", "remount,bind,ro", "/tmp"]]


def stand_in(bindir, name, out, status=0, mode=0o755):
    """A program that prints out, and its arguments on standard error."""
    path = os.path.join(bindir, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\nfor a; do printf '<%%s>' \"$a\" >&2; done\nprintf '%%s' \"%s\"\nexit %d\n"
                % (out, status))
    os.chmod(path, mode)


def latmeter(syscall, libc):
    return latmeter_out(syscall, libc, 52119, 42097)


class Runner(unittest.TestCase):  # group: native uninstrumented
    """Outside LAVA, one line a case, under each shell, with no TMPDIR and a
    read-only /tmp: on the real latmeter, and on stand-ins that print what
    the test chooses."""

    def setUp(self):
        self.no_tmp = private_mount(self, *NO_TMP)
        self.bindir = os.path.dirname(opt.exe)
        # Beside the build, outside the read-only /tmp.
        self.stand_ins = os.path.join(os.path.dirname(self.bindir), "stand-ins-%d" % os.getpid())
        os.mkdir(self.stand_ins)
        self.addCleanup(shutil.rmtree, self.stand_ins)

    def run_script(self, bindir, args, shell="sh", mount=None, path=None, **env):
        """Its lines, split into words, and its standard error; with mount,
        in a namespace of its own with that mount too; with path, on that
        PATH alone. Its status must be 1 where a case failed, else 0."""
        env = dict(os.environ, BINDIR=bindir, LATMETER_ARGS=args, **env)
        env.pop("TMPDIR", None)
        prefix = private_mount(self, *NO_TMP, *mount) if mount else self.no_tmp
        if shell == "phone":
            shell, path = "mksh", path or self.phone()
        shell = shell.split()
        shell[0] = shutil.which(shell[0])  # whatever PATH the script gets
        on_path = ["env", "PATH=" + path] if path else []
        p = subprocess.run([*prefix, *on_path, *shell, opt.script], env=env,
                           capture_output=True, text=True, timeout=60)
        lines = [line.split(" ") for line in p.stdout.splitlines()]
        self.assertEqual(p.returncode, int(["fail"] in [line[1:2] for line in lines]), p.stderr)
        return lines, p.stderr

    def phone(self):
        """A PATH that holds a phone's commands alone: toybox's, and the one true awk."""
        toybox = shutil.which("toybox")
        if not toybox:
            not_here(self, "no toybox here: this release does not package it, so the runner is "
                     "not tried on a phone's userland")
        applets = subprocess.run([toybox], capture_output=True, text=True, check=True).stdout.split()
        links = {**dict.fromkeys(applets, toybox), "awk": shutil.which("original-awk")}
        return bare_path(os.path.join(self.stand_ins, "phone"), links)

    def test_figures_and_skipped_cases(self):
        for shell in SHELLS:
            # -m in two of the ways latmeter takes it that the others do not show
            for args, ran in (("-c 5 -l 2 -r 1", CASES[:6]),
                              ("-mtime -c 5 -l 2 -r 1", CASES[:3] + CASES[5:6]),
                              ("--mo=file -c 5 -l 2 -r 1", CASES[:1] + CASES[3:5])):
                lines, _ = self.run_script(self.bindir, args, shell)
                self.assertEqual([line[0] for line in lines], CASES, shell)
                for name, result, *figure in lines:
                    if name == "latmeter-vdso" and name in ran:  # compares timings
                        self.assertIn(result, ["pass", "fail"])
                    elif name in ran:
                        self.assertEqual(result, "pass", (shell, args, name))
                        self.assertRegex(" ".join(figure), r"^\d+ ns$" if name in UNITS else "^$")
                    else:
                        self.assertEqual((result, figure), ("skip", []), (shell, args, name))

    def test_failures_are_failed_cases(self):
        # With programs on PATH that would pass: BINDIR alone is looked in.
        stand_in(self.stand_ins, "latmeter", latmeter(701, 350))
        stand_in(self.stand_ins, "tickrate", tickrate_out(62500000, 62500000))
        for bindir, args in ((self.bindir, "-x"), ("/nonexistent", ""), (self.bindir, "-m time -r 0"),
                             (self.bindir, "-l 0 -r 1")):
            lines, _ = self.run_script(bindir, args, path=self.on_path())
            self.assertEqual(lines, [[c, "skip" if "time" in args and c in CASES[3:5] else "fail"]
                                     for c in CASES[:6]] + [[c, "skip"] for c in CASES[6:]], args)
        # A CPU that is no number: nothing to pin to.
        lines, _ = self.run_script(self.stand_ins, "", CPUS="x")
        self.assertNotIn("pass", [line[1] for line in lines])
        # A whole run that exits 1, one without the file section it was asked
        # for, and a tickrate that cannot be run: present, so not skipped.
        for out, status, args in ((latmeter(701, 350), 1, ""), (latmeter(701, 350) + "junk\n", 0, ""),
                                  (latmeter_out(701, 350), 0, "-m file -m all")):
            stand_in(self.stand_ins, "latmeter", out, status)
            stand_in(self.stand_ins, "tickrate", tickrate_out(62500000, 62500000), mode=0o644)
            lines, _ = self.run_script(self.stand_ins, args)
            self.assertEqual(lines, [[c, "fail"] for c in CASES], out)
        # No CPU named, or none online that sysfs or cpuinfo names.
        no_cpus = [["mount", "-t", "tmpfs", "none", "/sys/devices/system/cpu"],
                   ["mount", "--bind", "/dev/null", "/proc/cpuinfo"]]
        for cpus, mount in ((" ", None), ("all", no_cpus)):
            lines, err = self.run_script(self.stand_ins, "", mount=mount, CPUS=cpus)
            self.assertEqual(lines, [["cpus", "fail"]], cpus)
            self.assertEqual(err, "CPUS names no CPU: nothing was run\n")

    def test_figures_that_are_no_measurement_fail_with_their_verdicts(self):
        # No result of either width, negative and zero, one figure at a time;
        # a zero libc would pass for a vDSO, a zero frequency would agree
        # with a zero average.
        good = ["701", "350", "52119", "42097", "62500000", "62500000"]
        for i, (bad, *failing) in enumerate((
                ("9223372036854775807", "latmeter", "latmeter-syscall", "latmeter-vdso"),
                ("0", "latmeter", "latmeter-libc", "latmeter-vdso"), ("-5", "latmeter", "latmeter-mmap"),
                ("2147483647", "latmeter", "latmeter-read"),
                ("0", "tickrate", "tickrate-reported", "tickrate-agrees"),
                ("0", "tickrate", "tickrate-measured", "tickrate-agrees"))):
            f = good[:i] + [bad] + good[i + 1:]
            stand_in(self.stand_ins, "latmeter", latmeter_out(*f[:4]))
            stand_in(self.stand_ins, "tickrate", tickrate_out(f[4], int(f[5])))
            lines, _ = self.run_script(self.stand_ins, "")
            self.assertEqual([line[0] for line in lines if line[1] == "fail"],
                             [c for c in CASES if c in failing], f)

    def test_the_mask_of_every_cpu_under_each_awk(self):
        with open(opt.script) as f:
            mask = re.search(r"^mask\(\) \{.*?^\}\n", f.read(), re.M | re.S)[0]
        loop = mask + "n=0; while [ $n -lt 1024 ]; do mask $n; n=$((n + 1)); done"
        for awk in ("mawk", "gawk", "original-awk", "busybox", "toybox"):
            found = shutil.which(awk)
            if awk == "toybox" and found and sh(found, "awk", "BEGIN {}").returncode:
                found = None  # no awk in this release's toybox
            if not found:
                print("not run here: %s, which this machine lacks" % awk)
                continue
            path = bare_path(folder(self), {"awk": found})
            p = sh("sh", "-c", loop, env=dict(os.environ, PATH=path + ":" + os.environ["PATH"]))
            self.assertEqual(p.stdout.split(), ["%x" % (1 << n) for n in range(1024)], awk)

    def test_each_parameter_given_empty_is_unset(self):
        """As LAVA hands it on: a variable, empty where the job leaves it so."""
        with open(opt.script) as f:
            names = re.findall(r"^#   ([A-Z_]+) ", f.read(), re.M)
        stand_in(self.stand_ins, "latmeter", latmeter(701, 350))
        stand_in(self.stand_ins, "tickrate", tickrate_out(62500000, 63500000))  # 1.6 % off
        for name in names:
            runs = []
            for given in ({}, {name: ""}):
                env = {k: v for k, v in os.environ.items() if k not in names}
                env.update(PATH=self.stand_ins + ":" + env["PATH"], **given)
                p = subprocess.run([*self.no_tmp, "sh", opt.script], env=env, capture_output=True,
                                   text=True, timeout=60)
                runs.append((p.returncode, p.stdout, p.stderr))
            self.assertEqual(runs[0], runs[1], name)
        self.assertEqual(len(names), 4, names)

    def on_path(self, *tools):
        """A PATH with the stand-ins, or with these tools alone."""
        if not tools:
            return self.stand_ins + ":" + os.environ["PATH"]
        return bare_path(os.path.join(self.stand_ins, "bare"), tools)

    def test_each_case_carries_its_own_figure(self):
        # libc below half of syscall or not, tickrate 2 (the tolerance) and 3 per cent off
        for libc, vdso, count, agrees in ((350, "pass", 63750000, "pass"),
                                          (351, "fail", 64375000, "fail")):
            stand_in(self.stand_ins, "latmeter", latmeter(701, libc))
            stand_in(self.stand_ins, "tickrate", tickrate_out(62500000, count))
            lines, err = self.run_script(self.stand_ins, "-c 1000  -l 4 -r 2")
            self.assertEqual(lines, [
                ["latmeter", "pass"], ["latmeter-syscall", "pass", "701", "ns"],
                ["latmeter-libc", "pass", str(libc), "ns"], ["latmeter-mmap", "pass", "52119", "ns"],
                ["latmeter-read", "pass", "42097", "ns"], ["latmeter-vdso", vdso],
                ["tickrate", "pass"], ["tickrate-reported", "pass", "62500000", "Hz"],
                ["tickrate-measured", "pass", "%d.0" % count, "Hz"], ["tickrate-agrees", agrees]])
            self.assertEqual(err, "<-c><1000><-l><4><-r><2>")  # each a word of its own

    def test_every_online_cpu(self):
        stand_in(self.stand_ins, "latmeter", latmeter_out(9, 3))
        cpus = sorted(os.sched_getaffinity(0))
        # Where the CPUs report one frequency, and where the last reports another.
        for last, same in ("0", "pass"), ("1", "fail"):
            reported = "6250000$([ %s = %d ] && echo %s || echo 0)" % (ON_CPU, cpus[-1], last)
            stand_in(self.stand_ins, "tickrate", tickrate_out(reported, 62500000))
            for shell in SHELLS:
                lines, _ = self.run_script(self.stand_ins, "-m time", shell, CPUS="all")
                want = [[c + "-cpu%d" % n, r] for n in cpus for c, r in zip(CASES, ALL_TIME)]
                if len(cpus) > 1:
                    want.append([SAME_FREQUENCY, same])
                self.assertEqual([line[:2] for line in lines], want, shell)

    def test_pinned_runs_carry_the_cpu_they_ran_on(self):
        # On a phone's taskset, with a syscall figure that names the CPUs the run may use.
        stand_in(self.stand_ins, "latmeter", latmeter_out("9" + ON_CPU, 3))
        stand_in(self.stand_ins, "tickrate", tickrate_out(62500000, 62500000))
        files = {"online": "1,3-4\n", "cpuinfo": "processor\t: 0\nBogoMIPS\t: 50.00\n\nprocessor\t: 1\n"}
        for name, text in files.items():
            with open(os.path.join(self.stand_ins, name), "w") as f:
                f.write(text)
        online = [["mount", "--bind", self.stand_ins + "/online", "/sys/devices/system/cpu/online"]]
        no_sysfs = [["mount", "-t", "tmpfs", "none", "/sys/devices/system/cpu"],
                    ["mount", "--bind", self.stand_ins + "/cpuinfo", "/proc/cpuinfo"]]
        # Where a CPU is not this machine's, its runs fail.
        here = sorted(os.sched_getaffinity(0))
        for cpus, mount, want in ((" ".join(map(str, here[::-1])), None, here[::-1]),
                                  ("all", online, [1, 3, 4]), ("all", no_sysfs, [0, 1])):
            lines, _ = self.run_script(self.stand_ins, "-m time", "phone", mount=mount, CPUS=cpus)
            self.assertEqual(lines, [[c + "-cpu%d" % n,
                                      *(case if n in here or case == ["skip"] else ["fail"])]
                                     for n in want for c, *case in (
                                         ["latmeter", "pass"], ["latmeter-syscall", "pass", "9%d" % n, "ns"],
                                         ["latmeter-libc", "pass", "3", "ns"], ["latmeter-mmap", "skip"],
                                         ["latmeter-read", "skip"], ["latmeter-vdso", "pass"], ["tickrate", "pass"],
                                         ["tickrate-reported", "pass", "62500000", "Hz"],
                                         ["tickrate-measured", "pass", "62500000.0", "Hz"],
                                         ["tickrate-agrees", "pass"])] +
                             [[SAME_FREQUENCY, "pass" if set(want) <= set(here) else "fail"]],
                             cpus)
        # tickrate failing everywhere: no two frequencies to call the same
        stand_in(self.stand_ins, "tickrate", "")
        lines, _ = self.run_script(self.stand_ins, "-m time", "phone", CPUS="0 1")
        self.assertEqual(lines[-1], [SAME_FREQUENCY, "fail"])
        # no taskset: every case of every CPU skipped, and one line that says why
        stand_in(self.stand_ins, "tickrate", tickrate_out(62500000, 62500000))
        lines, err = self.run_script(self.stand_ins, "-m time", CPUS="0 1", path=self.on_path("awk"))
        self.assertEqual(lines, [[c + "-cpu%d" % n, "skip"] for n in (0, 1) for c in CASES] +
                         [[SAME_FREQUENCY, "skip"]])
        self.assertEqual(err.count("\n"), 1, err)
        # no tickrate: nothing to compare
        os.remove(os.path.join(self.stand_ins, "tickrate"))
        lines, _ = self.run_script(self.stand_ins, "-m time", "phone", CPUS="0 1")
        self.assertEqual(lines[-1], [SAME_FREQUENCY, "skip"])


# The dispatcher that `make test` fetches, and where its Python lives.
LAVA = os.path.join(FETCHED, "lava")
LAVA_PYTHON = os.path.join(LAVA, "usr", "lib", "python3", "dist-packages")


def render(job, types, tmp):
    """The device as a LAVA server renders it for the job, from the
    device-type templates in the folders types, and its qemu command."""
    import jinja2.sandbox
    import yaml
    sys.path.insert(0, LAVA_PYTHON)
    try:  # the filters of newer servers' templates come with it
        from lava_common.jinja import create_device_templates_env as templates
    except ImportError:
        def templates(loader):
            return jinja2.sandbox.SandboxedEnvironment(loader=loader, autoescape=False, trim_blocks=True)
    with open(os.path.join(tmp, "qemu01.jinja2"), "w") as f:
        f.write(DEVICE)
    env = templates(loader=jinja2.FileSystemLoader([tmp] + types))
    device = env.get_template("qemu01.jinja2").render(**yaml.safe_load(job).get("context", {}))
    qemu = yaml.safe_load(device)["actions"]["boot"]["methods"]["qemu"]["parameters"]
    return device, [qemu["command"]] + [w for o in qemu["options"] + qemu.get("extra", [])
                                        for w in shlex.split(o)]


def owned_by_root(member):
    """A tar member as a release has it: a user namespace's root, unpacking
    it, could give it no other owner, and then not its mode either."""
    member.uid = member.gid = 0
    member.uname = member.gname = "root"
    return member


def run_job(job):
    """lava-run's log of the job's text, where it can run here."""
    lava_run = os.path.join(LAVA, "usr", "bin", "lava-run")
    types = [d for d, _, names in os.walk(LAVA) if "qemu.jinja2" in names]
    if not os.path.exists(lava_run) or not types:
        # Skipped only where there is truly nothing to fetch.
        if subprocess.run(["apt-cache", "show", "lava-server"], capture_output=True).returncode == 0:
            raise AssertionError("this release packages LAVA, but build/fetched/lava holds no "
                                 "lava-run or lava-server: make test did not fetch them")
        raise unittest.SkipTest(NOT_HERE + "this release does not package LAVA")
    # lava-run runs as root only: a user's, in a user namespace of its own,
    # where it is root; through sudo where the kernel allows none.
    as_root = []
    if os.geteuid() != 0:
        as_root = ["unshare", "-r"]
        if not shutil.which("unshare") or subprocess.run([*as_root, "true"],
                                                         capture_output=True).returncode:
            as_root = ["sudo"]
            if not shutil.which("sudo"):
                raise unittest.SkipTest(NOT_HERE + "lava-run runs as root, and neither a user "
                                        "namespace nor sudo is to be had")
    tmp = folder()
    programs = os.path.join(tmp, "programs.tar")
    with tarfile.open(programs, "w") as tar:
        for path in opt.programs.values():
            tar.add(path, os.path.basename(path), filter=owned_by_root)
    device, qemu = render(job, types, tmp)
    subs = {"@KERNEL@": KERNELS[opt.kernel][-1],
            "@RAMDISK@": ramdisk(opt.kernel, tmp), "@PROGRAMS@": programs,
            "@REPOSITORY@": TOP}
    if opt.faulty:
        subs["@DTB@"] = faulty_dtb(qemu, FAULTS, os.path.join(tmp, "board.dtb"))
    for key, value in subs.items():
        job = job.replace(key, value)
    files = {"job.yaml": job, "device.yaml": device}
    for name, text in files.items():
        with open(os.path.join(tmp, name), "w") as f:
            f.write(text)
    # Overlays are cpio archives: the disk-image library that the
    # dispatcher imports is never used, and is not installed. An empty
    # module fails any use of it.
    with open(os.path.join(tmp, "guestfs.py"), "w"):
        pass
    # lava-run under the Python its packages are for, with its downloads
    # in tmp, not in /var/lib; it works in a folder named after the job
    # id: one a process.
    with open(lava_run) as f:
        python = f.readline()[2:].strip()
    start = ("import runpy, sys; import lava_common.constants as c; sys.argv.pop(0); "
             "c.DISPATCHER_DOWNLOAD_DIR = sys.argv.pop(1); "
             "runpy.run_path(sys.argv[0], run_name='__main__')")
    p = subprocess.run([*as_root, "env", "PYTHONPATH=%s:%s" % (LAVA_PYTHON, tmp),
                        "PYTHONDONTWRITEBYTECODE=1", python, "-c", start,
                        lava_run, os.path.join(tmp, "out"), "--device", os.path.join(tmp, "device.yaml"),
                        "--job-id", str(os.getpid()), "--output-dir", os.path.join(tmp, "out"),
                        os.path.join(tmp, "job.yaml")],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)
    subprocess.run([*as_root, "rm", "-rf", os.path.join(tmp, "out")], check=True)
    return p.stdout + p.stderr
