// The Linux backend of the platform seam: clocks and sleeps on the monotonic
// clock, USB serial discovery through sysfs, and a termios port whose reads
// behave like a Windows COM port with its read time-outs.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.hpp"

namespace zel {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerTick = 100;

// Port time-outs, as the Windows port is configured: 10 ms between bytes,
// 10 ms per byte asked plus 10 ms in all.
constexpr int64_t kIntervalNs = 10 * kNsPerMs;
int64_t total_timeout_ns(uint32_t length) {
    return (10 * int64_t{length} + 10) * kNsPerMs;
}

int64_t now_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

int64_t monotonic_ns() {
    return now_ns(CLOCK_MONOTONIC);
}

timespec to_timespec(int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return ts;
}

// The default slack of 50 us makes every short pause land late; the slack is
// a per-thread setting, so each thread that waits sets it once.
void tighten_timer_slack() {
    thread_local const bool done = [] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        return true;
    }();
    (void)done;
}

void sleep_ns(int64_t ns) {
    if (ns <= 0) return;
    tighten_timer_slack();
    // An absolute deadline keeps a wait that a signal interrupts from
    // stretching when it is resumed.
    const timespec deadline = to_timespec(monotonic_ns() + ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
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

// --- sysfs discovery -------------------------------------------------------

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    std::string text = (value != nullptr && *value != '\0') ? value : fallback;
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool real_path(const std::string& path, std::string& out) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    out = resolved;
    std::free(resolved);
    return true;
}

// Strictly below `root`: the root itself is never a USB device.
bool is_below(const std::string& path, const std::string& root) {
    if (root == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
           path[root.size()] == '/';
}

bool file_exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// An identifier file as the kernel writes it: hex digits and a newline.
bool read_usb_id(const std::string& path, uint32_t& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[16];
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return false;
    size_t len = static_cast<size_t>(n);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' ')) --len;
    if (len == 0 || len > 4) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f') digit = uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = uint32_t(c - 'A' + 10);
        else return false;
        value = value * 16 + digit;
    }
    out = value;
    return true;
}

// Digit runs compare by value, so ttyACM2 comes before ttyACM10.
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

// The USB device behind one tty entry: the nearest directory, from the
// entry's interface upwards and inside the sysfs root, that carries the
// identifiers. False for ttys that are not on USB.
bool find_usb_device(const std::string& root, const std::string& entry, std::string& device_dir,
                     uint32_t& vendor, uint32_t& product) {
    std::string dir;
    if (!real_path(entry + "/device", dir)) return false;
    while (is_below(dir, root)) {
        const std::string vid_file = dir + "/idVendor";
        const std::string pid_file = dir + "/idProduct";
        if (file_exists(vid_file) && file_exists(pid_file)) {
            if (!read_usb_id(vid_file, vendor) || !read_usb_id(pid_file, product)) return false;
            device_dir = dir;
            return true;
        }
        dir.erase(dir.rfind('/'));
    }
    return false;
}

std::vector<UsbSerialDevice> discover_usb_serial_devices() {
    std::vector<UsbSerialDevice> devices;
    std::string root;
    if (!real_path(env_or("ZEL_SYSFS_ROOT", "/sys"), root)) return devices;
    std::string dev_root = env_or("ZEL_DEV_ROOT", "/dev");
    if (dev_root == "/") dev_root.clear();

    const std::string class_dir = root + "/class/tty";
    std::vector<std::string> names = directory_entries(class_dir);
    std::sort(names.begin(), names.end(), natural_less);
    for (const std::string& name : names) {
        std::string device_dir;
        uint32_t vendor = 0, product = 0;
        if (!find_usb_device(root, class_dir + "/" + name, device_dir, vendor, product)) continue;
        // Written like a Windows interface path, so that the serial layer's
        // "vid_xxxx&pid_xxxx" search works the same on both systems.
        char ids[40];
        std::snprintf(ids, sizeof ids, "usb#vid_%04x&pid_%04x#", vendor, product);
        devices.push_back(UsbSerialDevice{ids + device_dir, dev_root + "/" + name});
    }
    return devices;
}

// --- the port ----------------------------------------------------------------

int to_fd(PortHandle h) {
    return (h < 0 || h > INT_MAX) ? -1 : static_cast<int>(h);
}

// What ppoll reported, or -1 on a failure other than a signal.
int wait_for(int fd, short events, int64_t deadline_ns) {
    // The kernel may let one ppoll run late by 0.1 % of its time-out (12 ms
    // on a 12.5 s read); waiting in slices of at most 50 ms keeps every
    // deadline within the timer slack.
    constexpr int64_t kSliceNs = 50 * kNsPerMs;
    for (;;) {
        const int64_t left = deadline_ns - monotonic_ns();
        pollfd pfd{fd, events, 0};
        const timespec timeout = to_timespec(std::clamp<int64_t>(left, 0, kSliceNs));
        const int rc = ::ppoll(&pfd, 1, &timeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (rc == 0 && left > kSliceNs) continue;
        return rc == 0 ? 0 : pfd.revents;
    }
}

class PosixPlatform final : public Platform {
public:
    PosixPlatform() { tighten_timer_slack(); }

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
        // Through stdio, so that these texts and any printf output keep
        // their order.
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
    }
    void write_stderr(std::string_view text) override { write_all_fd(2, text.data(), text.size()); }
    bool stderr_is_terminal() override { return ::isatty(2) == 1; }

    std::vector<std::string> list_directory(const std::string& dir) override { return directory_entries(dir); }
    bool remove_file(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
    bool append_to_file(const std::string& path, std::string_view text) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const bool written = write_all_fd(fd, text.data(), text.size());
        const bool closed = ::close(fd) == 0;
        return written && closed;
    }

    std::vector<UsbSerialDevice> list_usb_serial_devices() override { return discover_usb_serial_devices(); }

    PortHandle port_create(const std::string& name) override {
        const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            last_open_denied_ = errno == EACCES || errno == EPERM;
            return kInvalidPort;
        }
        last_open_denied_ = false;
        // No sharing, as on Windows: the lock holds against every other
        // opener that asks for it (root included), TIOCEXCL against the rest.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return kInvalidPort;
        }
        ::ioctl(fd, TIOCEXCL);
        return fd;
    }

    std::string port_open_hint(const std::string& name) override {
        if (!last_open_denied_) return {};
        return "CDC-interface: No permission to open " + name +
               ": install the tool's udev rule (70-zel-hub.rules) and plug the HUB in again, or add your user to "
               "the dialout group (sudo usermod -aG dialout $USER) and log in again\n";
    }

    bool port_set_state(PortHandle h) override {
        const int fd = to_fd(h);
        if (fd < 0) return false;
        termios tio{};
        if (::tcgetattr(fd, &tio) != 0) return false;
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
        // Reads are timed by ppoll: VTIME counts in steps of 100 ms.
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (::cfsetispeed(&tio, B3000000) != 0 || ::cfsetospeed(&tio, B3000000) != 0) return false;
        if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
        const int lines = TIOCM_DTR | TIOCM_RTS;
        if (::ioctl(fd, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) return false;
        return true;
    }

    // The kernel sizes its own queues.
    bool port_set_queues(PortHandle h, uint32_t, uint32_t) override { return to_fd(h) >= 0; }
    // The time-outs live in port_read and port_write.
    bool port_set_timeouts(PortHandle h) override { return to_fd(h) >= 0; }

    bool port_flush(PortHandle h) override {
        const int fd = to_fd(h);
        if (fd < 0) return false;
        while (::tcdrain(fd) != 0) {
            if (errno == EINTR) continue;
            return errno != EBADF;
        }
        return true;
    }

    int port_write(PortHandle h, const uint8_t* data, uint32_t length) override {
        const int fd = to_fd(h);
        if (fd < 0 || (data == nullptr && length > 0)) return -1;
        length = std::min<uint32_t>(length, INT_MAX);
        tighten_timer_slack();
        const int64_t deadline = monotonic_ns() + total_timeout_ns(length);
        uint32_t written = 0;
        while (written < length) {
            const ssize_t n = ::write(fd, data + written, length - written);
            if (n > 0) {
                written += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (monotonic_ns() >= deadline) break;
            const int revents = wait_for(fd, POLLOUT, deadline);
            if (revents < 0 || (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -1;
        }
        return static_cast<int>(written);
    }

    int port_read(PortHandle h, uint8_t* data, uint32_t length) override {
        const int fd = to_fd(h);
        if (fd < 0 || (data == nullptr && length > 0)) return -1;
        if (length == 0) return 0;
        length = std::min<uint32_t>(length, INT_MAX);
        tighten_timer_slack();
        const int64_t total_deadline = monotonic_ns() + total_timeout_ns(length);
        int64_t deadline = total_deadline;
        uint32_t received = 0;
        // With VMIN = VTIME = 0 a tty read returns 0 both for "nothing yet"
        // and for "hung up", so read only when ppoll says there is something:
        // then 0 bytes, EIO or a hang-up without data mean the device is gone.
        while (received < length) {
            const int revents = wait_for(fd, POLLIN, deadline);
            if (revents < 0 || (revents & POLLNVAL) != 0) return received > 0 ? int(received) : -1;
            if (revents == 0) {
                if (monotonic_ns() >= deadline) break;
                continue;
            }
            const ssize_t n = ::read(fd, data + received, length - received);
            if (n > 0) {
                received += static_cast<uint32_t>(n);
                deadline = std::min(total_deadline, monotonic_ns() + kIntervalNs);
                continue;
            }
            const bool again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
            if (again && (revents & (POLLHUP | POLLERR)) == 0) continue;
            // Gone. Bytes that came before are this read's result; the next
            // read reports the loss.
            return received > 0 ? int(received) : -1;
        }
        return static_cast<int>(received);
    }

    void port_close(PortHandle h) override {
        const int fd = to_fd(h);
        if (fd < 0) return;
        // A pty slave's tty outlives this close while its master is open; the
        // exclusive flag would refuse the next (non-root) open.
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }

private:
    bool last_open_denied_ = false;
};

}  // namespace

Platform& native_platform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace zel
