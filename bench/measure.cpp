// zel_measure: runs a program and prints its wall time, CPU time and peak
// memory. A small launcher of its own, because Linux carries a process's
// peak memory across exec: a child forked from a large process (python)
// would report the parent's size, not the program's.
//
// usage: zel_measure [--report FILE] PROGRAM [ARGS...]
// Standard input, output and error are the launcher's. One line goes to
// FILE (or to standard error):
//   exit <code> wall_ns <n> user_us <n> sys_us <n> maxrss_kib <n> launcher_rss_kib <n>
// (exit is 128 + the signal for a program ended by a signal; launcher_rss_kib
// is this launcher's own peak at the moment it started the program, a lower
// bound below which maxrss_kib says nothing about the program).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long us(const timeval& t) {
    return (long long)t.tv_sec * 1000000LL + t.tv_usec;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    const char* report = nullptr;
    if (argc > 2 && std::strcmp(argv[1], "--report") == 0) {
        report = argv[2];
        first = 3;
    }
    if (first >= argc) {
        std::fputs("usage: zel_measure [--report FILE] PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);

    pid_t pid = 0;
    const long long start = now_ns();
    const int failed = ::posix_spawn(&pid, argv[first], nullptr, nullptr, argv + first, environ);
    if (failed != 0) {
        std::fprintf(stderr, "zel_measure: cannot start %s: %s\n", argv[first], std::strerror(failed));
        return 127;
    }
    int status = 0;
    rusage usage{};
    pid_t r;
    while ((r = ::wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) {}
    const long long wall = now_ns() - start;
    if (r != pid) {
        std::perror("zel_measure: wait4");
        return 127;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    char line[256];
    const int n = std::snprintf(line, sizeof line,
                                "exit %d wall_ns %lld user_us %lld sys_us %lld maxrss_kib %ld launcher_rss_kib %ld\n",
                                code, wall, us(usage.ru_utime), us(usage.ru_stime), usage.ru_maxrss, self.ru_maxrss);
    if (n <= 0) return 127;
    if (report == nullptr) {
        std::fputs(line, stderr);
        return 0;
    }
    std::FILE* out = std::fopen(report, "w");
    if (out == nullptr) {
        std::perror(report);
        return 127;
    }
    const bool written = std::fputs(line, out) >= 0;
    return std::fclose(out) == 0 && written ? 0 : 127;
}
