// -hinfo and -hinfo -boot: the HUB information reply (current and legacy
// framing) and the Quillet's boot information reply are the fuzzer's bytes.
//   setup bits 0-1: HUB kind (0 Atmel Torvane, 1 Quillet, 2 ST Torvane)
//   setup bit 2: legacy firmware; bit 3: -boot
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t) {
    p.attach(hub_config(setup & 3, setup & 4));
    p.match = [](std::span<const uint8_t> b) {
        const uint32_t w = word_of(b);
        return b.size() == 104 && (w == 0x00630100 || w == 0x00870100 || is_form(b, 0x63));
    };
    if (setup & 8) {
        run_tool(p, {"-hinfo", "-boot"});
    } else {
        run_tool(p, {"-hinfo"});
    }
}

const ReplyHarness kHarness{run,
                            {{"st-current", {2, 0}},
                             {"atmel-legacy", {4, 0}},
                             {"quillet-boot", {1 | 8, 0}},
                             {"st-boot", {2 | 8, 0}},
                             {"atmel-current", {0, 0}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
