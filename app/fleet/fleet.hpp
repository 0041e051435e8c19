// zel_fleet: one operation of zel_usb_interface on every attached HUB at
// once, one run of the tool per HUB in a folder of its own, a live table,
// a summary and a history of every HUB's runs.
#pragma once

#include <string>
#include <vector>

#include "serial/results.hpp"

namespace zel {
class Platform;
}

namespace zel::fleet {

// Runs the fleet as main() would: `arguments` after the program name; one
// of results::fleet.
int run_fleet(const std::vector<std::string>& arguments, Platform& platform);

}  // namespace zel::fleet
