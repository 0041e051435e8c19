// Programs started with fork and exec: each in a process group of its own
// (so that Ctrl-C on the terminal reaches this process alone, and it decides
// how its children stop), with the signals this process catches back at
// their defaults, its output appended to a file and nothing to read.
#include "platform/posix/posix_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/posix_internal.hpp"

extern char** environ;

namespace zel::posix {
namespace {

class PosixChild final : public ChildProcess {
public:
    explicit PosixChild(pid_t pid) : pid_(pid) {}

    bool ended(int& exit_status) override {
        if (!ended_) {
            int raw = 0;
            pid_t got = 0;
            do {
                got = ::waitpid(pid_, &raw, WNOHANG);
            } while (got < 0 && errno == EINTR);
            if (got == pid_) {
                ended_ = true;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : 255;
            } else if (got < 0) {  // no longer this process's child: nothing more will be known
                ended_ = true;
                status_ = 255;
            }
        }
        exit_status = status_;
        return ended_;
    }
    // To the group: whatever the program started stops with it. A child not
    // reaped yet keeps its process id, so the group cannot be another's.
    void interrupt() override {
        if (!ended_) ::kill(-pid_, SIGINT);
    }
    void kill() override {
        if (!ended_) ::kill(-pid_, SIGKILL);
    }

private:
    pid_t pid_;
    bool ended_ = false;
    int status_ = 0;
};

// What the child failed at before its program ran, sent through a pipe
// that closes by itself when the program starts.
struct StartFailure {
    int step;
    int error;
};
constexpr const char* kSteps[] = {"", "enter the working folder", "open /dev/null", "open the output file",
                                  "run the program"};

[[noreturn]] void fail_in_child(int fd, int step) {
    const StartFailure failure{step, errno};
    [[maybe_unused]] const ssize_t n = ::write(fd, &failure, sizeof failure);
    ::_exit(127);
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void become(const ChildSpec& spec, char* const* argv, char* const* envp, int report) {
    ::setpgid(0, 0);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!spec.directory.empty() && ::chdir(spec.directory.c_str()) != 0) fail_in_child(report, 1);
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0) fail_in_child(report, 2);
    const int out = ::open(spec.output.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) fail_in_child(report, 3);
    if (in > 2) ::close(in);
    if (out > 2) ::close(out);
    ::execve(spec.program.c_str(), argv, envp);
    fail_in_child(report, 4);
}

}  // namespace

std::unique_ptr<ChildProcess> ProcessSeam::start_child(const ChildSpec& spec, std::string& why) {
    // Everything the child needs is made before the fork.
    std::vector<std::string> args{spec.program};
    args.insert(args.end(), spec.arguments.begin(), spec.arguments.end());
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(spec.environment.begin(), spec.environment.end(),
                                          [name](const auto& set) { return set.first == name; });
        if (!replaced) env.emplace_back(text);
    }
    for (const auto& [name, value] : spec.environment) env.push_back(std::string(name).append("=").append(value));
    std::vector<char*> argv;
    std::vector<char*> envp;
    argv.reserve(args.size() + 1);
    envp.reserve(env.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    for (std::string& entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int report[2] = {-1, -1};
    if (::pipe2(report, O_CLOEXEC) != 0) {
        why = std::string("no pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const pid_t pid = ::fork();
    if (pid == 0) become(spec, argv.data(), envp.data(), report[1]);
    const int fork_error = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        why = std::string("fork failed: ") + std::strerror(fork_error);
        return nullptr;
    }
    ::setpgid(pid, pid);  // the child does it too: whichever comes first, the group exists before a signal
    StartFailure failure{};
    ssize_t n = 0;
    do {
        n = ::read(report[0], &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof failure)) {
        ::waitpid(pid, nullptr, 0);
        const int step = failure.step >= 1 && failure.step <= 4 ? failure.step : 4;
        why = std::string("could not ") + kSteps[step] + ": " + std::strerror(failure.error);
        return nullptr;
    }
    return std::make_unique<PosixChild>(pid);
}

void ProcessSeam::wait_children(const std::vector<ChildProcess*>& children, uint32_t ms) {
    // Slices of 25 ms: a child's end is seen that late at most, for a few
    // system calls per slice. An interruption ends the wait at once.
    constexpr int64_t kSliceNs = 25 * kNsPerMs;
    const int64_t deadline = monotonic_ns() + int64_t{ms} * kNsPerMs;
    const bool watch = interrupting_signal() == 0;
    for (;;) {
        int status = 0;
        for (ChildProcess* child : children) {
            if (child->ended(status)) return;
        }
        const int64_t left = deadline - monotonic_ns();
        if (left <= 0 || (watch && interrupting_signal() != 0)) return;
        const int64_t slice = std::min(left, kSliceNs);
        timespec until{};
        until.tv_sec = static_cast<time_t>(slice / 1'000'000'000);
        until.tv_nsec = static_cast<long>(slice % 1'000'000'000);
        pollfd interruption{interruption_fd(), POLLIN, 0};
        ::ppoll(watch ? &interruption : nullptr, watch ? 1 : 0, &until, nullptr);
    }
}

std::string ProcessSeam::executable_path() {
    return running_executable();
}

int ProcessSeam::process_id() {
    return int(::getpid());
}

std::string ProcessSeam::current_directory() {
    std::string path(4096, '\0');
    while (::getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find('\0'));
}

bool ProcessSeam::make_directory(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool ProcessSeam::stdout_is_terminal() {
    return ::isatty(1) == 1;
}

void ProcessSeam::redraw_stdout(const std::vector<std::string>& lines, size_t drawn) {
    winsize size{};
    const size_t width = ::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    write_stdout(vt_redraw_text(lines, drawn, width));
}

}  // namespace zel::posix
