/* Runs a command and reports its CPU time and peak resident memory:
 *
 *   zip-measure OUT CMD [ARG...]   prints "CPU_SECONDS PEAK_KIB" to stderr;
 *                                  OUT ("-": none) becomes the command's
 *                                  standard output; exits with its status
 *   zip-measure --calibrate N      runs a fixed loop N times and prints, per
 *                                  run, "WALL_SECONDS CPU_SECONDS": on a
 *                                  machine no one else uses the runs agree
 *                                  and wall equals CPU; make bench takes it
 *                                  before and after, to tell a busy machine
 *   zip-measure --fresh-pages MIB  prints the CPU seconds of the first touch
 *                                  of MIB MiB of fresh memory, 2 MiB-aligned
 *                                  and advised for huge pages: what a
 *                                  whole-buffer program pays for its output
 *                                  on this machine, beside what it computes
 *
 * A process's peak resident size counts from the process it was forked
 * from, so the command is started from this small program rather than from
 * the Python driver, whose own size would be reported instead. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* About 20 ms of integer work on a current processor, touching no memory:
 * what it measures is the share of a processor the process gets. */
static int calibrate(long runs) {
    volatile unsigned long sink = 0;
    for (long r = 0; r < runs; ++r) {
        double wall = seconds(CLOCK_MONOTONIC), cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
        unsigned long x = 88172645463325252ul;
        for (long i = 0; i < 20000000; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        sink = x;
        printf("%.6f %.6f\n", seconds(CLOCK_MONOTONIC) - wall, seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu);
    }
    (void)sink;
    return 0;
}

static int freshPages(long mib) {
    size_t const huge = (size_t)2 << 20, bytes = (size_t)mib << 20;
    unsigned char* p = mmap(NULL, bytes + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return 1;
    unsigned char* start = p + ((huge - ((uintptr_t)p & (huge - 1))) & (huge - 1));
#ifdef MADV_HUGEPAGE
    madvise(start, bytes, MADV_HUGEPAGE);
#endif
    double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (size_t i = 0; i < bytes; i += 4096) start[i] = (unsigned char)i;
    printf("%.6f\n", seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--calibrate") == 0) return calibrate(atol(argv[2]));
    if (argc == 3 && strcmp(argv[1], "--fresh-pages") == 0) return freshPages(atol(argv[2]));
    if (argc < 3) {
        fprintf(stderr, "usage: zip-measure OUT CMD [ARG...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
        if (strcmp(argv[1], "-") != 0) {
            int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
            close(fd);
        }
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) return 2;
    fprintf(stderr, "%.6f %ld\n",
            (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
            ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
