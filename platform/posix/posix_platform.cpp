// The POSIX backend of the platform seam: clocks and sleeps on the monotonic
// clock, the console, files, and the interruptions (SIGINT, SIGTERM,
// SIGHUP) that end the run at its next wait. The port and the lock live in
// their own files; what a system adds of its own (discovery, who holds a
// port, the timer slack, the port's speed) in its folder (platform/linux).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/posix_internal.hpp"
#include "platform/posix/posix_process.hpp"

namespace zel::posix {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerTick = 100;

volatile sig_atomic_t g_signal = 0;
int g_pipe[2] = {-1, -1};

void on_signal(int signal) {
    const int saved = errno;
    if (g_signal == 0) g_signal = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

int64_t now_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

timespec to_timespec(int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return ts;
}

void sleep_ns(int64_t ns) {
    if (ns <= 0) return;
    tighten_timer_slack();
    // An absolute deadline keeps a wait that a signal interrupts from
    // stretching when it is resumed. The signal ends the wait; slices of a
    // quarter second bound how late one that arrives just before it is seen.
    constexpr int64_t kSliceNs = 250 * kNsPerMs;
    const int64_t deadline = monotonic_ns() + ns;
    while (g_signal == 0) {
        const int64_t left = deadline - monotonic_ns();
        if (left <= 0) return;
        const timespec until = to_timespec(deadline - left + std::min(left, kSliceNs));
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}

bool write_all_fd(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool read_only(const struct stat& st, const std::string& path) {
    // Without a write bit the file is read-only for everybody, as the
    // read-only attribute is on Windows, root included.
    return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

bool write_fd(int fd, std::string_view content) {
    return write_all_fd(fd, content.data(), content.size()) && ::fsync(fd) == 0;
}

FileWrite replace(const std::string& path, std::string_view content, bool owner_only) {
    // Replace the file a link points to, not the link.
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return FileWrite::NotRegular;
    if (exists && read_only(st, target)) return FileWrite::ReadOnly;

    // A hidden name beside the target keeps the rename within one file system.
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string leaf = target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 64);
    static std::atomic<unsigned> serial{0};
    const std::string temporary =
        folder + "." + leaf + "." + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".tmp";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists || owner_only ? 0600 : 0666);
    if (fd < 0) {
        if (!exists || (errno != EACCES && errno != EPERM)) return FileWrite::Failed;
        // The folder takes no new file, but the file itself may be written:
        // over its old bytes, which go back if the new ones do not all fit.
        const int in_place = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
        if (in_place < 0) return FileWrite::Failed;
        std::string old;
        char piece[4096];
        ssize_t n = 0;
        while ((n = ::read(in_place, piece, sizeof piece)) > 0) old.append(piece, size_t(n));
        if (n < 0) {  // the old bytes could not all be kept: do not start
            ::close(in_place);
            return FileWrite::Failed;
        }
        auto put = [in_place](std::string_view bytes) {
            return ::lseek(in_place, 0, SEEK_SET) == 0 && write_fd(in_place, bytes) &&
                   ::ftruncate(in_place, off_t(bytes.size())) == 0 && ::fsync(in_place) == 0;
        };
        const bool written = put(content);
        if (!written) put(old);
        return ::close(in_place) == 0 && written ? FileWrite::WrittenInPlace : FileWrite::Failed;
    }
    // The file may hold a key: keep the access the user gave the old one; a
    // new one that holds a key is the owner's alone, whatever the umask allows.
    if (exists) ::fchmod(fd, st.st_mode & 07777);
    if (!exists && owner_only) ::fchmod(fd, 0600);
    const bool written = write_fd(fd, content);
    if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return FileWrite::Failed;
    }
    return FileWrite::Replaced;
}

class PosixPlatform final : public ProcessSeam {
public:
    PosixPlatform() {
        tighten_timer_slack();
        catch_interruptions();
    }

    int64_t utc_now_ticks() override { return now_ns(CLOCK_REALTIME) / kNsPerTick; }
    int64_t tick_count() override { return monotonic_ns() / kNsPerTick; }
    void sleep_ms(uint32_t ms) override { sleep_ns(int64_t{ms} * kNsPerMs); }
    void timer_wait(int64_t due_100ns) override {
        if (due_100ns > 0 && due_100ns < INT64_MAX / kNsPerTick) sleep_ns(due_100ns * kNsPerTick);
    }

    std::string format_local_time(uint32_t seconds, const char* format) override {
        const time_t t = static_cast<time_t>(seconds);
        tm local{};
        if (format == nullptr || localtime_r(&t, &local) == nullptr) return {};
        char text[80];
        const size_t n = std::strftime(text, sizeof text, format, &local);
        return std::string(text, n);
    }

    void write_stdout(std::string_view text) override {
        // Through stdio, so that these texts and any printf output keep their
        // order. A reader that went away (a closed pipe) only loses the text.
        if (stdout_gone_) return;
        const char* data = text.data();
        size_t left = text.size();
        while (left > 0) {
            const size_t n = std::fwrite(data, 1, left, stdout);
            data += n;
            left -= n;
            if (n == 0) {
                if (!std::ferror(stdout) || errno != EINTR) break;
                std::clearerr(stdout);
            }
        }
        while (std::fflush(stdout) != 0 && errno == EINTR) std::clearerr(stdout);
        if (std::ferror(stdout) && errno == EPIPE) stdout_gone_ = true;
        std::clearerr(stdout);
    }
    void write_stderr(std::string_view text) override { write_all_fd(2, text.data(), text.size()); }
    bool stderr_is_terminal() override { return ::isatty(2) == 1; }

    std::string log_directory() override { return "./"; }
    std::vector<std::string> list_directory(const std::string& dir) override { return directory_entries(dir); }
    bool remove_file(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
    bool append_to_file(const std::string& path, std::string_view text) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const bool written = write_all_fd(fd, text.data(), text.size());
        const bool closed = ::close(fd) == 0;
        return written && closed;
    }

    FileStatus file_status(const std::string& path) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return {};
        if (!S_ISREG(st.st_mode)) return {FileStatus::Other, 0, false};
        return {FileStatus::Regular, uint64_t(st.st_size), read_only(st, path)};
    }

    bool read_file(const std::string& path, uint64_t max_bytes, bool, std::string& out) override {
        // Non-blocking, so a file that became a FIFO since cannot hold the run.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return false;
        out.clear();
        char piece[64 * 1024];
        bool ok = true;
        while (out.size() <= max_bytes) {
            const ssize_t n = ::read(fd, piece, sizeof piece);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            out.append(piece, size_t(n));
        }
        if (out.size() > max_bytes + 1) out.resize(max_bytes + 1);
        ::close(fd);
        return ok;
    }

    FileWrite replace_file(const std::string& path, std::string_view content, bool, bool owner_only) override {
        return replace(path, content, owner_only);
    }

    std::vector<UsbSerialDevice> list_usb_serial_devices() override { return discover_usb_serial_devices(); }
    PortHandle port_create(const std::string& name, OpenFailure& why) override { return open_port(name, why); }
    std::string port_holder(const std::string& name) override { return find_port_holder(name); }
    std::string port_open_hint(const std::string& name) override { return permission_hint(name); }
    bool port_set_state(PortHandle h) override { return configure_port(h); }
    // The kernel sizes its own queues, and the time-outs live in the reads
    // and writes.
    bool port_set_queues(PortHandle h, uint32_t, uint32_t) override { return h >= 0 && h <= INT_MAX; }
    bool port_set_timeouts(PortHandle h) override { return h >= 0 && h <= INT_MAX; }
    // A write returns once the driver has sent its bytes (within its bound).
    bool port_flush(PortHandle h) override { return h >= 0 && h <= INT_MAX; }
    int port_write(PortHandle h, const uint8_t* data, uint32_t length) override { return write_port(h, data, length); }
    int port_read(PortHandle h, uint8_t* data, uint32_t length) override { return read_port(h, data, length); }
    void port_close(PortHandle h) override { close_port(h); }
    std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder) override {
        return posix::lock_hub(key, holder);
    }

    std::string environment(const char* name) override {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }
    std::string interruption() override {
        switch (interrupting_signal()) {
            case 0: return {};
            case SIGINT: return "SIGINT";
            case SIGTERM: return "SIGTERM";
            case SIGHUP: return "SIGHUP";
            default: return "a signal";
        }
    }
    // An exit status holds only 0-255: a result outside it exits with 255,
    // so that no failure can read as success (256 would become 0) or as
    // another result (801 would become 33); the log carries the full number.
    int exit_status(int result) override { return result >= 0 && result <= 255 ? result : 255; }

private:
    bool stdout_gone_ = false;
};

}  // namespace

int64_t monotonic_ns() {
    return now_ns(CLOCK_MONOTONIC);
}

bool natural_less(const std::string& a, const std::string& b) {
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && is_digit(a[ie])) ++ie;
            while (je < b.size() && is_digit(b[je])) ++je;
            size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            const size_t alen = ie - is, blen = je - js;
            if (alen != blen) return alen < blen;
            const int c = a.compare(is, alen, b, js, blen);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;  // equal by value ("ttyACM01" and "ttyACM1"): any fixed order
}

bool real_path(const std::string& path, std::string& out) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    out = resolved;
    std::free(resolved);
    return true;
}

std::vector<std::string> directory_entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

void catch_interruptions() {
    // A reader that goes away must not end the run half-way.
    ::signal(SIGPIPE, SIG_IGN);
    if (g_pipe[0] >= 0 || ::pipe(g_pipe) != 0) return;
    for (const int fd : g_pipe) {
        // A pipe that could block would hang the signal handler: without it,
        // interruptions stay as the system handles them.
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            ::close(g_pipe[0]);
            ::close(g_pipe[1]);
            g_pipe[0] = g_pipe[1] = -1;
            return;
        }
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A process started with the signal ignored (nohup, a background
        // job) keeps it ignored.
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_signal;  // no SA_RESTART: a blocked call returns
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

int interrupting_signal() {
    return g_signal;
}

int interruption_fd() {
    return g_pipe[0];
}

}  // namespace zel::posix

namespace zel {

Platform& native_platform() {
    static posix::PosixPlatform platform;
    return platform;
}

std::vector<std::string> native_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace zel
