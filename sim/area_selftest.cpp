#include "sim/area_selftest.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "sim/hub_model.hpp"

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

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> word_reply(uint32_t word, size_t length) {
    std::vector<uint8_t> reply(length, 0);
    put32(reply, 0, word);
    return reply;
}

std::string trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(b, e - b);
}

// A whole number: decimal, 0x hex, or (with `hex`) bare hex. No exceptions.
bool parse_number(const std::string& raw, bool hex, int64_t& out) {
    const std::string text = trim(raw);
    if (text.empty()) return false;
    const char* begin = text.c_str();
    int base = hex ? 16 : 10;
    const char* digits = begin + (text[0] == '-' ? 1 : 0);
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) base = 16;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(begin, &end, base);
    if (errno != 0 || end == begin || *end != '\0') return false;
    out = v;
    return true;
}

bool parse_u32(const std::string& text, bool hex, uint32_t& out) {
    int64_t v = 0;
    if (!parse_number(text, hex, v) || v < 0 || v > int64_t(UINT32_MAX)) return false;
    out = uint32_t(v);
    return true;
}

bool parse_data(const std::string& text, std::array<uint8_t, 96>& out) {
    out.fill(0);
    size_t n = 0;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',')) ++i;
        if (i >= text.size()) break;
        size_t j = i;
        while (j < text.size() && std::isxdigit(static_cast<unsigned char>(text[j]))) ++j;
        if (j == i || j - i > 2 || n >= out.size()) return false;
        uint32_t byte = 0;
        if (!parse_u32(text.substr(i, j - i), true, byte)) return false;
        out[n++] = uint8_t(byte);
        i = j;
    }
    return true;
}

bool quillet_request(uint32_t word) {
    switch (word) {
        case kEnableSafeMode: case kDisableSafeMode: case kSetVerified:
        case kResetSafeMode: case kResetVerified: case kResetSubsystem: case kResetBootloader:
            return true;
        default:
            return false;
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
    constexpr const char* kPrefix = "selftest.";
    if (key.rfind(kPrefix, 0) != 0) return false;
    const std::string name = key.substr(std::char_traits<char>::length(kPrefix));
    if (name == "version") {
        uint32_t v = 0;
        if (!parse_u32(value, false, v)) return false;
        area.version = v;
        return true;
    }
    if (name == "require_safe_mode") {
        uint32_t v = 0;
        if (!parse_u32(value, false, v) || v > 1) return false;
        area.require_safe_mode = v == 1;
        return true;
    }
    if (name == "refusal") return parse_u32(value, false, area.refusal);
    if (name.rfind("step.", 0) != 0) return false;
    const size_t dot = name.find('.', 5);
    if (dot == std::string::npos) return false;
    uint32_t word = 0;
    if (!parse_u32(name.substr(5, dot - 5), true, word)) return false;
    const std::string field = name.substr(dot + 1);
    SelfTestStepOutcome outcome = area.outcomes.count(word) != 0 ? area.outcomes[word] : SelfTestStepOutcome{};
    if (field == "code") {
        int64_t v = 0;
        if (!parse_number(value, false, v) || v < INT32_MIN || v > int64_t(UINT32_MAX)) return false;
        outcome.code = int32_t(uint32_t(v));
    } else if (field == "reply_word") {
        uint32_t v = 0;
        if (!parse_u32(value, false, v)) return false;
        outcome.reply_word = v;
    } else if (field == "data") {
        std::array<uint8_t, 96> data{};
        if (!parse_data(value, data)) return false;
        outcome.data = data;
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
        default:
            break;
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
