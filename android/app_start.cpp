// The entry point of the static builds, so that they also start and run
// inside an Android app. An app's processes run under a seccomp filter that
// traps what the app's release does not allow. Some of what glibc calls is
// missing from older releases' lists: the handler answers those calls with
// ENOSYS, which glibc copes with or falls back from, or, for a clock read,
// with the older call that every release allows. Any other trapped call ends
// the program with one line that names it.
//
// Built without the stack protector: this runs before the thread pointer.
// Nothing here may need relocating, nor call the C library before it is up:
// the handler's address is taken in the assembly, and every system call is
// made raw.

#include <sys/syscall.h>
#include <sys/ucontext.h>

#include <errno.h>
#include <signal.h>
#include <stddef.h>

#if defined(__aarch64__)
#define RESULT(uc) ((uc)->uc_mcontext.regs[0])
#elif defined(__arm__)
#define RESULT(uc) ((uc)->uc_mcontext.arm_r0)
#else
#error "the app entry point is for Arm builds"
#endif

static const char refused_call[] = ": system call %d refused by the system call filter\n";
static const char refused_clock[] =
    ": the system call filter refused clock_gettime64: each of the C library's clock reads, "
    "and each timestamp of the measurements, included a refused call\n";

// The kernel's own layout, which is not the C library's struct sigaction.
struct kernel_sigaction {
    void (*handler)(int, const siginfo_t *, void *);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask[64 / (8 * sizeof(long))];
};

static const char *prog_name;
static volatile sig_atomic_t clock_refused;

extern "C" long app_syscall(long nr, long a, long b, long c, long d);

// The program name, then text with its one %d filled in, as one write.
static void say(const char *text, long number)
{
    char line[512], digits[24];
    size_t n = 0, d = 0;
    for (const char *s = prog_name; s && *s && n < sizeof line / 2; s++)
        line[n++] = *s;
    unsigned long u = number < 0 ? 0UL - (unsigned long)number : (unsigned long)number;
    do
        digits[d++] = static_cast<char>('0' + u % 10);
    while (u /= 10);
    if (number < 0)
        digits[d++] = '-';
    for (const char *s = text; *s && n < sizeof line - sizeof digits; s++) {
        if (s[0] == '%' && s[1] == 'd') {
            while (d)
                line[n++] = digits[--d];
            s++;
        } else {
            line[n++] = *s;
        }
    }
    app_syscall(SYS_write, 2, reinterpret_cast<long>(line), static_cast<long>(n), 0);
}

#ifdef SYS_clock_gettime64
// A 32-bit C library asks for the 64-bit-time clock where no vDSO clock
// answers, and so does a vDSO that cannot use the counter, whose error the C
// library passes on as it is: the 32-bit-time call answers instead.
static long clock_gettime64_by_32(const mcontext_t &regs)
{
    long ts[2];
    long err = app_syscall(SYS_clock_gettime, static_cast<long>(regs.arm_r0),
                           reinterpret_cast<long>(ts), 0, 0);
    if (err == 0) {
        // The caller's pointer argument, as the kernel would take it.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        long long *out = reinterpret_cast<long long *>(regs.arm_r1);
        out[0] = ts[0];
        out[1] = ts[1];
    }
    clock_refused = 1;
    return err;
}
#endif

// Called from the assembly below alone, which link-time optimisation does
// not look into: `used` keeps this and app_start_install.
extern "C" __attribute__((used)) void app_start_sigsys(int, const siginfo_t *info, void *context)
{
    ucontext_t *uc = static_cast<ucontext_t *>(context);
    switch (info->si_syscall) {
    // Calls that glibc can do without or falls back from, and that no figure
    // times. The 64-bit-time ones exist on 32-bit Arm only.
    case SYS_set_robust_list:
    case SYS_rseq:
    case SYS_statx:
#ifdef SYS_clock_nanosleep_time64
    case SYS_clock_nanosleep_time64:
#endif
        RESULT(uc) = -ENOSYS;
        return;
#ifdef SYS_clock_gettime64
    case SYS_clock_gettime64: RESULT(uc) = clock_gettime64_by_32(uc->uc_mcontext); return;
#endif
    default: break;
    }
    say(refused_call, info->si_syscall);
    app_syscall(SYS_exit_group, 1, 0, 0, 0);
}

// argv is the kernel's, from the initial stack; handler comes from the
// assembly. The handler is installed with SIGSYS unblocked, since a parent
// may leave it blocked, and the kernel kills rather than deliver a blocked
// SIGSYS that a filter forces.
extern "C" __attribute__((used)) void
app_start_install(char **argv, void (*handler)(int, const siginfo_t *, void *))
{
    prog_name = argv[0];
    struct kernel_sigaction act = {};
    act.handler = handler;
    act.flags = SA_SIGINFO;
    unsigned long set[sizeof act.mask / sizeof(long)] = {};
    set[(SIGSYS - 1) / (8 * sizeof(long))] = 1UL << ((SIGSYS - 1) % (8 * sizeof(long)));
    app_syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(set), 0, sizeof set);
    app_syscall(SYS_rt_sigaction, SIGSYS, reinterpret_cast<long>(&act), 0, sizeof act.mask);
}

// glibc reads the clock as it starts, before it has found the vDSO, where
// getrandom fails and, from 2.43, in about one start in a hundred: malloc
// then draws its key from the clock. That refusal times nothing.
__attribute__((constructor)) static void app_start_forget_startup()
{
    clock_refused = 0;
}

// The figures still print, and the status stays 0: they are the true costs
// in that sandbox, but what they include must be said.
__attribute__((destructor)) static void app_start_report()
{
    if (clock_refused)
        say(refused_clock, 0);
}

// The kernel's registers and stack reach _start as they came; the first
// argument register survives the call in one that calls preserve.
// clang-format off
#if defined(__aarch64__)
asm(".pushsection .text, \"ax\", %progbits\n"
    ".p2align 2\n"
    ".globl app_start\n"
    ".type app_start, %function\n"
    "app_start:\n"
    "    mov x19, x0\n"
    "    add x0, sp, #8\n"
    "    adrp x1, app_start_sigsys\n"
    "    add x1, x1, :lo12:app_start_sigsys\n"
    "    bl app_start_install\n"
    "    mov x0, x19\n"
    "    b _start\n"
    ".globl app_syscall\n"
    ".type app_syscall, %function\n"
    "app_syscall:\n"
    "    mov x8, x0\n"
    "    mov x0, x1\n"
    "    mov x1, x2\n"
    "    mov x2, x3\n"
    "    mov x3, x4\n"
    "    svc 0\n"
    "    ret\n"
    ".popsection\n");
#else
// ARM state here, whatever the compiler's: the pc reads 8 ahead. The
// handler's address is pc-relative, with the Thumb bit where it is Thumb.
#if defined(__thumb__)
#define THUMB_BIT "1"
#define COMPILER_STATE ".thumb\n"
#else
#define THUMB_BIT "0"
#define COMPILER_STATE ".arm\n"
#endif
asm(".pushsection .text, \"ax\", %progbits\n"
    ".p2align 2\n"
    ".arm\n"
    ".globl app_start\n"
    ".type app_start, %function\n"
    "app_start:\n"
    "    mov r4, r0\n"
    "    add r0, sp, #4\n"
    "    ldr r1, 1f\n"
    "2:  add r1, pc, r1\n"
    "    bl app_start_install\n"
    "    mov r0, r4\n"
    "    b _start\n"
    "1:  .word app_start_sigsys - (2b + 8) + " THUMB_BIT "\n"
    ".globl app_syscall\n"
    ".type app_syscall, %function\n"
    "app_syscall:\n"
    "    push {r4, r7}\n"
    "    mov r7, r0\n"
    "    mov r0, r1\n"
    "    mov r1, r2\n"
    "    mov r2, r3\n"
    "    ldr r3, [sp, #8]\n"
    "    svc 0\n"
    "    pop {r4, r7}\n"
    "    bx lr\n"
    COMPILER_STATE
    ".popsection\n");
#endif
// clang-format on
