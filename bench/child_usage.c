/* child_usage LOG TIMEOUT_S PROGRAM [ARG...]
 * Runs PROGRAM with stdout and stderr sent to LOG and prints one line:
 * "exit wall_s user_s sys_s maxrss_kib voluntary_switches".
 * Why not measure from Python directly: Linux carries the memory high-water mark of the
 * process that execs a program into that program's ru_maxrss, so a child started by the
 * Python interpreter reports at least the interpreter's ~14 MiB. Started from this small
 * process, the figure is the tool's own (plus well under 1 MiB). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval tv) { return (double)tv.tv_sec + tv.tv_usec / 1e6; }

int main(int argc, char **argv) {
    if (argc < 4) {
        fputs("usage: child_usage LOG TIMEOUT_S PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        int log = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(126);
        alarm((unsigned)atoi(argv[2])); /* kept across exec: a hung run is ended */
        execv(argv[3], argv + 3);
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (pid < 0 || wait4(pid, &status, 0, &ru) < 0) {
        perror("child_usage");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%d %.6f %.6f %.6f %ld %ld\n", code,
           (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
           seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss, ru.ru_nvcsw);
    return 0;
}
