// -s and -sb through an ST Torvane: the reply to the sensor-count request
// (17 or 19 sensors running, or none out of their bootloader) is the
// fuzzer's bytes; the upgrade then goes on against the model.
//   setup bit 0: -sb (else -s); bit 1: legacy firmware
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t) {
    static const std::string image = write_work_file("sensors.tfs", single_part_image('B', 'S', 400));
    sim::HubConfig c = hub_config(2, setup & 2);
    const bool from_boot = setup & 1;
    if (from_boot) {
        for (sim::UpgradeSensor& s : c.firmware.sensors) s.in_boot = true;
    }
    p.attach(std::move(c));
    p.match = [](std::span<const uint8_t> b) { return b.size() == 104 && word_of(b) == 0x00191500; };
    run_tool(p, {from_boot ? "-sb" : "-s", image});
}

const ReplyHarness kHarness{run,
                            {{"s-current", {0, 0}},
                             {"sb-current", {1, 0}},
                             {"s-legacy", {2, 0}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
