// Preloaded into latmeter in place of the C library's clock_gettime, so that
// the harness's timed loops last what the test chooses: FAKE_LOOPS_NS lists
// their lengths in nanoseconds, separated by colons, in turn. The first read
// is latmeter's untimed try; then reads alternate start and end, and a start
// comes a second and a nanosecond after the last end, so that the nanoseconds
// field wraps. With FAKE_CLOCK_ERRNO, every read fails with that errno. The
// clock ids asked for are written to standard error at exit, as a mask.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long long loops_ns[64];
static int loops;
static unsigned long reads;
static unsigned long ids;
static long long now_ns;
static int fail_errno;

__attribute__((constructor)) static void read_loops()
{
    char *end;
    const char *fail = getenv("FAKE_CLOCK_ERRNO");
    fail_errno = fail ? atoi(fail) : 0;
    for (const char *s = getenv("FAKE_LOOPS_NS"); s && *s && loops < 64; s = end + (*end == ':'))
        loops_ns[loops++] = strtoll(s, &end, 10);
}

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    unsigned long n = reads++;
    ids |= 1ul << id;
    if (fail_errno) {
        errno = fail_errno;
        return -1;
    }
    if (n % 2 == 1)
        now_ns += 1000000001;
    else if (n > 0 && loops)
        now_ns += loops_ns[(n - 1) / 2 % loops];
    ts->tv_sec = now_ns / 1000000000;
    ts->tv_nsec = now_ns % 1000000000;
    return 0;
}

__attribute__((destructor)) static void report()
{
    fprintf(stderr, "clock ids: %#lx\n", ids);
}
