// zel_fleet: one operation of zel_usb_interface on every attached HUB at
// once, one run of the tool per HUB in a folder of its own, a live table,
// a summary and a history of every HUB's runs.
#pragma once

#include <string>
#include <vector>

namespace zel {
class Platform;
}

namespace zel::fleet {

// The fleet's own results, apart from every result of the tool.
inline constexpr int kAllDone = 0;
inline constexpr int kSomeFailed = 60;    // a HUB's run did not end with 0, or an asked-for HUB is missing
inline constexpr int kNoHub = 61;         // no HUB attached, or none of them chosen
inline constexpr int kBadArguments = 62;  // arguments, or an input file, that cannot be used
inline constexpr int kCannotStart = 63;   // no zel_usb_interface beside zel_fleet, or no records folder
inline constexpr int kInterrupted = 130;

// Runs the fleet as main() would: `arguments` after the program name; the
// fleet's result.
int run_fleet(const std::vector<std::string>& arguments, Platform& platform);

}  // namespace zel::fleet
