// Serves one or more HUB models, each on its own pseudo-terminal with its
// own device in the fake tree, from one event loop: a single ppoll waits
// for every HUB's input, open events and next timed byte, and for a signal.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/model/hub_model.hpp"
#include "sim/server/fake_tree.hpp"
#include "sim/server/served_hub.hpp"
#include "sim/server/trace.hpp"

namespace sim::server {

struct ServerOptions {
    std::string trace_path;          // empty: no trace
    double exit_after_idle_s = 0.0;  // 0: never
};

class PtyServer {
public:
    // Each HUB's location names its device in the tree and, with several,
    // the HUB in the trace.
    PtyServer(std::vector<HubConfig> hubs, FakeTree& tree, ServerOptions options);
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // SIGTERM, SIGINT and SIGHUP end run() cleanly; SIGPIPE is ignored.
    static bool install_signal_handlers(std::string& error);

    // Opens the trace and the pseudo-terminals, and puts the HUBs on the bus.
    bool start(std::string& error);
    // Serves until a signal or the idle limit; the process exit code.
    int run();

private:
    int64_t ticks() const;
    // The last byte or open on any HUB.
    int64_t last_activity() const;

    ServerOptions options_;
    Trace trace_;  // before the HUBs, which write to it
    std::vector<std::unique_ptr<ServedHub>> hubs_;
    int64_t start_ns_ = 0;
    int64_t served_from_ = 0;  // the idle time counts from here
};

}  // namespace sim::server
