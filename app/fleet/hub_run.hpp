// One HUB's part of a fleet run: the runs of the tool it gets (its
// identity, the operation, its firmware after an upgrade), where it stands,
// and how it ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/fleet/events.hpp"
#include "app/fleet/hubs.hpp"
#include "app/fleet/json_read.hpp"
#include "platform/platform.hpp"

namespace zel::fleet {

struct HubRun {
    Hub hub;
    std::string folder;                  // its records, absolute, without a separator at the end
    std::vector<std::string> arguments;  // of its operation's run
    std::string image_name;              // the image it is given (upgrades), and its SHA-256
    std::string image_sha256;
    std::string left_out;  // why the operation does not run on it; empty when it does

    enum class Step { Queued, Identity, Operation, After, Done };
    Step step = Step::Queued;
    std::unique_ptr<ChildProcess> child;
    int64_t started = -1;  // when its first run started, in the platform's ticks
    int64_t finished = -1;
    int64_t quiet_since = 0;  // since when neither its output nor its events grew
    uint64_t output_size = 0;
    size_t events_taken = 0;
    int64_t stop_sent = -1;  // when its run was asked to stop
    bool hung = false;       // stopped for giving no sign of life
    bool killed = false;

    // Read by its identity run (or its -hinfo), and after an upgrade.
    std::string serial;
    std::string firmware_before;
    std::string firmware_after;
    std::string sensor_firmware;  // what its sensors run after -s or -sb

    bool ran = false;  // its operation's run was started
    int exit_status = -1;
    int64_t result = -1;                 // as its run record says; the exit status when there is none
    Json verdict = Json::value_t::null;  // of its last run's record; null when there was none
    std::string outcome;                 // what happened, where no verdict says it
    Progress progress;                   // of its operation's run, from its events

    bool succeeded() const { return ran && exit_status == 0 && !hung; }
    // "1-2 (/dev/ttyACM1, QU-SIM-0002)": how the fleet's texts name it.
    std::string name() const;
    // What its run ended with in words: the verdict's line, else the outcome.
    std::string how_it_ended() const;
};

}  // namespace zel::fleet
