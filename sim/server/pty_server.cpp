#include "sim/server/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim::server {

namespace {

int g_signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
    errno = saved;
}

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Bytes due this close together go out in one write, so an echo is one
// write rather than a wake-up per byte; the tool's reads wait far longer.
constexpr int64_t kGatherTicks = 4000;  // 0.4 ms

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::TorvaneAtmel: return "atmel";
        case Kind::Quillet: return "quillet";
        case Kind::TorvaneST: return "st";
    }
    return "?";
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace

PtyServer::PtyServer(HubModel& model, FakeTree& tree, ServerOptions options)
    : model_(model), tree_(tree), options_(std::move(options)), start_ns_(monotonic_ns()) {}

PtyServer::~PtyServer() {
    for (const int fd : {watch_, slave_, master_, trace_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool PtyServer::install_signal_handlers(std::string& error) {
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int64_t PtyServer::ticks() const {
    return (monotonic_ns() - start_ns_) / 100;
}

bool PtyServer::open_slave(std::string& error) {
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + slave_path_ + ": " + std::strerror(errno);
        return false;
    }
    // Raw at once: a canonical line discipline would hold back every byte
    // until a newline and echo the tool's bytes back to it.
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B3000000);
        ::cfsetospeed(&tio, B3000000);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    if (slave_ >= 0) ::close(slave_);
    slave_ = fd;
    locked_ = false;
    return true;
}

bool PtyServer::start(std::string& error) {
    if (!options_.trace_path.empty()) {
        trace_ = ::open(options_.trace_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (trace_ < 0) {
            error = "cannot open the trace " + options_.trace_path + ": " + std::strerror(errno);
            return false;
        }
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slave_path_ = name;
    if (!open_slave(error)) return false;
    // Watched after our own open, so every event is someone else's.
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, slave_path_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        error = std::string("cannot watch the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const HubConfig& c = model_.config();
    trace_event(0, std::string("started: kind ") + kind_name(c.kind) + (c.legacy ? ", legacy" : ", current") +
                       " framing, " + slave_path_);
    update_presence(0);
    if (failed_) {
        error = "cannot build the device tree";
        return false;
    }
    last_activity_ = ticks();
    return true;
}

void PtyServer::trace_bytes(int64_t now, const char* tag, std::span<const uint8_t> bytes) {
    if (trace_ < 0 || bytes.empty()) return;
    std::string line;
    line.reserve(32 + bytes.size() * 3);
    char head[64];
    std::snprintf(head, sizeof head, "%lld.%06lld %s %zu", (long long)(now / 10'000'000),
                  (long long)(now % 10'000'000 / 10), tag, bytes.size());
    line += head;
    static const char digits[] = "0123456789abcdef";
    for (const uint8_t b : bytes) {
        line += ' ';
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    line += '\n';
    write_all(trace_, line.data(), line.size());
}

void PtyServer::trace_event(int64_t now, const std::string& text) {
    if (trace_ < 0) return;
    char head[48];
    std::snprintf(head, sizeof head, "%lld.%06lld ** ", (long long)(now / 10'000'000),
                  (long long)(now % 10'000'000 / 10));
    const std::string line = head + text + "\n";
    write_all(trace_, line.data(), line.size());
}

void PtyServer::update_presence(int64_t now) {
    if (shown_ && model_.generation() != shown_generation_ && now >= model_.left_at()) go_off(now);
    if (!shown_ && model_.present(now) && !come_back(now)) failed_ = true;
}

void PtyServer::go_off(int64_t now) {
    tree_.unplug();
    shown_ = false;
    // What was still on its way never arrives, and what sits in the
    // terminal's buffers must not greet the next opener.
    model_.discard_output();
    output_blocked_ = false;
    ::tcflush(slave_, TCIOFLUSH);
    // A device that leaves the bus fails its open handles. Hanging up needs
    // CAP_SYS_ADMIN; without it the tool's handle just stays silent.
    bool hung_up = false;
    if (::ioctl(slave_, TIOCVHANGUP) == 0) {
        std::string error;
        hung_up = open_slave(error);
        if (!hung_up) std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
    }
    drain_open_events();
    opens_by_others_ = 0;
    trace_event(now, std::string("off the bus") + (hung_up ? ", open handles hung up" : "") +
                         (model_.absent_until() < 0 ? ", for good" : ""));
}

bool PtyServer::come_back(int64_t now) {
    std::string error;
    if (!tree_.plug(model_.port_name(), model_.vendor_id(), model_.product_id(), slave_path_, error)) {
        std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
        return false;
    }
    shown_ = true;
    shown_generation_ = model_.generation();
    const HubConfig& c = model_.config();
    opens_to_refuse_ = shown_generation_ == 0 ? c.refuse_opens : c.refuse_opens_after_restart;
    apply_lock();
    trace_event(now, "on the bus as " + model_.port_name());
    return true;
}

// An open is refused through the lock the tool takes right after opening:
// while we hold it, the tool's attempt fails as an unshareable port would.
// The lock goes only once the last refused opener has closed again: we see
// its open before it asks for the lock.
void PtyServer::apply_lock() {
    if (opens_to_refuse_ > 0 && !locked_) {
        locked_ = ::flock(slave_, LOCK_EX | LOCK_NB) == 0;
    } else if (opens_to_refuse_ == 0 && opens_by_others_ == 0 && locked_) {
        ::flock(slave_, LOCK_UN);
        locked_ = false;
    }
}

void PtyServer::drain_open_events() {
    alignas(inotify_event) char buffer[4096];
    while (::read(watch_, buffer, sizeof buffer) > 0) {
    }
}

void PtyServer::take_open_events(int64_t now) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(watch_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            at += ssize_t(sizeof event) + ssize_t(event.len);
            if (!shown_) continue;
            if (event.mask & IN_OPEN) {
                last_activity_ = now;
                ++opens_by_others_;
                const bool present = model_.present(now);
                if (!model_.accept_open(now) && present && opens_to_refuse_ > 0) {
                    --opens_to_refuse_;
                    trace_event(now, "open refused, " + std::to_string(opens_to_refuse_) + " more to refuse");
                } else {
                    trace_event(now, "opened");
                }
            }
            if (event.mask & IN_CLOSE) {
                if (opens_by_others_ > 0) --opens_by_others_;
                if (opens_by_others_ == 0) port_released();
                trace_event(now, "closed");
            }
        }
    }
    apply_lock();
}

// Bytes the tool never read are gone with its handle, as with a real port.
void PtyServer::port_released() {
    model_.discard_output();
    output_blocked_ = false;
    ::tcflush(slave_, TCIFLUSH);
    // An exclusive flag left by a tool that died would lock out the next one.
    ::ioctl(slave_, TIOCNXCL);
}

void PtyServer::take_input(int64_t now) {
    uint8_t buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    last_activity_ = now;
    const std::span<const uint8_t> bytes(buffer, size_t(n));
    if (shown_ && model_.present(now)) {
        trace_bytes(now, "->", bytes);
        model_.host_write(now, bytes);
    } else {
        trace_bytes(now, "x>", bytes);  // the HUB is off the bus: lost
    }
}

void PtyServer::send_due_output(int64_t now) {
    std::deque<TimedByte>& queue = model_.output();
    if (output_blocked_ || queue.empty() || queue.front().time > now) return;
    std::vector<uint8_t> chunk;
    for (const TimedByte& b : queue) {
        if (b.time > now + kGatherTicks) break;
        chunk.push_back(b.value);
    }
    const ssize_t n = ::write(master_, chunk.data(), chunk.size());
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) output_blocked_ = true;
        return;
    }
    queue.erase(queue.begin(), queue.begin() + n);
    if (size_t(n) < chunk.size()) output_blocked_ = true;
    last_activity_ = now;
    trace_bytes(now, "<-", std::span<const uint8_t>(chunk.data(), size_t(n)));
}

int PtyServer::run() {
    const int64_t idle_ticks =
        options_.exit_after_idle_s > 0 ? int64_t(options_.exit_after_idle_s * 1e7) : int64_t(0);
    for (;;) {
        int64_t now = ticks();
        update_presence(now);
        if (failed_) return 1;
        send_due_output(now);
        apply_lock();  // retried while a dead handle still holds the tool's lock
        if (idle_ticks > 0 && now - last_activity_ >= idle_ticks) {
            trace_event(now, "idle, exiting");
            return 0;
        }

        int64_t wake = INT64_MAX;
        const std::deque<TimedByte>& queue = model_.output();
        if (!output_blocked_ && !queue.empty()) wake = std::min(wake, queue.front().time);
        if (shown_ && model_.generation() != shown_generation_) wake = std::min(wake, model_.left_at());
        if (!shown_ && model_.absent_until() >= 0) wake = std::min(wake, model_.absent_until());
        if (opens_to_refuse_ > 0 && !locked_) wake = std::min(wake, now + 10 * kTicksPerMs);
        if (idle_ticks > 0) wake = std::min(wake, last_activity_ + idle_ticks);

        pollfd fds[3] = {{master_, short(POLLIN | (output_blocked_ ? POLLOUT : 0)), 0},
                         {watch_, POLLIN, 0},
                         {g_signal_pipe[0], POLLIN, 0}};
        timespec timeout{};
        timespec* limit = nullptr;
        if (wake != INT64_MAX) {
            const int64_t ns = std::max<int64_t>(0, wake - now) * 100;
            timeout.tv_sec = time_t(ns / 1'000'000'000);
            timeout.tv_nsec = long(ns % 1'000'000'000);
            limit = &timeout;
        }
        if (::ppoll(fds, 3, limit, nullptr) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "zel_hub_sim: ppoll: %s\n", std::strerror(errno));
            return 1;
        }
        now = ticks();
        if (fds[2].revents & POLLIN) {
            trace_event(now, "stopped by a signal");
            return 0;
        }
        if (fds[1].revents & POLLIN) take_open_events(now);
        if (fds[0].revents & POLLOUT) output_blocked_ = false;
        if (fds[0].revents & POLLIN) {
            take_input(now);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Every slave handle is gone (ours too): take one again rather
            // than spin on the hang-up.
            std::string error;
            if (!open_slave(error)) {
                std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
                return 1;
            }
            drain_open_events();
            apply_lock();
        }
    }
}

}  // namespace sim::server
