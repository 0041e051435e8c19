// The fleet's command line: the operation of the tool and its arguments,
// and the fleet's own options.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zel::fleet {

// What an operation's first argument is, which decides how each HUB's run
// gets it (its working folder is the HUB's folder).
enum class Argument {
    None,
    Image,       // an image file: made absolute
    InputFile,   // a file read by the run: made absolute
    OutputFile,  // a file the run writes: its name alone, so it lands in the HUB's folder
    Text,        // passed as given
};

struct Operation {
    const char* option;
    int min_arguments;
    int max_arguments;
    Argument first;
    bool upgrade;  // identities are read before it, and firmware before and after is shown
};

// The operations of the tool the fleet runs, in the order of its usage text.
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
