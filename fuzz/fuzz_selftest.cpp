// -stest: every reply of the self-test (safe mode, the version step, each
// step, leaving safe mode) is taken in turn from the fuzzer's records; the
// restarts stay the model's.
//   setup bits 0-1: HUB kind
//   setup2 bits 0-1: the model's outcome (all pass, a step fails, another
//   self-test version; shapes the seeds)
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t setup2) {
    sim::HubConfig c = hub_config(setup & 3, false);
    if ((setup2 & 3) == 1) c.selftest.step(0x00241300).code = 7;
    if ((setup2 & 3) == 2) c.selftest.version = 0x01000000;
    p.attach(std::move(c));
    // Every framed request but the probe.
    p.match = [](std::span<const uint8_t> b) { return b.size() == 104 && word_of(b) != 0; };
    run_tool(p, {"-stest"});
}

const ReplyHarness kHarness{run,
                            {{"quillet-pass", {1, 0}},
                             {"st-pass", {2, 0}},
                             {"atmel-pass", {0, 0}},
                             {"quillet-step-fails", {1, 1}},
                             {"st-other-version", {2, 2}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
