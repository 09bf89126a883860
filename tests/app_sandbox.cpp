// Runs a program as an Android app's process would: under a seccomp filter
// that lets through the system calls of Android's app allowlist for this
// architecture and traps every other one, as Android's own filter does.
//
// usage: app_sandbox PROGRAM [ARG...]

#include <asm/unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <stddef.h>
#include <stdio.h>
#include <unistd.h>

#if defined(__aarch64__)
#define THIS_ARCH AUDIT_ARCH_AARCH64
#else
#define THIS_ARCH AUDIT_ARCH_ARM
#endif

// The allowlist's names, as this architecture's numbers.
static const unsigned allowed[] = {
#include "app_syscalls.h"
};

enum { count = sizeof allowed / sizeof *allowed };

// Linear: an arch check, then a test and an allow for each number.
static sock_filter filter[4 + 2 * count + 1];

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    sock_filter *f = filter;
    *f++ = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
    *f++ = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, THIS_ARCH, 1, 0);
    *f++ = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP);
    *f++ = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    for (unsigned nr : allowed) {
        *f++ = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1);
        *f++ = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    }
    *f++ = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP);
    sock_fprog prog = {static_cast<unsigned short>(f - filter), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        perror("seccomp");
        return 127;
    }
    execv(argv[1], argv + 1);
    perror("execv");
    return 127;
}
