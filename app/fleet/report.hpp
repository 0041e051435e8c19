// What the fleet shows: the live table on a terminal, one plain line per
// finished HUB elsewhere, and the summary at the end.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "app/fleet/hub_run.hpp"
#include "app/fleet/options.hpp"

namespace zel::fleet {

// Rows as lines: each column as wide as its widest cell, two spaces apart,
// the last one not padded.
std::vector<std::string> aligned(const std::vector<std::vector<std::string>>& rows);

// The table's lines: a header and one row per HUB (`now` in ticks).
std::vector<std::string> live_table(const std::deque<HubRun>& hubs, const Operation& operation, int64_t now);

// The line of a HUB whose work has ended, where no table is redrawn.
std::string finished_line(const HubRun& hub, const Operation& operation);

struct Ending {
    std::vector<std::string> missing;  // asked for, and not attached ("serial TS-1")
    std::string interrupted_by;        // what stopped the fleet; empty when nothing did
    std::string again;                 // the fleet command for the HUBs whose next step is the same operation
    std::string records;               // the fleet run's folder
};

std::string summary(const std::deque<HubRun>& hubs, const Operation& operation, const Ending& ending);

}  // namespace zel::fleet
