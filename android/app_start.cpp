// The entry point of the static builds, so that they also start inside an
// Android app. An app's processes run under a seccomp filter that traps
// set_robust_list and rseq, which glibc makes while it starts, before any
// constructor. Until then, a SIGSYS handler answers a trapped call with
// ENOSYS, which glibc copes with; a constructor then restores the default,
// so that later the filter acts exactly as it would on any other program.
//
// Built without the stack protector: this runs before the thread pointer.

#include <sys/syscall.h>
#include <sys/ucontext.h>

#include <errno.h>
#include <signal.h>

// The registers of a system call's first four arguments, of its number, and
// one that a call preserves.
#if defined(__aarch64__)
#define REG(n) "x" #n
#define NR_REG "x8"
#define KEEP_REG "x19"
#define RESULT(uc) ((uc)->uc_mcontext.regs[0])
#elif defined(__arm__)
#define REG(n) "r" #n
#define NR_REG "r7"
#define KEEP_REG "r4"
#define RESULT(uc) ((uc)->uc_mcontext.arm_r0)
#else
#error "the app entry point is for Arm builds"
#endif

// The kernel's own layout, which is not the C library's struct sigaction.
struct kernel_sigaction {
    void (*handler)(int, siginfo_t *, void *);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask[64 / (8 * sizeof(long))];
};

static void answer_enosys(int, siginfo_t *, void *context)
{
    RESULT(static_cast<ucontext_t *>(context)) = -ENOSYS;
}

// No C library function may run yet: a raw rt_sigaction.
extern "C" void app_start_install()
{
    struct kernel_sigaction act = {answer_enosys, SA_SIGINFO, nullptr, {}};
    register long a0 asm(REG(0)) = SIGSYS;
    register kernel_sigaction *a1 asm(REG(1)) = &act;
    register long a2 asm(REG(2)) = 0;
    register long a3 asm(REG(3)) = sizeof act.mask;
    register long nr asm(NR_REG) = SYS_rt_sigaction;
    asm volatile("svc 0" : "+r"(a0) : "r"(a1), "r"(a2), "r"(a3), "r"(nr) : "memory");
}

__attribute__((constructor)) static void app_start_done()
{
    signal(SIGSYS, SIG_DFL);
}

// The kernel's registers and stack reach _start as they came; the first
// argument register survives the call in one that calls preserve.
// clang-format off
asm(".pushsection .text, \"ax\", %progbits\n"
    ".p2align 2\n"
    ".globl app_start\n"
    ".type app_start, %function\n"
    "app_start:\n"
    "    mov " KEEP_REG ", " REG(0) "\n"
    "    bl app_start_install\n"
    "    mov " REG(0) ", " KEEP_REG "\n"
    "    b _start\n"
    ".popsection\n");
// clang-format on
