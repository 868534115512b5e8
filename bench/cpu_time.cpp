// Runs a command and prints the CPU time it used, user plus system, in
// seconds with microsecond resolution: on a shared machine the CPU time of
// a run moves much less with the load than its wall time does. The
// command's own output is discarded.
//
//   cpu_time COMMAND [ARG...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: cpu_time COMMAND [ARG...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid) {
        perror("wait4");
        return 1;
    }
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    printf("%.6f\n", cpu);
    return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? 1 : 0;
}
