/* Wall and CPU time in microseconds, for the C host programs of the tests and benchmarks. */
#ifndef SEEKWELL_TESTS_MICROSECONDS_H
#define SEEKWELL_TESTS_MICROSECONDS_H

#include <sys/resource.h>
#include <time.h>

static inline long long MonotonicUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

/* User plus system time of a rusage record. */
static inline long long CpuUs(const struct rusage* usage)
{
    return ((long long)usage->ru_utime.tv_sec + usage->ru_stime.tv_sec) * 1000000 + usage->ru_utime.tv_usec +
           usage->ru_stime.tv_usec;
}

#endif /* SEEKWELL_TESTS_MICROSECONDS_H */
