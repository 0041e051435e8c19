// -log: the text the HUB streams after "? log" and its carriage return is
// the fuzzer's bytes.
//   setup bits 0-1: HUB kind; bit 2: legacy firmware
//   setup2 bits 0-1: the model's log (default, empty, over 8000 bytes, in
//   pieces; shapes the seeds); bits 5-7: the fuzzed text is sent 1-8 times
//   over, so that inputs of a few kilobytes reach past the tool's buffer.
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t setup2) {
    sim::HubConfig c = hub_config(setup & 3, setup & 4);
    switch (setup2 & 3) {
        case 1: c.info.log_text.clear(); break;
        case 2: c.info.log_repeat = 80; break;
        case 3:
            c.info.log_piece = 100;
            c.info.log_gap_ms = 300;
            break;
        default: break;
    }
    p.attach(std::move(c));
    p.match = [](std::span<const uint8_t> b) { return b.size() == 1 && b[0] == '\r'; };
    const int repeat = 1 + (setup2 >> 5);
    if (!p.replies.empty() && repeat > 1) {
        Bytes& text = p.replies.front().bytes;
        const Bytes once = text;
        for (int i = 1; i < repeat; ++i) text.insert(text.end(), once.begin(), once.end());
    }
    run_tool(p, {"-log"});
}

const ReplyHarness kHarness{run,
                            {{"st-default", {2, 0}},
                             {"atmel-legacy-empty", {4, 1}},
                             {"quillet-long", {1, 2}},
                             {"st-pieces", {2, 3}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
