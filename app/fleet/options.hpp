// The fleet's command line: the operation of the tool and its arguments,
// and the fleet's own options.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/operations.hpp"

namespace zel::fleet {

using Argument = FleetArgument;

// An operation of the tool as the fleet runs it (a row of the tool's table).
struct Operation {
    const char* option;
    int min_arguments;  // after the option; a HUB image's may come from --image
    int max_arguments;
    Argument first;
    bool upgrade;  // identities are read before it, and firmware before and after is shown
};

// The rows of the tool's table of operations the fleet offers, in its order.
const std::vector<Operation>& operations();

struct Options {
    enum class Mode { Run, Usage, Version, History };
    Mode mode = Mode::Run;
    const Operation* operation = nullptr;
    std::vector<std::string> arguments;  // after the operation, as given
    std::vector<std::string> ports, locations, serials;
    std::vector<std::pair<std::string, std::string>> images;  // by kind: "st", path
    int jobs = 0;                                             // 0: every HUB at once
    std::string timing;                                       // "": as this process's environment says
    std::string records;                                      // "": ./zel_fleet
    std::string history;                                      // "": the default file
};

// Empty when the arguments can be used, else what is wrong with them.
std::string parse_options(const std::vector<std::string>& arguments, Options& options);

std::string usage_text();

}  // namespace zel::fleet
