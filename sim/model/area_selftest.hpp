// The HUB model's built-in self-test: the step requests of each HUB kind,
// the Quillet's safe mode, its "firmware verified" mark and the restarts
// that go with them (back into the firmware or into the bootloader).
//
// Scenario keys (words in hex, with or without 0x; values decimal or 0x hex;
// the flag yes/no, on/off, true/false or 1/0):
//   selftest.version = 0x01020000        the version step 1 reports
//                                        (default: the one the tool expects
//                                        for the HUB kind)
//   selftest.require_safe_mode = 1       a Quillet refuses steps outside safe
//                                        mode (or a verified restart); 0: never
//   selftest.refusal = 0x0000EE01        the reply word of a refused request
//   selftest.step.<word>.code = 7        the return code of the step <word>
//                                        (may be negative: -7 is 0xFFFFFFF9)
//   selftest.step.<word>.reply_word = 0x1234
//                                        answer <word> (any self-test request,
//                                        also the safe-mode ones) with this
//                                        reply word
//   selftest.step.<word>.data = 01 02 ff up to 96 data bytes in hex (the rest 0)
//
// Example: selftest.step.00241300.code = 7
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class HubModel;
struct Request;
struct Exchange;

struct SelfTestStepOutcome {
    int32_t code = 0;
    std::optional<uint32_t> reply_word;
    std::optional<std::array<uint8_t, 96>> data;  // default: a pattern of the word
};

struct SelfTestArea {
    // --- configuration ---
    std::optional<uint32_t> version;
    bool require_safe_mode = true;
    uint32_t refusal = 0x0000EE01;
    std::map<uint32_t, SelfTestStepOutcome> outcomes;

    SelfTestStepOutcome& step(uint32_t word) { return outcomes[word]; }

    // --- what the HUB saw ---
    std::vector<uint32_t> steps_run;      // step words carried out, in order
    std::vector<uint32_t> steps_refused;  // step words refused (not in safe mode, bad payload)
    std::vector<uint32_t> resets;         // restart words this area handled, in order
                                          // (the bootloader request is the firmware area's)
    int malformed = 0;                    // self-test requests with a nonzero payload
    bool safe_mode = false;               // in effect now
    bool safe_mode_pending = false;       // asked for; takes effect at the next restart
    bool leave_safe_mode_pending = false;
    bool verified_pending = false;
    bool verified = false;  // restarted with the firmware marked verified
    int generation = 0;     // the HUB's life these flags belong to
};

// The default data bytes of a step: a pattern that tells the steps apart.
std::array<uint8_t, 96> selftest_default_data(uint32_t word);
// The version a HUB kind (1, 2, 3) reports when none is configured.
uint32_t selftest_default_version(uint32_t kind);

// Takes one "key = value" setting of a scenario file; false when the key
// is not this area's (or the value does not fit it).
bool configure_selftest(SelfTestArea& area, const std::string& key, const std::string& value);

// Handles one request when it belongs to this area; false otherwise.
bool handle_selftest(HubModel& hub, const Request& request, Exchange& exchange);

}  // namespace sim
