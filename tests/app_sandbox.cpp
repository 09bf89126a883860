// Runs a program as an Android app's process would: under a seccomp filter
// that lets through the system calls that every Android release's app
// allowlist has for this architecture and traps every other one, as
// Android's own filter does.
//
// usage: app_sandbox [-b] [-d CALL]... [-e CALL] -p | PROGRAM [ARG...]
//   -b       start the program with SIGSYS blocked, as a parent may leave it
//   -d CALL  trap this call too
//   -e CALL  fail this call with ENOSYS, as a kernel without it does
//   -p       in place of a program, make each call that the app entry point
//            answers, here under the filter with the entry point's handler,
//            and print a line for what each got

#include <asm/unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#if defined(__aarch64__)
#define THIS_ARCH AUDIT_ARCH_AARCH64
#else
#define THIS_ARCH AUDIT_ARCH_ARM
#endif

struct call {
    unsigned nr;
    const char *name;
};

// The allowlist's names, with this architecture's numbers.
static call allowed[] = {
#include "app_syscalls.h"
};

enum { count = sizeof allowed / sizeof *allowed };

// Linear: an arch check, then a test and an allow for each number.
static sock_filter filter[4 + 2 * count + 1];

// An invalid clock, whose error the entry point passes on from the older call.
enum { no_clock = 99 };

#ifdef __NR_clock_gettime64
struct timespec64 {
    long long tv_sec;
    long long tv_nsec;
};

static bool no_later(const timespec64 &a, const timespec64 &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}
#endif

static void usage(const char *prog)
{
    fprintf(stderr, "usage: %s [-b] [-d CALL]... [-e CALL] -p | PROGRAM [ARG...]\n", prog);
    _exit(2);
}

// One line a call, NAME: RESULT, with the error's text where it failed.
static void answer(const char *name, long ret, const char *note)
{
    printf("%s: %ld%s%s\n", name, ret, ret == -1 ? " " : note, ret == -1 ? strerror(errno) : "");
}

// The calls that the entry point answers -ENOSYS, with arguments that would
// do nothing if they reached the kernel; then, on 32-bit Arm, the 64-bit-time
// clock read, which must fill the whole 64-bit struct with a time between two
// 32-bit readings taken around it.
static int probe()
{
    answer("set_robust_list", syscall(__NR_set_robust_list, nullptr, 0), "");
    answer("rseq", syscall(__NR_rseq, nullptr, 0, 0, 0), "");
    answer("statx", syscall(__NR_statx, AT_FDCWD, "", 0, 0, nullptr), "");
#ifdef __NR_clock_gettime64
    const timespec64 zero = {0, 0};
    answer("clock_nanosleep_time64",
           syscall(__NR_clock_nanosleep_time64, CLOCK_MONOTONIC, 0, &zero, nullptr), "");
    long before[2] = {}, after[2] = {};
    // All ones: a half of either field left unwritten shows.
    timespec64 ts = {~0LL, ~0LL};
    syscall(__NR_clock_gettime, CLOCK_MONOTONIC, before);
    long ret = syscall(__NR_clock_gettime64, CLOCK_MONOTONIC, &ts);
    syscall(__NR_clock_gettime, CLOCK_MONOTONIC, after);
    bool between = ts.tv_nsec >= 0 && ts.tv_nsec < 1000000000 &&
                   no_later({before[0], before[1]}, ts) && no_later(ts, {after[0], after[1]});
    answer("clock_gettime64", ret, between ? " between" : " outside");
    answer("clock_gettime64 of no clock", syscall(__NR_clock_gettime64, no_clock, &ts), "");
#endif
    return fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char *argv[])
{
    int opt;
    unsigned absent = ~0U;
    bool probing = false;
    sigset_t blocked;
    sigemptyset(&blocked);
    while ((opt = getopt(argc, argv, "+bd:e:p")) != -1) {
        switch (opt) {
        case 'b': sigaddset(&blocked, SIGSYS); break;
        case 'p': probing = true; break;
        case 'd':
            for (call &c : allowed)
                if (c.name && strcmp(c.name, optarg) == 0)
                    c.name = nullptr;
            break;
        case 'e':
            for (const call &c : allowed)
                if (c.name && strcmp(c.name, optarg) == 0)
                    absent = c.nr;
            break;
        default: usage(argv[0]);
        }
    }
    if (probing == (optind < argc))
        usage(argv[0]);
    sock_filter *f = filter;
    *f++ = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
    *f++ = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, THIS_ARCH, 1, 0);
    *f++ = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP);
    *f++ = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    for (const call &c : allowed) {
        if (!c.name)
            continue;
        *f++ = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, c.nr, 0, 1);
        *f++ = BPF_STMT(BPF_RET | BPF_K,
                        c.nr == absent ? SECCOMP_RET_ERRNO | ENOSYS : SECCOMP_RET_ALLOW);
    }
    *f++ = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP);
    sock_fprog prog = {static_cast<unsigned short>(f - filter), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0 ||
        sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) {
        perror("seccomp");
        return 127;
    }
    if (probing)
        return probe();
    execv(argv[optind], argv + optind);
    perror("execv");
    return 127;
}
