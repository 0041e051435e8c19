// -h: what the HUB's bootloader reports after the firmware came, the
// HUB-boot message (sent after the last chunk of each part) and the boot
// information reply, is taken in turn from the fuzzer's records. The images
// hold one chunk per part, so every chunk is the last of its part.
//   setup bits 0-1: HUB kind (Atmel: single-part image; Quillet and ST:
//   two-part image); bit 2: legacy firmware
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

const std::string& image_for(sim::Kind kind) {
    static const std::string atmel = write_work_file("hub-atmel.tfh", single_part_image('B', 'H', 300));
    static const std::string quillet = write_work_file("hub-quillet.tfh", two_part_image('H', 2, 200, 300));
    static const std::string st = write_work_file("hub-st.tfh", two_part_image('I', 2, 200, 300));
    return kind == sim::Kind::TorvaneAtmel ? atmel : kind == sim::Kind::Quillet ? quillet : st;
}

void run(ReplyPlatform& p, uint8_t setup, uint8_t) {
    const sim::HubConfig c = hub_config(setup & 3, setup & 4);
    const std::string& image = image_for(c.kind);
    if (c.kind == sim::Kind::TorvaneAtmel) {
        p.match = [](std::span<const uint8_t> b) { return b.size() == 536 && (is_form(b, '6') || is_form(b, '7')); };
    } else {
        p.match = [](std::span<const uint8_t> b) {
            return b.size() == 536 && (word_of(b) == 0x00720100 || word_of(b) == 0x00740100);
        };
    }
    p.attach(c);
    run_tool(p, {"-h", image});
}

const ReplyHarness kHarness{run,
                            {{"atmel-current", {0, 0}},
                             {"atmel-legacy", {4, 0}},
                             {"st-current", {2, 0}},
                             {"quillet", {1, 0}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
