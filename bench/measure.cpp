// SPDX-License-Identifier: MIT
// orvex-measure: runs a command and records what it cost.
//
//   orvex-measure RESULT CMD [ARGS...]
//
// Writes one line to RESULT: wall time (fork to reaped, monotonic clock), user and system CPU time
// and peak resident set size of the command (from wait4), and its exit status. Exits with the
// command's status, or 128 + the signal that ended it.
//
// The command runs with address-space randomisation off. Its peak counts the pages of the shared
// libraries the kernel maps around each page fault, and how many those are depends on where the
// loader placed each library: with random placement the peak of one program varies by some
// 200 KiB from run to run. With it off, programs that load the same libraries get them at the same
// addresses, and each program's peak repeats to the page.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: orvex-measure RESULT CMD [ARGS...]\n");
        return 2;
    }
    const double start = now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("orvex-measure: fork");
        return 2;
    }
    if (pid == 0) {
        personality(ADDR_NO_RANDOMIZE);
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "orvex-measure: %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    int wstatus = 0;
    rusage ru{};
    if (wait4(pid, &wstatus, 0, &ru) != pid) {
        std::perror("orvex-measure: wait4");
        return 2;
    }
    const double wall = now() - start;
    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    FILE *f = std::fopen(argv[1], "w");
    if (!f) {
        std::perror(argv[1]);
        return 2;
    }
    std::fprintf(f, "wall_s=%.6f user_s=%.6f sys_s=%.6f maxrss_kib=%ld status=%d\n", wall,
                 seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss, status);
    std::fclose(f);
    return status;
}
