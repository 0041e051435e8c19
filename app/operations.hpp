// The tool's operations: one row per option. The rows make the argument
// rules, the choice of the branch, the usage text and the driver's fuzzer;
// a new operation is a new row (and its branch).
#pragma once

#include <span>

struct Run;
namespace zel {
class Platform;
}

// How zel_fleet (app/fleet) hands an operation's first argument to each
// HUB's run, whose working folder is the HUB's own.
enum class FleetArgument {
    NotOffered,  // the fleet does not run it
    None,
    HubImage,    // a HUB image, made absolute; --image KIND=IMAGE may stand in for it
    Image,       // an image file, made absolute
    InputFile,   // a file the run reads, made absolute
    OutputFile,  // a file the run writes: its name alone, so it lands in the HUB's folder
    Text,        // passed as given
};

struct Operation {
    const char* option;  // argv[1], compared whole and case-sensitively
    // The argument counts (argc, the program's name included) it runs with.
    int min_argc;
    int max_argc;
    // Runs it: the run's result.
    int (*branch)(Run& run, int argc, char** argv);
    // Its lines in the usage text, the first of a section with the section's
    // heading; null where it has none.
    const char* usage;
    // Its lines under MORE: what the lines above do not name.
    const char* more;
    FleetArgument fleet;
    // It changes firmware: the fleet reads each HUB's identity first and
    // shows the firmware before and after.
    bool upgrade;
};

// In the order of the usage text.
std::span<const Operation> operations();

// What a command line asks for.
struct Choice {
    const Operation* operation = nullptr;  // runs its branch
    bool usage = false;                    // prints the usage text; neither: nothing runs
};
// The argument rules: a count outside every operation's, a further argument
// to an option that takes none, or a bare option that needs one, gets the
// usage text; an option whose count fits none of its rows runs nothing.
Choice choose(int argc, char** argv);

// Prints the usage text on the platform's standard output.
void print_usage(zel::Platform& platform);
