// Serves the HUB model on a pseudo-terminal in real time: what the tool
// writes goes to the model, what the model sends goes back when its time has
// come, and the fake device tree follows the model on and off the bus.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sim/hub_model.hpp"
#include "sim/server/fake_tree.hpp"

namespace sim::server {

struct ServerOptions {
    std::string trace_path;          // empty: no trace
    double exit_after_idle_s = 0.0;  // 0: never
};

class PtyServer {
public:
    PtyServer(HubModel& model, FakeTree& tree, ServerOptions options);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // SIGTERM, SIGINT and SIGHUP end run() cleanly; SIGPIPE is ignored.
    static bool install_signal_handlers(std::string& error);

    // Opens the pseudo-terminal and the trace, and puts the HUB on the bus.
    bool start(std::string& error);
    // Serves until a signal or the idle limit; the process exit code.
    int run();

    const std::string& slave_path() const { return slave_path_; }

private:
    int64_t ticks() const;
    bool open_slave(std::string& error);
    void update_presence(int64_t now);
    void go_off(int64_t now);
    bool come_back(int64_t now);
    void send_due_output(int64_t now);
    void take_input(int64_t now);
    void take_open_events(int64_t now);
    void drain_open_events();
    void apply_lock();
    void port_released();
    void trace_bytes(int64_t now, const char* tag, std::span<const uint8_t> bytes);
    void trace_event(int64_t now, const std::string& text);

    HubModel& model_;
    FakeTree& tree_;
    ServerOptions options_;
    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees a hang-up
    int watch_ = -1;  // inotify: opens and closes of the slave
    int trace_ = -1;
    std::string slave_path_;
    int64_t start_ns_ = 0;
    int64_t last_activity_ = 0;
    bool shown_ = false;
    int shown_generation_ = 0;
    bool output_blocked_ = false;
    int opens_by_others_ = 0;
    int opens_to_refuse_ = 0;
    bool locked_ = false;
    bool failed_ = false;
};

}  // namespace sim::server
