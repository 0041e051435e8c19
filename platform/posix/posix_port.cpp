// The POSIX serial port: a termios port whose reads and writes behave like a
// Windows COM port with the time-outs the tool configures, and whose waits
// end early when the run is interrupted.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/posix/posix_internal.hpp"

namespace zel::posix {
namespace {

// Port time-outs, as the Windows port is configured: 10 ms between bytes,
// 10 ms per byte asked plus 10 ms in all; the same bound for a write.
constexpr int64_t kIntervalNs = 10 * kNsPerMs;
int64_t total_timeout_ns(uint32_t length) {
    return (10 * int64_t{length} + 10) * kNsPerMs;
}

int to_fd(PortHandle h) {
    return (h < 0 || h > INT_MAX) ? -1 : static_cast<int>(h);
}

// What ppoll reported for the port, 0 at the deadline, or -1 on a failure
// other than a signal or on an interruption.
int wait_for(int fd, short events, int64_t deadline_ns) {
    // The kernel may let one ppoll run late by 0.1 % of its time-out (12 ms
    // on a 12.5 s read); waiting in slices of at most 50 ms keeps every
    // deadline within the timer slack.
    constexpr int64_t kSliceNs = 50 * kNsPerMs;
    for (;;) {
        if (interrupting_signal() != 0) return -1;
        const int64_t left = deadline_ns - monotonic_ns();
        pollfd fds[2] = {{fd, events, 0}, {interruption_fd(), POLLIN, 0}};
        const int64_t slice = std::clamp<int64_t>(left, 0, kSliceNs);
        const timespec timeout{static_cast<time_t>(slice / 1'000'000'000), static_cast<long>(slice % 1'000'000'000)};
        const int rc = ::ppoll(fds, fds[1].fd >= 0 ? 2 : 1, &timeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) return -1;
        if (rc == 0 && left > kSliceNs) continue;
        return rc == 0 ? 0 : fds[0].revents;
    }
}

}  // namespace

PortHandle open_port(const std::string& name, OpenFailure& why) {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case EACCES:
            case EPERM: why = OpenFailure::Denied; break;
            case EBUSY: why = OpenFailure::Busy; break;
            case ENOENT:
            case ENXIO:
            case ENODEV: why = OpenFailure::Missing; break;
            default: why = OpenFailure::Other; break;
        }
        return kInvalidPort;
    }
    // No sharing, as on Windows: the lock holds against every other opener
    // that asks for it (root included), TIOCEXCL against the rest.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        why = OpenFailure::Busy;
        return kInvalidPort;
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

bool configure_port(PortHandle h) {
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
    if (!set_hub_speed(tio)) return false;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    const int lines = TIOCM_DTR | TIOCM_RTS;
    return ::ioctl(fd, TIOCMBIS, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
}

int write_port(PortHandle h, const uint8_t* data, uint32_t length) {
    const int fd = to_fd(h);
    if (fd < 0 || (data == nullptr && length > 0)) return -1;
    length = std::min<uint32_t>(length, INT_MAX);
    tighten_timer_slack();
    // A device that stays on the bus but takes nothing more must not hold
    // the run: what is not handed on within the bound counts as not written.
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
        if (monotonic_ns() >= deadline) return static_cast<int>(written);
        const int revents = wait_for(fd, POLLOUT, deadline);
        if (revents < 0 || (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return interrupting_signal() != 0 ? static_cast<int>(written) : -1;
        }
    }
    // Then until the driver has sent them, within the same bound.
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return static_cast<int>(written);
        const int64_t left = deadline - monotonic_ns();
        if (left <= 0 || interrupting_signal() != 0)
            return static_cast<int>(written) - std::min<int>(queued, int(written));
        const timespec pause{0, static_cast<long>(std::min<int64_t>(left, kNsPerMs))};
        ::nanosleep(&pause, nullptr);
    }
}

int read_port(PortHandle h, uint8_t* data, uint32_t length) {
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
        if (revents < 0 && interrupting_signal() != 0) break;  // the caller sees why
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

void close_port(PortHandle h) {
    const int fd = to_fd(h);
    if (fd < 0) return;
    // A pty slave's tty outlives this close while its master is open; the
    // exclusive flag would refuse the next (non-root) open.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

}  // namespace zel::posix
