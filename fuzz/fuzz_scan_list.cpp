// -rs: the list of access points the HUB's scan returns is the fuzzer's bytes.
//   setup bits 0-1: HUB kind; bit 2: legacy firmware
//   setup2 bits 0-4: channel; bits 5-6: band 0, 1, 2 or none given
#include "fuzz/fuzz_support.hpp"

#include <string>

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t setup2) {
    p.attach(hub_config(setup & 3, setup & 4));
    p.match = [](std::span<const uint8_t> b) {
        return b.size() == 104 && (word_of(b) == 0x00791900 || is_form(b, 0x79));
    };
    const std::string channel = std::to_string(setup2 & 0x1F);
    const int band = (setup2 >> 5) & 3;
    if (band == 3) {
        run_tool(p, {"-rs", channel});
    } else {
        run_tool(p, {"-rs", channel, std::to_string(band)});
    }
}

const ReplyHarness kHarness{run,
                            {{"st-ch6-dual", {2, 6 | 2 << 5}},
                             {"atmel-legacy-ch11-24", {4, 11 | 0 << 5}},
                             {"quillet-ch1-5ghz", {1, 1 | 1 << 5}},
                             {"st-ch13-default", {2, 13 | 3 << 5}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
