// End-to-end runs: the real zel_usb_interface binary against zel_hub_sim on a
// pseudo-terminal, both started as child processes in real time.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/scenario.hpp"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string bin(const char* name) {
    return std::string(ZEL_BIN_DIR) + "/" + name;
}

using scenario::read_file;
inline std::string read_text(const std::string& path) { return read_file(path); }
inline void write_text(const std::string& path, const std::string& text) { scenario::write_file(path, text); }

// A short directory under /tmp: the tool keeps port names of at most 39
// characters, and DIR/hub/dev/ttyACM0 must fit.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/zelXXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Starts `argv` with its standard output on a pipe (returned in *out_fd, or
// closed when out_fd is null) and its standard error into `err_path`.
// Everything the child needs is prepared before the fork.
inline pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& cwd, const std::string& err_path, int* out_fd) {
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        if (err_fd >= 0) ::dup2(err_fd, STDERR_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    if (err_fd >= 0) ::close(err_fd);
    if (pid < 0 || out_fd == nullptr) {
        ::close(pipe_fds[0]);
    } else {
        *out_fd = pipe_fds[0];
    }
    return pid;
}

// Waits for a child; its exit code, 128 + the signal that ended it, or -1
// when it was still running at the deadline (it is then killed).
inline int wait_child(pid_t pid, double timeout_s) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The current environment without the discovery roots, plus `extra`.
inline std::vector<std::string> environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("ZEL_SYSFS_ROOT=", 0) == 0 || entry.rfind("ZEL_DEV_ROOT=", 0) == 0) continue;
        env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// Undoes the single quotes the simulator puts around an unusual path.
inline std::string unquote(const std::string& word) {
    if (word.size() < 2 || word.front() != '\'') return word;
    std::string text;
    for (size_t i = 1; i < word.size(); ++i) {
        if (word.compare(i, 4, "'\\''") == 0) {
            text += '\'';
            i += 3;
        } else if (word[i] != '\'') {
            text += word[i];
        }
    }
    return text;
}

// One line of the simulator's trace.
struct TraceLine {
    double time = 0;
    std::string tag;             // "->", "<-", "x>" or "**"
    std::vector<uint8_t> bytes;  // for the byte lines
    std::string text;            // for "**" lines
};

inline std::vector<TraceLine> parse_trace(const std::string& text) {
    std::vector<TraceLine> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        TraceLine t;
        if (!(words >> t.time >> t.tag)) continue;
        if (t.tag == "**") {
            std::getline(words >> std::ws, t.text);
        } else {
            size_t count = 0;
            words >> count;
            std::string hex;
            while (words >> hex) t.bytes.push_back(uint8_t(std::stoul(hex, nullptr, 16)));
            if (t.bytes.size() != count) t.tag = "?";  // a damaged line never passes as bytes
        }
        lines.push_back(std::move(t));
    }
    return lines;
}

// The bytes of every line with `tag`, run together.
inline std::vector<uint8_t> trace_bytes(const std::vector<TraceLine>& trace, const std::string& tag) {
    std::vector<uint8_t> all;
    for (const TraceLine& t : trace) {
        if (t.tag == tag) all.insert(all.end(), t.bytes.begin(), t.bytes.end());
    }
    return all;
}

// zel_hub_sim in its own temporary directory, stopped when this goes.
class HubSim {
public:
    // `options` come after --dir and --trace. A safety idle limit is added
    // unless given, so a sim left by a crashed test ends by itself.
    explicit HubSim(std::vector<std::string> options = {}, const std::string& scenario = "") {
        dir_ = temp_.path() + "/hub";
        trace_path_ = temp_.path() + "/trace.txt";
        err_path_ = temp_.path() + "/sim.err";
        std::vector<std::string> argv{bin("zel_hub_sim"), "--dir", dir_, "--trace", trace_path_};
        if (!scenario.empty()) {
            const std::string file = temp_.path() + "/scenario.txt";
            write_text(file, scenario);
            argv.insert(argv.end(), {"--scenario", file});
        }
        bool idle = false;
        for (const std::string& o : options) idle = idle || o == "--exit-after-idle";
        argv.insert(argv.end(), options.begin(), options.end());
        if (!idle) argv.insert(argv.end(), {"--exit-after-idle", "120"});
        int out = -1;
        pid_ = spawn(argv, environment({}), "", err_path_, &out);
        if (pid_ <= 0) return;
        read_assignments(out);
        ::close(out);
    }
    ~HubSim() { stop(); }
    HubSim(const HubSim&) = delete;
    HubSim& operator=(const HubSim&) = delete;

    // True when it printed both assignments.
    bool started() const { return !sysfs_root_.empty() && !dev_root_.empty(); }
    const std::string& sysfs_root() const { return sysfs_root_; }
    const std::string& dev_root() const { return dev_root_; }
    const std::string& dir() const { return dir_; }

    // SIGTERM, then its exit code (-1 when it had to be killed). Repeatable.
    int stop(double timeout_s = 5.0) {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            exit_code_ = wait_child(pid_, timeout_s);
            pid_ = -1;
        }
        return exit_code_;
    }
    // Waits for it to end by itself.
    int wait(double timeout_s) {
        if (pid_ > 0) {
            exit_code_ = wait_child(pid_, timeout_s);
            pid_ = -1;
        }
        return exit_code_;
    }

    std::string stderr_text() const { return read_text(err_path_); }
    std::vector<TraceLine> trace() const { return parse_trace(read_text(trace_path_)); }
    std::string trace_text() const { return read_text(trace_path_); }

private:
    void read_assignments(int fd) {
        std::string text;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (std::count(text.begin(), text.end(), '\n') < 2 && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[512];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;  // it ended (a bad option or scenario)
            text.append(buffer, size_t(n));
        }
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("ZEL_SYSFS_ROOT=", 0) == 0) sysfs_root_ = unquote(line.substr(15));
            if (line.rfind("ZEL_DEV_ROOT=", 0) == 0) dev_root_ = unquote(line.substr(13));
        }
    }

    TempDir temp_;
    std::string dir_, trace_path_, err_path_;
    std::string sysfs_root_, dev_root_;
    pid_t pid_ = -1;
    int exit_code_ = -1;
};

// What one run of the real tool left.
struct ToolRun {
    int exit_code = -1;
    std::string out;       // standard output
    std::string err;       // standard error
    std::string log;       // that file's text
    std::vector<std::string> entries;  // everything in the working directory afterwards, sorted
    double seconds = 0;
};

// Runs zel_usb_interface with `args` in a fresh working directory (made
// ready by `prepare`), with the discovery roots pointing at `sysfs_root` and
// `dev_root`.
inline ToolRun run_tool(const std::vector<std::string>& args, const std::string& sysfs_root,
                        const std::string& dev_root, double timeout_s = 120,
                        const std::function<void(const std::string&)>& prepare = {}) {
    ToolRun run;
    TempDir temp;
    const std::string work = temp.path() + "/work";
    fs::create_directories(work);
    if (prepare) prepare(work);
    std::vector<std::string> argv{bin("zel_usb_interface")};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto start = Clock::now();
    int out = -1;
    const pid_t pid = spawn(argv, environment({"ZEL_SYSFS_ROOT=" + sysfs_root, "ZEL_DEV_ROOT=" + dev_root}), work,
                            temp.path() + "/tool.err", &out);
    if (pid <= 0) return run;
    const auto deadline = start + std::chrono::duration<double>(timeout_s);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{out, POLLIN, 0};
        if (::poll(&p, 1, int(std::min<long long>(left, 1000))) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n <= 0) break;
        run.out.append(buffer, size_t(n));
    }
    ::close(out);
    run.exit_code = wait_child(pid, std::max(0.1, std::chrono::duration<double>(deadline - Clock::now()).count()));
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.err = read_text(temp.path() + "/tool.err");
    for (const auto& entry : fs::recursive_directory_iterator(work)) {
        run.entries.push_back(fs::relative(entry.path(), work).string());
    }
    std::sort(run.entries.begin(), run.entries.end());
    for (const auto& entry : fs::directory_iterator(work)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("zel_USB_Logger_", 0) == 0 && entry.path().extension() == ".log" && entry.is_regular_file()) {
            run.log = read_text(entry.path().string());
        }
    }
    return run;
}

inline ToolRun run_tool(const std::vector<std::string>& args, const HubSim& sim, double timeout_s = 120,
                        const std::function<void(const std::string&)>& prepare = {}) {
    return run_tool(args, sim.sysfs_root(), sim.dev_root(), timeout_s, prepare);
}

// One entry of the tool's log file: "[stamp] LEVEL: text", the text with
// its own line end.
using scenario::LogEntry;

inline std::vector<LogEntry> parse_log(const std::string& file) {
    std::vector<std::string> lines;
    for (size_t at = 0, end = 0; at < file.size(); at = end) {
        end = std::min(file.find('\n', at), file.size() - 1) + 1;
        lines.push_back(file.substr(at, end - at));
    }
    return scenario::parse_log(lines);
}

inline bool logged(const std::vector<LogEntry>& log, const std::string& level, const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const LogEntry& e) { return e.level == level && e.text == text; });
}

// The texts logged at `level`, in order.
inline std::vector<std::string> texts_at(const std::vector<LogEntry>& log, const std::string& level) {
    std::vector<std::string> all;
    for (const LogEntry& e : log) {
        if (e.level == level) all.push_back(e.text);
    }
    return all;
}

// The reporter's two lines for `operation`, one after the other.
inline bool reported(const std::vector<LogEntry>& log, const std::string& operation, const std::string& detail) {
    const std::string head = "USB CDC read/write interface: error calling \"" + operation + "\" at src/";
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].text.rfind(head, 0) == 0 && log[i + 1].text == detail) return true;
    }
    return false;
}

// How many times `part` occurs in `text`.
inline size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

using Bytes = std::vector<uint8_t>;

// A request: the little-endian word, then zeros.
inline Bytes request(uint32_t word, size_t size = 104) {
    Bytes r(size, 0);
    for (int i = 0; i < 4; ++i) r[size_t(i)] = uint8_t(word >> (8 * i));
    return r;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline uint32_t le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// Everything the tool wrote to the stand-in, after the stand-in stopped (so
// its trace is complete).
inline Bytes written(HubSim& sim) {
    if (sim.stop() != 0) return {};
    return trace_bytes(sim.trace(), "->");
}

// The stand-in's event lines ("**"), in order.
inline std::vector<std::string> events(const HubSim& sim) {
    std::vector<std::string> all;
    for (const TraceLine& t : sim.trace()) {
        if (t.tag == "**") all.push_back(t.text);
    }
    return all;
}

// Whether an event line starts with `start`.
inline bool traced(const HubSim& sim, const std::string& start) {
    const std::vector<std::string> all = events(sim);
    return std::any_of(all.begin(), all.end(), [&](const std::string& t) { return t.rfind(start, 0) == 0; });
}

}  // namespace e2e
