#include "sim/server/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>

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

timespec after_ticks(int64_t ticks) {
    const int64_t ns = std::max<int64_t>(0, ticks) * 100;
    return timespec{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

}  // namespace

PtyServer::PtyServer(std::vector<HubConfig> hubs, FakeTree& tree, ServerOptions options)
    : options_(std::move(options)), start_ns_(monotonic_ns()) {
    const bool several = hubs.size() > 1;
    for (HubConfig& config : hubs) {
        std::string who = several ? "[" + config.location + "]" : "";
        hubs_.push_back(std::make_unique<ServedHub>(std::move(config), tree, trace_, std::move(who)));
    }
}

bool PtyServer::install_signal_handlers(std::string& error) {
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int64_t PtyServer::ticks() const {
    return (monotonic_ns() - start_ns_) / 100;
}

int64_t PtyServer::last_activity() const {
    int64_t last = served_from_;
    for (const auto& hub : hubs_) last = std::max(last, hub->last_activity());
    return last;
}

bool PtyServer::start(std::string& error) {
    if (!trace_.open(options_.trace_path, error)) return false;
    for (const auto& hub : hubs_) {
        if (!hub->start(0, error)) return false;
    }
    served_from_ = ticks();
    return true;
}

int PtyServer::run() {
    const int64_t idle_ticks = options_.exit_after_idle_s > 0 ? int64_t(options_.exit_after_idle_s * 1e7) : int64_t(0);
    // Every HUB's descriptors, then the signal pipe.
    constexpr size_t kEach = ServedHub::kPollFds;
    std::vector<pollfd> fds(hubs_.size() * kEach + 1);
    auto fds_of = [&](size_t i) { return std::span<pollfd, kEach>(&fds[i * kEach], kEach); };
    pollfd& signals = fds.back();

    for (;;) {
        int64_t now = ticks();
        int64_t wake = INT64_MAX;
        for (size_t i = 0; i < hubs_.size(); ++i) {
            if (!hubs_[i]->step(now)) return 1;
            wake = std::min(wake, hubs_[i]->next_wake(now));
            hubs_[i]->poll_fds(fds_of(i));
        }
        const int64_t idle_since = last_activity();
        if (idle_ticks > 0 && now - idle_since >= idle_ticks) {
            trace_.event(now, "", "idle, exiting");
            return 0;
        }
        if (idle_ticks > 0) wake = std::min(wake, idle_since + idle_ticks);
        signals = {g_signal_pipe[0], POLLIN, 0};

        timespec timeout{};
        const timespec* limit = nullptr;
        if (wake != INT64_MAX) {
            timeout = after_ticks(wake - now);
            limit = &timeout;
        }
        if (::ppoll(fds.data(), fds.size(), limit, nullptr) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "zel_hub_sim: ppoll: %s\n", std::strerror(errno));
            return 1;
        }
        now = ticks();
        if (signals.revents & POLLIN) {
            trace_.event(now, "", "stopped by a signal");
            return 0;
        }
        for (size_t i = 0; i < hubs_.size(); ++i) {
            if (!hubs_[i]->handle(fds_of(i), now)) return 1;
        }
    }
}

}  // namespace sim::server
