/*
 * Runs one command and reports what it cost, measured the same way for every program compared:
 * wall time from fork to exit, CPU time (user + system) and peak resident size from wait4().
 *
 *   seekwell-e2e-measure REPORT-FILE COMMAND [ARGS...]
 *
 * The report, one fact per line (the command's own output is left alone):
 *   wall_us 10023456
 *   cpu_us 18230
 *   maxrss_kb 7680
 *   status 0               (exit status, or 128 + signal)
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "microseconds.h"

static int ExitStatus(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
}

int main(int argc, char** argv)
{
    struct rusage usage;
    long long started, wall;
    int status;
    pid_t child;
    FILE* report;

    if (argc < 3) {
        fprintf(stderr, "usage: %s REPORT-FILE COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    started = MonotonicUs();
    child = fork();
    if (child < 0) {
        perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 2;
    }
    wall = MonotonicUs() - started;
    report = fopen(argv[1], "w");
    if (report == NULL) {
        perror(argv[1]);
        return 2;
    }
    fprintf(report, "wall_us %lld\ncpu_us %lld\nmaxrss_kb %ld\nstatus %d\n", wall, CpuUs(&usage), usage.ru_maxrss,
            ExitStatus(status));
    return fclose(report) == 0 ? ExitStatus(status) : 2;
}
