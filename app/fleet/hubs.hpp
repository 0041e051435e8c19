// The HUBs the fleet works on: found through the tool's own discovery, and
// told apart by kind where an image must fit them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "serial/hub_kinds.hpp"

namespace zel {
class Platform;
}

namespace zel::fleet {

struct Hub {
    std::string port;      // what ZEL_PORT names it by
    std::string location;  // its USB location; empty where the system does not tell
    std::string kind;      // "Torvane (ST)", as the tool names it
    HubKind device_type = HubKind::None;
};

// The attached HUBs, as the tool's serial layer finds them (the same USB
// identifiers, names and locations as a run of the tool sees), in its order.
std::vector<Hub> discover_hubs(Platform& platform);

// "atmel", "quillet", "st": the names of the kinds on the command line
// (the table of HUB kinds); HubKind::None and "" for none.
HubKind kind_type(const std::string& key);
std::string kind_key(HubKind kind);

// Why a HUB image does not fit HUBs of a kind, as a run of the tool would
// refuse it; empty when it fits.
std::string hub_image_problem(std::span<const uint8_t> image, HubKind kind);
// The same for a sensor image, which fits every kind.
std::string sensor_image_problem(std::span<const uint8_t> image);

}  // namespace zel::fleet
