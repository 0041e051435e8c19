// The history: one JSON line per HUB run, kept for good, from which
// `zel_fleet --history` tells the latest state of every HUB seen.
#pragma once

#include <cstdint>
#include <string>

#include "app/fleet/hub_run.hpp"
#include "app/fleet/options.hpp"

namespace zel {
class Platform;
}

namespace zel::fleet {

// zel_usb_interface/history.jsonl in LOCALAPPDATA, else in XDG_DATA_HOME,
// else in ~/.local/share; empty when none of them is known.
std::string default_history_path(Platform& platform);

// The line of one HUB's run (`utc_ticks`: when it ended), with its line end.
std::string history_line(const HubRun& hub, const Options& options, int64_t utc_ticks);

// Appends the line whole, making the history's folder when it is missing.
bool append_history(Platform& platform, const std::string& path, const std::string& line);

// zel_fleet --history: serial, kind, location, firmware, last operation,
// when and result of every HUB in the history, on standard output.
int print_history(Platform& platform, const std::string& path);

}  // namespace zel::fleet
