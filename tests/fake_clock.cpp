// Preloaded into latmeter in place of the C library's clock_gettime, so that
// the harness's timed loops last what the test chooses: FAKE_LOOPS_NS lists
// their lengths in nanoseconds, separated by colons, in turn. Reads alternate
// start and end, and a start comes a second and a nanosecond after the last
// end, so that the nanoseconds field wraps. The clock ids asked for are
// written to standard error at exit, as a mask.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long long loops_ns[64];
static int loops;
static unsigned long reads;
static unsigned long ids;
static long long now_ns;

__attribute__((constructor)) static void read_loops()
{
    char *end;
    for (const char *s = getenv("FAKE_LOOPS_NS"); s && *s && loops < 64; s = end + (*end == ':'))
        loops_ns[loops++] = strtoll(s, &end, 10);
}

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    unsigned long n = reads++;
    ids |= 1ul << id;
    if (n % 2 == 0)
        now_ns += 1000000001;
    else if (loops)
        now_ns += loops_ns[n / 2 % loops];
    ts->tv_sec = now_ns / 1000000000;
    ts->tv_nsec = now_ns % 1000000000;
    return 0;
}

__attribute__((destructor)) static void report()
{
    fprintf(stderr, "clock ids: %#lx\n", ids);
}
