// The whole tool: the real driver runs one option in virtual time against a
// port whose every read is answered from the fuzzer's bytes (StreamPlatform
// in fuzz/support.hpp); nothing the tool reads comes from a model.
//
// Input: byte 0 the option (mod 14, see arguments()), byte 1 the HUB kind
// (bits 0-1), a variant of the option's file (bits 2-3: usual, longer,
// wrong kind or broken, missing) and the -rs arguments (bits 4-7); then the
// reads' operations.
#include <map>

#include "fuzz/support.hpp"

namespace {
using namespace zfuzz;

Args arguments(uint8_t option, uint8_t setup) {
    static const char* const kHubImages[][3] = {{"atmel.tfh", "quillet.tfh", "st.tfh"},
                                                {"atmel-long.tfh", "quillet-long.tfh", "st-long.tfh"}};
    const unsigned kind = (setup & 3) % 3, variant = setup >> 2 & 3;
    const std::string hub_image[] = {kHubImages[0][kind], kHubImages[1][kind], "sensors.tfs", "missing"};
    const std::string sensor_image[] = {"sensors.tfs", "sensors-long.tfs", "atmel.tfh", "missing"};
    const std::string xml[] = {"config.xml", "config.xml", "broken.xml", "missing"};
    const std::string channel = std::to_string((setup >> 4 & 7) * 5 + 1);
    switch (option % 14) {
        case 0: return {"-log"};
        case 1: return {"-hinfo"};
        case 2: return {"-hinfo", "-boot"};
        case 3: return {"-sinfo"};
        case 4: return {"-h", hub_image[variant]};
        case 5: return {"-s", sensor_image[variant]};
        case 6: return {"-sb", sensor_image[variant]};
        case 7: return {"-srf"};
        case 8: return {"-sfb"};
        case 9: return {"-r", "read.xml"};
        case 10: return {"-w", xml[variant]};
        case 11: return setup & 0x80 ? Args{"-rs", channel} : Args{"-rs", channel, std::to_string(variant)};
        case 12: return {"-stest"};
        default: return variant == 0 ? Args{} : Args{"-x", "-y"};
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t option = size > 0 ? data[0] : 0, setup = size > 1 ? data[1] : 0;
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
    const int code = run_tool(platform, arguments(option, setup));
    if (option % 14 == 9 && code == 0 && platform.file("read.xml") == nullptr) fail("-r succeeded without its file");
    return 0;
}
