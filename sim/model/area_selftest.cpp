#include "sim/model/area_selftest.hpp"

#include <algorithm>

#include "sim/model/hub_model.hpp"
#include "sim/model/settings.hpp"
#include "sim/model/wire.hpp"

namespace sim {

namespace {

// The step words each HUB kind carries out, step 1 (the version query) first.
constexpr uint32_t kQuilletSteps[] = {
    0x00013A00, 0x00313A00, 0x00293B00, 0x00023A00, 0x00043A00, 0x00063A00, 0x00332A00, 0x00352A00,
    0x00372A00, 0x00083A00, 0x00093A00, 0x00103300, 0x00113A00, 0x00123A00, 0x00133A00, 0x00143A00,
    0x00153700, 0x00163700, 0x00173700, 0x00183700, 0x00193700, 0x00203700, 0x00213700, 0x00223A00,
    0x00233A00, 0x00241300, 0x00253A00, 0x00263800, 0x00273B00, 0x00283900, 0x00323A00, 0x00503000,
};
constexpr uint32_t kTorvaneSteps[] = {0x00010100, 0x00241300, 0x00103300};

constexpr uint32_t kEnableSafeMode = 0x00501A00;
constexpr uint32_t kDisableSafeMode = 0x00511A00;
constexpr uint32_t kSetVerified = 0x00910100;
constexpr uint32_t kResetSafeMode = 0x00990100;
constexpr uint32_t kResetVerified = 0x00700100;
constexpr uint32_t kResetSubsystem = 0x00993B00;
constexpr uint32_t kResetBootloader = 0x00471A00;

std::span<const uint32_t> steps_of(Kind kind) {
    switch (kind) {
        case Kind::Quillet: return kQuilletSteps;
        case Kind::TorvaneAtmel: return std::span<const uint32_t>(kTorvaneSteps, 2);
        case Kind::TorvaneST: return kTorvaneSteps;
    }
    return {};
}

std::vector<uint8_t> word_reply(uint32_t word, size_t length) {
    std::vector<uint8_t> reply(length, 0);
    put32(reply, 0, word);
    return reply;
}

bool quillet_request(uint32_t word) {
    switch (word) {
        case kEnableSafeMode:
        case kDisableSafeMode:
        case kSetVerified:
        case kResetSafeMode:
        case kResetVerified:
        case kResetSubsystem:
        case kResetBootloader: return true;
        default: return false;
    }
}

}  // namespace

std::array<uint8_t, 96> selftest_default_data(uint32_t word) {
    std::array<uint8_t, 96> data{};
    const uint8_t seed = uint8_t(word >> 16);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(seed + i);
    return data;
}

uint32_t selftest_default_version(uint32_t kind) {
    return kind == uint32_t(Kind::TorvaneST) ? 0x01020000 : 0x01010000;
}

bool configure_selftest(SelfTestArea& area, const std::string& key, const std::string& value) {
    using settings::parse_number;
    constexpr std::string_view kPrefix = "selftest.";
    if (key.rfind(kPrefix, 0) != 0) return false;
    const std::string name = key.substr(kPrefix.size());
    if (name == "version") return parse_number(value, area.version);
    if (name == "require_safe_mode") return settings::parse_bool(value, area.require_safe_mode);
    if (name == "refusal") return parse_number(value, area.refusal);
    if (name.rfind("step.", 0) != 0) return false;
    const size_t dot = name.find('.', 5);
    uint32_t word = 0;
    if (dot == std::string::npos || !settings::parse_hex_word(name.substr(5, dot - 5), word)) return false;
    const std::string field = name.substr(dot + 1);
    const auto found = area.outcomes.find(word);
    SelfTestStepOutcome outcome = found != area.outcomes.end() ? found->second : SelfTestStepOutcome{};
    if (field == "code") {
        // A signed code or a 32-bit word: both go out as the same four bytes.
        int64_t v = 0;
        if (!parse_number(value, INT32_MIN, UINT32_MAX, v)) return false;
        outcome.code = int32_t(uint32_t(v));
    } else if (field == "reply_word") {
        if (!parse_number(value, outcome.reply_word)) return false;
    } else if (field == "data") {
        std::vector<uint8_t> bytes;
        if (!settings::parse_hex_bytes(value, 96, bytes)) return false;
        outcome.data.emplace();
        outcome.data->fill(0);
        std::copy(bytes.begin(), bytes.end(), outcome.data->begin());
    } else {
        return false;
    }
    area.outcomes[word] = outcome;
    return true;
}

bool handle_selftest(HubModel& hub, const Request& request, Exchange& ex) {
    if (hub.mode() != Mode::Firmware || request.text || request.bytes.size() != 104) return false;
    SelfTestArea& area = hub.config().selftest;
    const Kind kind = hub.config().kind;
    const uint32_t word = request.word;
    const std::span<const uint32_t> steps = steps_of(kind);
    const auto step_at = std::find(steps.begin(), steps.end(), word);
    const bool is_step = step_at != steps.end();
    if (!is_step && !(kind == Kind::Quillet && quillet_request(word))) return false;

    // A restart that this area did not ask for (the bootloader request is
    // answered by the firmware upgrade's handler, a power loss) starts the
    // firmware afresh: out of safe mode.
    if (hub.generation() != area.generation) {
        area.generation = hub.generation();
        area.safe_mode = area.verified = false;
        area.safe_mode_pending = area.leave_safe_mode_pending = area.verified_pending = false;
    }

    const auto found = area.outcomes.find(word);
    const SelfTestStepOutcome outcome = found != area.outcomes.end() ? found->second : SelfTestStepOutcome{};
    const uint32_t reply_word = outcome.reply_word.value_or(word);
    const bool payload_clean =
        std::all_of(request.bytes.begin() + 4, request.bytes.end(), [](uint8_t b) { return b == 0; });
    if (!payload_clean) ++area.malformed;

    if (is_step) {
        const bool ready = kind != Kind::Quillet || !area.require_safe_mode || area.safe_mode || area.verified;
        if (!payload_clean || !ready) {
            area.steps_refused.push_back(word);
            ex.reply = word_reply(area.refusal, 104);
            return true;
        }
        area.steps_run.push_back(word);
        ex.reply = word_reply(reply_word, 104);
        put32(ex.reply, 4, uint32_t(outcome.code));
        if (step_at == steps.begin()) {
            put32(ex.reply, 8, area.version.value_or(selftest_default_version(uint32_t(kind))));
        } else {
            const std::array<uint8_t, 96> data = outcome.data.value_or(selftest_default_data(word));
            std::copy(data.begin(), data.end(), ex.reply.begin() + 8);
        }
        return true;
    }

    // The Quillet's own requests. The resets are sent without waiting for an
    // answer: the HUB echoes them and drops off the bus.
    switch (word) {
        case kResetSafeMode:
        case kResetVerified:
        case kResetSubsystem:
            area.resets.push_back(word);
            area.safe_mode = (area.safe_mode || area.safe_mode_pending) && !area.leave_safe_mode_pending;
            area.verified = area.verified_pending;
            area.safe_mode_pending = area.leave_safe_mode_pending = area.verified_pending = false;
            area.generation = hub.generation() + 1;  // the restart below
            ex.restart = true;
            ex.next_mode = Mode::Firmware;
            return true;
        case kResetBootloader:
            // Normally taken first by the firmware upgrade's handler (the same
            // request starts a HUB upgrade); kept so this area stands alone.
            area.resets.push_back(word);
            area.safe_mode = area.verified = false;
            area.safe_mode_pending = area.leave_safe_mode_pending = area.verified_pending = false;
            ex.restart = true;
            ex.next_mode = Mode::Bootloader;
            return true;
        default: break;
    }
    if (!payload_clean) {
        ex.reply = word_reply(area.refusal, 4);
        return true;
    }
    ex.reply = word_reply(reply_word, 4);
    if (reply_word != word) return true;  // refused: nothing changes
    if (word == kEnableSafeMode) area.safe_mode_pending = true;
    if (word == kDisableSafeMode) area.leave_safe_mode_pending = true;
    if (word == kSetVerified) area.verified_pending = true;
    return true;
}

}  // namespace sim
