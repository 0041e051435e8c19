// -r and -w: the HUB's WiFi record (read) and its answer to a new record
// (write) are the fuzzer's bytes; -r writes the XML file it makes.
//   setup bits 0-1: HUB kind; bit 2: legacy firmware; bit 3: -w (else -r)
#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

void run(ReplyPlatform& p, uint8_t setup, uint8_t) {
    static const std::string config =
        write_work_file("config.xml", [] { const std::string t = network_xml_file(); return Bytes(t.begin(), t.end()); }());
    static const std::string target = work_dir() + "/read.xml";
    p.attach(hub_config(setup & 3, setup & 4));
    p.match = [](std::span<const uint8_t> b) {
        const uint32_t w = word_of(b);
        return b.size() == 104 && (w == 0x00491900 || w == 0x00501900 || is_form(b, 0x49) || is_form(b, 0x50));
    };
    if (setup & 8) {
        run_tool(p, {"-w", config});
    } else {
        run_tool(p, {"-r", target});
    }
}

const ReplyHarness kHarness{run,
                            {{"st-read", {2, 0}},
                             {"atmel-legacy-read", {4, 0}},
                             {"quillet-write", {1 | 8, 0}},
                             {"atmel-legacy-write", {4 | 8, 0}}}};
}  // namespace

ZEL_REPLY_HARNESS(kHarness)
