// tickrate: the Arm generic timer's reported frequency, and how far its
// virtual counter advances over one-second sleeps of the kernel's clock.

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { samples = 15 };

#if defined(__aarch64__)
#define CNTFRQ_READ "mrs %0, cntfrq_el0"
#define CNTVCT_READ "mrs %0, cntvct_el0"
typedef uint64_t cntfrq_reg;
#elif defined(__arm__)
// CNTFRQ is 32 bits wide here; CNTVCT is read whole, in one 64-bit transfer.
#define CNTFRQ_READ "mrc p15, 0, %0, c14, c0, 0"
#define CNTVCT_READ "mrrc p15, 1, %Q0, %R0, c14"
typedef uint32_t cntfrq_reg;
#else
#error "tickrate reads the Arm generic timer's registers"
#endif

// Barrier and read are one asm statement, so that nothing can be scheduled
// between them and the read cannot be taken early.
static inline uint64_t read_cntfrq()
{
    cntfrq_reg v;
    asm volatile("isb\n\t" CNTFRQ_READ : "=r"(v) : : "memory");
    return v;
}

static inline uint64_t read_cntvct()
{
    uint64_t v;
    asm volatile("isb\n\t" CNTVCT_READ : "=r"(v) : : "memory");
    return v;
}

static const char unreadable[] = ": the generic timer cannot be read here\n";
static const char *prog_name;
static size_t prog_len;

// A kernel that keeps the timer from programs makes its reads illegal
// instructions: say so, rather than die of the signal.
static void timer_unreadable(int)
{
    if (write(2, prog_name, prog_len) >= 0 && write(2, unreadable, sizeof unreadable - 1) >= 0) {
        // Said, as far as standard error takes it.
    }
    _exit(1);
}

// Checked once, at the end: counts that never arrived are a failure.
static int output_status(const char *prog)
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    fprintf(stderr, "%s: write error%s%s\n", prog, errno ? ": " : "", errno ? strerror(errno) : "");
    return 1;
}

int main(int, char *argv[])
{
    prog_name = argv[0];
    prog_len = strlen(argv[0]);
    signal(SIGILL, timer_unreadable);

    unsigned long long reported = read_cntfrq();
    printf("Reported generic timer frequency: %llu Hz\n", reported);
    puts("Measured generic timer frequency:");

    double sum = 0.0;
    for (int i = 0; i < samples; i++) {
        uint64_t before = read_cntvct();
        sleep(1);
        uint64_t after = read_cntvct();
        unsigned long long delta = after - before;
        printf("%llu Hz\n", delta);
        // Visible as it comes, through a pipe too; outside the timed interval.
        fflush(stdout);
        sum += (double)delta;
    }
    printf("\nAverage: %.1lf Hz\n", sum / samples);
    return output_status(argv[0]);
}
