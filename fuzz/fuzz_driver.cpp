// The whole tool: the real driver runs one option in virtual time against a
// port whose every read is answered from the fuzzer's bytes (StreamPlatform
// in fuzz/support.hpp); nothing the tool reads comes from a model.
//
// Input: byte 0 picks an operation of the tool's table with one of the
// argument counts it runs with (or, past them, a command line that is none);
// byte 1 the HUB kind (bits 0-1), a variant of the option's file (bits 2-3:
// usual, longer, wrong kind or broken, missing) and the -rs channel (bits
// 4-6); then the reads' operations.
#include <map>
#include <utility>
#include <vector>

#include "app/operations.hpp"
#include "fuzz/support.hpp"

namespace {
using namespace zfuzz;

// Every operation with every count it runs with, in the table's order.
std::vector<std::pair<const Operation*, int>> calls() {
    std::vector<std::pair<const Operation*, int>> all;
    for (const Operation& row : operations()) {
        for (int argc = row.min_argc; argc <= row.max_argc; ++argc) all.emplace_back(&row, argc);
    }
    return all;
}

// Argument `index` (argv[index]) of an option; an option not named here
// gets plain words.
std::string argument(const std::string& option, int argc, int index, uint8_t setup) {
    static const char* const kHubImages[][3] = {{"atmel.tfh", "quillet.tfh", "st.tfh"},
                                                {"atmel-long.tfh", "quillet-long.tfh", "st-long.tfh"}};
    const unsigned kind = (setup & 3) % 3, variant = setup >> 2 & 3;
    const std::string hub_image[] = {kHubImages[0][kind], kHubImages[1][kind], "sensors.tfs", "missing"};
    const std::string sensor_image[] = {"sensors.tfs", "sensors-long.tfs", "atmel.tfh", "missing"};
    const std::string xml[] = {"config.xml", "config.xml", "broken.xml", "missing"};
    if (option == "-h") return hub_image[variant];
    if (option == "-s" || option == "-sb") return sensor_image[variant];
    if (option == "-w") return xml[variant];
    if (option == "-r") return "read.xml";
    if (option == "-rs") return index == 2 ? std::to_string((setup >> 4 & 7) * 5 + 1) : std::to_string(variant);
    if (option == "-hinfo" && argc == 3) return "-boot";
    return "word" + std::to_string(index);
}

Args arguments(uint8_t pick, uint8_t setup) {
    static const std::vector<std::pair<const Operation*, int>> kCalls = calls();
    const size_t i = pick % (kCalls.size() + 1);
    if (i == kCalls.size()) return (setup >> 2 & 3) == 0 ? Args{} : Args{"-x", "-y"};
    const auto [operation, argc] = kCalls[i];
    Args args{operation->option};
    for (int index = 2; index < argc; ++index) args.push_back(argument(operation->option, argc, index, setup));
    return args;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t pick = size > 0 ? data[0] : 0, setup = size > 1 ? data[1] : 0;
    StreamPlatform platform(data + std::min<size_t>(size, 2), size - std::min<size_t>(size, 2));
    // The files the options name; "missing" is never there.
    static const std::map<std::string, sim::SimFile> kFiles = {
        {"atmel.tfh", {single_part_image('B', 'H', 300)}},
        {"quillet.tfh", {two_part_image('H', 2, 200, 300)}},
        {"st.tfh", {two_part_image('I', 2, 200, 300)}},
        {"atmel-long.tfh", {single_part_image('F', 'H', 1600)}},
        {"quillet-long.tfh", {two_part_image('H', 3, 1100, 700)}},
        {"st-long.tfh", {two_part_image('I', 2, 1100, 1024)}},
        {"sensors.tfs", {single_part_image('B', 'S', 400)}},
        {"sensors-long.tfs", {single_part_image('F', 'S', 1500)}},
        {"config.xml", {kNetworkXml}},
        {"broken.xml", {kNetworkXml.substr(0, kNetworkXml.size() / 2)}},
    };
    platform.files = kFiles;
    platform.attach(hub_config(setup & 3, false));
    const Args args = arguments(pick, setup);
    const int code = run_tool(platform, args);
    if (!args.empty() && args[0] == "-r" && code == 0 && platform.file("read.xml") == nullptr) {
        fail("-r succeeded without its file");
    }
    return 0;
}
