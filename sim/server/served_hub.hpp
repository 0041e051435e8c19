// One HUB served in real time: its model, its own pseudo-terminal and its
// own device in the fake tree. What the tool writes on the terminal goes to
// the model, what the model sends goes back when its time has come, and the
// device follows the model on and off the bus. The server's event loop owns
// the waiting: it polls this HUB's descriptors with those of the others.
#pragma once

#include <poll.h>

#include <cstdint>
#include <span>
#include <string>

#include "sim/model/hub_model.hpp"
#include "sim/server/fake_tree.hpp"
#include "sim/server/trace.hpp"

namespace sim::server {

class ServedHub {
public:
    // `who` names the HUB in the trace (empty when it is the only one).
    ServedHub(HubConfig config, FakeTree& tree, Trace& trace, std::string who);
    ~ServedHub();
    ServedHub(const ServedHub&) = delete;
    ServedHub& operator=(const ServedHub&) = delete;

    static constexpr size_t kPollFds = 2;

    // Opens the pseudo-terminal and puts the HUB on the bus.
    bool start(int64_t now, std::string& error);
    // Brings the tree in line with the model and sends what is due; false
    // when the device cannot be made again.
    bool step(int64_t now);
    // When step() has work next (INT64_MAX: only an event will bring it).
    int64_t next_wake(int64_t now);
    // The descriptors to poll, and what came of them; false on a failure
    // that ends the stand-in.
    void poll_fds(std::span<pollfd, kPollFds> fds) const;
    bool handle(std::span<const pollfd, kPollFds> fds, int64_t now);

    // The last byte either way or open of the port.
    int64_t last_activity() const { return last_activity_; }

private:
    bool open_slave(std::string& error);
    void go_off(int64_t now);
    bool come_back(int64_t now);
    void send_due_output(int64_t now);
    void take_input(int64_t now);
    void take_open_events(int64_t now);
    void drain_open_events();
    void apply_lock();
    void port_released();
    void event(int64_t now, const std::string& text) { trace_.event(now, who_, text); }

    HubModel model_;
    FakeTree& tree_;
    Trace& trace_;
    std::string who_;
    std::string location_;
    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees a hang-up
    int watch_ = -1;  // inotify: opens and closes of the slave
    std::string slave_path_;
    int64_t last_activity_ = 0;
    bool shown_ = false;
    int shown_generation_ = 0;
    bool output_blocked_ = false;
    bool stall_seen_ = false;
    int opens_by_others_ = 0;
    int opens_to_refuse_ = 0;
    bool locked_ = false;
};

}  // namespace sim::server
