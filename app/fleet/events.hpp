// The event stream a run of the tool writes (ZEL_EVENTS): one JSON object a
// line. The fleet reads what a HUB's run is doing from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zel::fleet {

// Where a run stands, as its events tell.
struct Progress {
    bool seen = false;      // the run has written an event
    std::string doing;      // its stage ("sending firmware chunk 12 of 128 of part 1 of 2")
    int percent = -1;       // how far through its parts, chunks or steps; -1 when it does not say
    std::string waiting;    // the long wait it is in ("for the HUB to restart"), until its next stage
    int64_t wait_ends = 0;  // when that wait ends at the latest, in the platform's ticks
    std::string port;       // the HUB's port, as the run last named it
    bool ended = false;     // its last event came
};

// Takes the whole lines of `text` from `from` on into `progress` (`now`:
// when they were read); returns where the first line not yet whole starts.
size_t take_events(std::string_view text, size_t from, int64_t now, Progress& progress);

}  // namespace zel::fleet
