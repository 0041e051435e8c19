// -s and -sb: the auto-addressing reply and the sensor entries that follow
// it are the fuzzer's bytes (one record: split and gap place the entries).
//   setup bits 0-1: HUB kind; bit 2: legacy firmware; bit 3: -sb (else -s)
//   setup2 bits 0-1: sensors on the model (17, 19, 33, 1; shapes the seeds)
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t setup2) {
    static const std::string image = write_work_file("sensors.tfs", single_part_image('F', 'S', 400));
    static constexpr int kSensors[] = {17, 19, 33, 1};
    sim::HubConfig c = hub_config(setup & 3, setup & 4);
    c.firmware.sensors = sim::FirmwareArea::default_sensors(kSensors[setup2 & 3]);
    const bool from_boot = setup & 8;
    if (from_boot) {
        for (sim::UpgradeSensor& s : c.firmware.sensors) s.in_boot = true;
    }
    p.attach(std::move(c));
    p.match = [](std::span<const uint8_t> b) {
        return b.size() == 536 && (word_of(b) == 0x00511500 || is_form(b, 'Q'));
    };
    run_tool(p, {from_boot ? "-sb" : "-s", image});
}

const ReplyHarness kHarness{run,
                            {{"atmel-s-17", {0, 0}},
                             {"st-s-19", {2, 1}},
                             {"quillet-sb-33", {1 | 8, 2}},
                             {"atmel-legacy-s-17", {4, 0}},
                             {"st-sb-1", {2 | 8, 3}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
