// Runs a program as an Android app's process would: under a seccomp filter
// that lets through the system calls that every Android release's app
// allowlist has for this architecture and traps every other one, as
// Android's own filter does.
//
// usage: app_sandbox [-b] [-d CALL]... [-e CALL] PROGRAM [ARG...]
//   -b       start the program with SIGSYS blocked, as a parent may leave it
//   -d CALL  trap this call too
//   -e CALL  fail this call with ENOSYS, as a kernel without it does

#include <asm/unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
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

static void usage(const char *prog)
{
    fprintf(stderr, "usage: %s [-b] [-d CALL]... [-e CALL] PROGRAM [ARG...]\n", prog);
    _exit(2);
}

int main(int argc, char *argv[])
{
    int opt;
    unsigned absent = ~0U;
    sigset_t blocked;
    sigemptyset(&blocked);
    while ((opt = getopt(argc, argv, "+bd:e:")) != -1) {
        switch (opt) {
        case 'b': sigaddset(&blocked, SIGSYS); break;
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
    if (optind >= argc)
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
    execv(argv[optind], argv + optind);
    perror("execv");
    return 127;
}
