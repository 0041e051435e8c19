#include "sim/server/served_hub.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim::server {

namespace {

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

}  // namespace

ServedHub::ServedHub(HubConfig config, FakeTree& tree, Trace& trace, std::string who)
    : model_(std::move(config)),
      tree_(tree),
      trace_(trace),
      who_(std::move(who)),
      location_(model_.config().location) {}

ServedHub::~ServedHub() {
    for (const int fd : {watch_, slave_, master_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool ServedHub::open_slave(std::string& error) {
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

bool ServedHub::start(int64_t now, std::string& error) {
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
        const int why = errno;
        error = std::string("cannot watch the pseudo-terminal: ") + std::strerror(why);
        // Each HUB takes an inotify instance, and a user has few of them.
        if (watch_ < 0 && why == EMFILE) {
            error +=
                " (each HUB takes three descriptors and an inotify instance: see ulimit -n and "
                "fs.inotify.max_user_instances)";
        }
        return false;
    }
    const HubConfig& c = model_.config();
    // One line per event: a serial number a scenario made odd stays on it.
    std::string serial = c.info.serial;
    std::replace_if(
        serial.begin(), serial.end(), [](char ch) { return ch < 0x20 || ch > 0x7E; }, '?');
    event(now, std::string("started: kind ") + kind_name(c.kind) + (c.legacy ? ", legacy" : ", current") +
                   " framing, serial " + serial + ", " + slave_path_);
    if (!step(now)) {
        error = "cannot build the device tree";
        return false;
    }
    last_activity_ = now;
    return true;
}

bool ServedHub::step(int64_t now) {
    if (shown_ && model_.generation() != shown_generation_ && now >= model_.left_at()) go_off(now);
    if (!shown_ && model_.present(now) && !come_back(now)) return false;
    send_due_output(now);
    apply_lock();  // retried while a dead handle still holds the tool's lock
    return true;
}

int64_t ServedHub::next_wake(int64_t now) {
    int64_t wake = INT64_MAX;
    const std::deque<TimedByte>& queue = model_.output();
    if (!output_blocked_ && !queue.empty()) wake = std::min(wake, queue.front().time);
    if (shown_ && model_.generation() != shown_generation_) wake = std::min(wake, model_.left_at());
    if (!shown_ && model_.absent_until() >= 0) wake = std::min(wake, model_.absent_until());
    if (opens_to_refuse_ > 0 && !locked_) wake = std::min(wake, now + 10 * kTicksPerMs);
    return wake;
}

void ServedHub::poll_fds(std::span<pollfd, kPollFds> fds) const {
    // A stalled HUB takes nothing more: what the tool writes piles up in the
    // terminal until its writes block, as on a device that stopped reading.
    const short input = model_.stalled() ? 0 : POLLIN;
    fds[0] = {master_, short(input | (output_blocked_ ? POLLOUT : 0)), 0};
    fds[1] = {watch_, POLLIN, 0};
}

bool ServedHub::handle(std::span<const pollfd, kPollFds> fds, int64_t now) {
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
            return false;
        }
        drain_open_events();
        apply_lock();
    }
    return true;
}

void ServedHub::go_off(int64_t now) {
    tree_.unplug(location_);
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
    event(now, std::string("off the bus") + (hung_up ? ", open handles hung up" : "") +
                   (model_.absent_until() < 0 ? ", for good" : ""));
}

bool ServedHub::come_back(int64_t now) {
    std::string error;
    if (!tree_.plug(location_, model_.port_name(), model_.vendor_id(), model_.product_id(), slave_path_, error)) {
        std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
        return false;
    }
    shown_ = true;
    shown_generation_ = model_.generation();
    const HubConfig& c = model_.config();
    opens_to_refuse_ = shown_generation_ == 0 ? c.refuse_opens : c.refuse_opens_after_restart;
    apply_lock();
    event(now, "on the bus as " + model_.port_name());
    return true;
}

// An open is refused through the lock the tool takes right after opening:
// while we hold it, the tool's attempt fails as an unshareable port would.
// The lock goes only once the last refused opener has closed again: we see
// its open before it asks for the lock.
void ServedHub::apply_lock() {
    if (opens_to_refuse_ > 0 && !locked_) {
        locked_ = ::flock(slave_, LOCK_EX | LOCK_NB) == 0;
    } else if (opens_to_refuse_ == 0 && opens_by_others_ == 0 && locked_) {
        ::flock(slave_, LOCK_UN);
        locked_ = false;
    }
}

void ServedHub::drain_open_events() {
    alignas(inotify_event) char buffer[4096];
    while (::read(watch_, buffer, sizeof buffer) > 0) {}
}

void ServedHub::take_open_events(int64_t now) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(watch_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event e;
            std::memcpy(&e, buffer + at, sizeof e);
            at += ssize_t(sizeof e) + ssize_t(e.len);
            if (!shown_) continue;
            if (e.mask & IN_OPEN) {
                last_activity_ = now;
                ++opens_by_others_;
                const bool present = model_.present(now);
                if (!model_.accept_open(now) && present && opens_to_refuse_ > 0) {
                    --opens_to_refuse_;
                    event(now, "open refused, " + std::to_string(opens_to_refuse_) + " more to refuse");
                } else {
                    event(now, "opened");
                }
            }
            if (e.mask & IN_CLOSE) {
                if (opens_by_others_ > 0) --opens_by_others_;
                if (opens_by_others_ == 0) port_released();
                event(now, "closed");
            }
        }
    }
    apply_lock();
}

// Bytes the tool never read are gone with its handle, as with a real port.
void ServedHub::port_released() {
    model_.discard_output();
    output_blocked_ = false;
    ::tcflush(slave_, TCIFLUSH);
    // So are those a stalled HUB never took, or the next opener could not
    // write a byte.
    if (model_.stalled()) ::tcflush(master_, TCIFLUSH);
    // An exclusive flag left by a tool that died would lock out the next one.
    ::ioctl(slave_, TIOCNXCL);
}

void ServedHub::take_input(int64_t now) {
    uint8_t buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    last_activity_ = now;
    const std::span<const uint8_t> bytes(buffer, size_t(n));
    if (!shown_ || !model_.present(now)) {
        trace_.bytes(now, who_, "x>", bytes);  // the HUB is off the bus: lost
        return;
    }
    trace_.bytes(now, who_, "->", bytes);
    model_.host_write(now, bytes);
    if (model_.stalled() && !stall_seen_) {
        stall_seen_ = true;
        event(now, "stalled, takes no more bytes");
    }
}

void ServedHub::send_due_output(int64_t now) {
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
    trace_.bytes(now, who_, "<-", std::span<const uint8_t>(chunk.data(), size_t(n)));
}

}  // namespace sim::server
