/* Runs a command and reports its CPU time and peak resident memory:
 *
 *   zip-measure OUT CMD [ARG...]   prints "CPU_SECONDS PEAK_KIB" to stderr;
 *                                  OUT ("-": none) becomes the command's
 *                                  standard output; exits with its status
 *
 * A process's peak resident size counts from the process it was forked
 * from, so the command is started from this small program rather than from
 * the Python driver, whose own size would be reported instead. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
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
