// -sinfo: the block of sensor records the HUB streams is the fuzzer's bytes.
//   setup bits 0-1: HUB kind; bit 2: legacy firmware
//   setup2: sensors wired to the model (mod 34; only shapes the seeds)
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t setup2) {
    sim::HubConfig c = hub_config(setup & 3, setup & 4);
    c.info.sensors = sim::InfoArea::default_sensors(setup2 % 34);
    p.attach(std::move(c));
    p.match = [](std::span<const uint8_t> b) { return b.size() == 104 && word_of(b) == 0x00431500; };
    run_tool(p, {"-sinfo"});
}

const ReplyHarness kHarness{run,
                            {{"st-10-sensors", {2, 10}},
                             {"quillet-20-sensors", {1, 20}},
                             {"atmel-17-sensors", {0, 17}},
                             {"st-21-sensors", {2, 21}},
                             {"st-no-sensor", {2, 0}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
