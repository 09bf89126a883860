// latmeter: best-case cost of reading the monotonic clock and of fetching
// 64 KiB from /dev/zero, in whole nanoseconds per call.

#include <sys/mman.h>
#include <sys/syscall.h>

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#ifndef __OPTIMIZE__
#error "an unoptimised build would measure the compiler, not the kernel"
#endif

// Macros, so that the usage text quotes the very numbers the program uses.
#define TIME_CALLS 100000
#define TIME_LOOPS 32
#define FILE_CALLS 100
#define FILE_LOOPS 128
#define ROUNDS 5
#define STR(x) #x
#define XSTR(x) STR(x)

// buf_align: the largest page size Arm Linux runs with (4, 16 or 64 KiB).
enum { xfer_size = 65536, buf_align = 65536, pause_us = 125000, not_given = -1 };

static const long no_result = LONG_MAX;

typedef void (*bench_body)();
typedef long (*bench_fn)(int calls, int loops, int rounds);

struct run_settings {
    bool mode_time;
    bool mode_file;
    int calls;
    int loops;
    int rounds;
};

struct mode_keyword {
    const char *name;
    bool time;
    bool file;
};

struct section {
    int (*unready)(const char **what);
    const char *header;
    int calls;
    int loops;
    bench_fn bench[2];
    const char *line[2];
};

// clang-format off
static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"mode", required_argument, nullptr, 'm'},
    {"calls", required_argument, nullptr, 'c'},
    {"loops", required_argument, nullptr, 'l'},
    {"rounds", required_argument, nullptr, 'r'},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

static const mode_keyword mode_keywords[] = {
    {"time", true, false},
    {"file", false, true},
    {"all", true, true},
};

static const char zero_device[] = "/dev/zero";
static const char clock_syscall[] = "clock_gettime system call";
static const char clock_libc[] = "clock_gettime";
// Page-aligned on every page size, so that where the linker happens to put it
// cannot move the cost of the copies into it.
alignas(buf_align) static char test_read_buf[xfer_size];
static struct timespec scratch_ts;

// Checked once, as the program ends, so that nothing is added to the
// measurements: output that never arrived is a failure, not a result.
static int output_status(const char *prog, int status)
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    fprintf(stderr, "%s: write error%s%s\n", prog, errno ? ": " : "", errno ? strerror(errno) : "");
    return 1;
}

[[noreturn]] static void print_help(const char *prog)
{
    // clang-format off
    printf("Usage: %s [options]\n\nThis program benchmarks some simple kernel syscalls:\n"
           "  Time: clock_gettime(CLOCK_MONOTONIC) with direct syscalls and libc wrapper calls\n"
           "  File: reads 64 KiB of data from /dev/zero with mmap(2) and read(2)\n\n"
           "libc time calls may be faster than direct syscalls on some platforms due to\n"
           "special fast paths without context switching, e.g. Linux's vDSO.\n\n"
           "Options:\n  -h, --help\tshow usage help and exit\n"
           "  -m, --mode\ttests to run: time, file, or all (default: all)\n"
           "  -c, --calls\tnumber of syscalls to make per loop"
           " (default: " XSTR(TIME_CALLS) " for time, " XSTR(FILE_CALLS) " for file)\n"
           "  -l, --loops\tnumber of loops to run per round"
           " (default: " XSTR(TIME_LOOPS) " for time, " XSTR(FILE_LOOPS) " for file)\n"
           "  -r, --rounds\tnumber of benchmark rounds to run (default: " XSTR(ROUNDS) ")\n",
           prog);
    // clang-format on
    exit(output_status(prog, 1));
}

// An empty asm that claims to read the buffer: nothing else does, and the
// copy into it must not be optimised away.
static inline void keep(const void *p)
{
    asm volatile("" : : "r"(p) : "memory");
}

static void syscall_time_mb()
{
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &scratch_ts);
}

static void libc_time_mb()
{
    clock_gettime(CLOCK_MONOTONIC, &scratch_ts);
}

static void mmap_mb()
{
    int fd = open(zero_device, O_RDONLY);
    if (fd < 0)
        return;
    void *map = mmap(nullptr, xfer_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
        memcpy(test_read_buf, map, xfer_size);
        keep(test_read_buf);
        munmap(map, xfer_size);
    }
    close(fd);
}

static void file_mb()
{
    int fd = open(zero_device, O_RDONLY);
    if (fd < 0)
        return;
    if (read(fd, test_read_buf, xfer_size) < 0) {
        // A failed read is not reported; the figure is all there is.
    }
    close(fd);
}

// Each section's calls are made once, untimed, with every result examined:
// the timed bodies examine none, and figures of failing calls would pass for
// results. Each returns 0, or the errno of the first call that failed, with
// what failed in *what.

// The C library's clock takes every figure's timestamps.
static int timestamps_unready(const char **what)
{
    *what = clock_libc;
    return clock_gettime(CLOCK_MONOTONIC, &scratch_ts) != 0 ? errno : 0;
}

// A kernel without the 32-bit-time calls, or a filter, may refuse the direct
// call alone.
static int clock_unready(const char **what)
{
    *what = clock_syscall;
    if (syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &scratch_ts) != 0)
        return errno;
    return timestamps_unready(what);
}

// One fetch of each kind.
static int zero_device_unready(const char **what)
{
    int err = timestamps_unready(what);
    if (err)
        return err;
    *what = zero_device;
    int fd = open(zero_device, O_RDONLY);
    if (fd < 0)
        return errno;
    void *map = mmap(nullptr, xfer_size, PROT_READ, MAP_PRIVATE, fd, 0);
    err = map == MAP_FAILED ? errno : 0;
    if (!err) {
        memcpy(test_read_buf, map, xfer_size);
        keep(test_read_buf);
        if (munmap(map, xfer_size) != 0)
            err = errno;
    }
    if (close(fd) != 0 && !err)
        err = errno;
    if (err)
        return err;
    if ((fd = open(zero_device, O_RDONLY)) < 0)
        return errno;
    if (read(fd, test_read_buf, xfer_size) < 0)
        err = errno;
    if (close(fd) != 0 && !err)
        err = errno;
    return err;
}

// The body is a template argument so that it is expanded in place: the timed
// loop holds the counted calls and nothing else. Elapsed times are 64-bit on
// every build, so a loop of over 2.1 s does not wrap where long is 32 bits.
template <bench_body body>
static long run_bench_ns(int calls, int loops, int rounds)
{
    if (rounds < 1)
        return no_result;
    long long result = no_result;
    for (int r = 0; r < rounds; r++) {
        // Above any sample, so that even one longer than no_result counts.
        long long best = LLONG_MAX;
        for (int l = 0; l < loops; l++) {
            struct timespec start, end;
            clock_gettime(CLOCK_MONOTONIC, &start);
            for (int c = 0; c < calls; c++)
                body();
            clock_gettime(CLOCK_MONOTONIC, &end);
            long long elapsed = ((long long)end.tv_sec - start.tv_sec) * 1000000000 +
                                ((long long)end.tv_nsec - start.tv_nsec);
            if (elapsed < best)
                best = elapsed;
        }
        // Without a loop nothing was timed, and a quotient of no_result
        // would pass for a figure. 32-bit Arm traps on a zero divisor;
        // AArch64's divide gives 0.
        long long per_call = loops < 1 ? no_result : calls != 0 ? best / calls : 0;
        if (per_call < result)
            result = per_call;
        putchar('.');
        fflush(stdout);
        usleep(pause_us);
    }
    return result < LONG_MIN ? LONG_MIN : (long)result;
}

static const section sections[] = {
    {clock_unready,
     "clock_gettime: ",
     TIME_CALLS,
     TIME_LOOPS,
     {run_bench_ns<syscall_time_mb>, run_bench_ns<libc_time_mb>},
     {"    syscall:\t%ld ns\n", "    libc:\t%ld ns\n"}},
    {zero_device_unready,
     "read file: ",
     FILE_CALLS,
     FILE_LOOPS,
     {run_bench_ns<mmap_mb>, run_bench_ns<file_mb>},
     {"    mmap:\t%ld ns\n", "    read:\t%ld ns\n"}},
};

static int given_or(int value, int fallback)
{
    return value == not_given ? fallback : value;
}

static void set_mode(run_settings *set, const char *prog, const char *arg)
{
    for (const mode_keyword &k : mode_keywords) {
        if (strcmp(arg, k.name) == 0) {
            set->mode_time = k.time;
            set->mode_file = k.file;
            return;
        }
    }
    fprintf(stderr, "%s: invalid mode -- '%s'\n", prog, arg);
    print_help(prog);
}

int main(int argc, char *argv[])
{
    run_settings set = {true, true, not_given, not_given, not_given};
    int opt;

    while ((opt = getopt_long(argc, argv, "hm:c:l:r:", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'h':
        case '?': print_help(argv[0]);
        case 'm': set_mode(&set, argv[0], optarg); break;
        case 'c': set.calls = atoi(optarg); break;
        case 'l': set.loops = atoi(optarg); break;
        case 'r': set.rounds = atoi(optarg); break;
        default: break;
        }
    }

    const bool wanted[] = {set.mode_time, set.mode_file};
    int status = 0;
    bool shown = false;
    for (int i = 0; i < 2; i++) {
        if (!wanted[i])
            continue;
        const section &sec = sections[i];
        const char *what = "";
        int err = sec.unready(&what);
        if (err) {
            fprintf(stderr, "%s: %s: %s\n", argv[0], what, strerror(err));
            status = 1;
            continue;
        }
        // A blank line between two sections, not before the first shown.
        if (shown)
            putchar('\n');
        shown = true;
        printf("%s", sec.header);
        fflush(stdout);
        int calls = given_or(set.calls, sec.calls);
        int loops = given_or(set.loops, sec.loops);
        int rounds = given_or(set.rounds, ROUNDS);
        long first = sec.bench[0](calls, loops, rounds);
        long second = sec.bench[1](calls, loops, rounds);
        putchar('\n');
        printf(sec.line[0], first);
        printf(sec.line[1], second);
    }
    return output_status(argv[0], status);
}
