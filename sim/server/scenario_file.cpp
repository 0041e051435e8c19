#include "sim/server/scenario_file.hpp"

#include <cstdint>

#include "sim/model/settings.hpp"

namespace sim::scenario_file {

namespace {

using settings::trim;

struct FaultTypeName {
    const char* name;
    Fault::Type type;
};
constexpr FaultTypeName kFaultTypes[] = {
    {"no_echo", Fault::NoEcho},
    {"echo_changed", Fault::EchoByteChanged},
    {"partial_echo", Fault::PartialEcho},
    {"no_reply", Fault::NoReply},
    {"short_reply", Fault::ShortReply},
    {"status_only", Fault::StatusOnly},
    {"late_reply", Fault::LateReply},
    {"vanish", Fault::Vanish},
    {"stall", Fault::Stall},
};

std::string fault_type_list() {
    std::string all;
    for (const FaultTypeName& t : kFaultTypes) all += (all.empty() ? "" : ", ") + std::string(t.name);
    return all;
}

// The fields of a fault line as given, each at most once.
struct FaultFields {
    std::optional<int> index, byte, count, occurrence;
    std::optional<uint32_t> word, status;
    std::optional<int64_t> delay_ms;
    std::optional<Fault::Type> type;
};

template <typename T>
std::optional<T> number(std::string_view text, int64_t lo = 0) {
    T v{};
    if (!settings::parse_number(text, v, lo)) return std::nullopt;
    return v;
}

// One name:value field into `f`; false with `error` set.
bool take_fault_field(std::string_view field, FaultFields& f, std::string& error) {
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == field.size()) {
        error = "fault: '" + std::string(field) + "' is not name:value";
        return false;
    }
    const std::string_view name = field.substr(0, colon);
    const std::string_view value = field.substr(colon + 1);
    auto set = [&](auto& slot, auto parsed) {
        if (slot.has_value()) {
            error = "fault: '" + std::string(name) + "' given twice";
            return false;
        }
        if (!parsed) {
            error = "fault: bad value in '" + std::string(field) + "'";
            return false;
        }
        slot = parsed;
        return true;
    };
    if (name == "index") return set(f.index, number<int>(value));
    if (name == "word") return set(f.word, number<uint32_t>(value));
    if (name == "byte") return set(f.byte, number<int>(value));
    if (name == "count") return set(f.count, number<int>(value));
    if (name == "status") return set(f.status, number<uint32_t>(value));
    if (name == "occurrence") return set(f.occurrence, value == "every" ? std::optional<int>(-1) : number<int>(value));
    if (name == "delay_ms") {
        return set(f.delay_ms, value == "forever" ? std::optional<int64_t>(-1) : settings::parse_int(value));
    }
    if (name == "type") {
        std::optional<Fault::Type> type;
        for (const FaultTypeName& t : kFaultTypes) {
            if (value == t.name) type = t.type;
        }
        if (!type && !f.type) {
            error = "fault: unknown type '" + std::string(value) + "' (one of " + fault_type_list() + ")";
            return false;
        }
        return set(f.type, type);
    }
    error = "fault: unknown field '" + std::string(name) +
            "' (index, word, occurrence, type, byte, count, status, delay_ms)";
    return false;
}

// Each type takes exactly the parameter it needs, so a misplaced one is
// caught instead of silently ignored.
bool check_fault_parameter(const FaultFields& f, std::string& error) {
    const char* needs = nullptr;
    bool ok = false;
    const int given =
        int(f.byte.has_value()) + int(f.count.has_value()) + int(f.status.has_value()) + int(f.delay_ms.has_value());
    switch (*f.type) {
        case Fault::EchoByteChanged:
            needs = "byte:K";
            ok = f.byte.has_value();
            break;
        case Fault::PartialEcho:
        case Fault::ShortReply:
            needs = "count:N";
            ok = f.count.has_value();
            break;
        case Fault::StatusOnly:
            needs = "status:W";
            ok = f.status.has_value();
            break;
        case Fault::LateReply:
            needs = "delay_ms:T";
            ok = f.delay_ms.has_value() && *f.delay_ms >= 0;
            break;
        case Fault::Vanish:
            needs = "delay_ms:T";
            ok = f.delay_ms.has_value();
            break;
        default: ok = true; break;
    }
    if (ok && given == (needs != nullptr ? 1 : 0)) return true;
    error = needs != nullptr ? "fault: this type takes exactly " + std::string(needs)
                             : std::string("fault: this type takes no byte, count, status or delay_ms");
    return false;
}

}  // namespace

std::optional<Kind> parse_kind(std::string_view text) {
    text = trim(text);
    if (text == "atmel") return Kind::TorvaneAtmel;
    if (text == "quillet") return Kind::Quillet;
    if (text == "st") return Kind::TorvaneST;
    return std::nullopt;
}

bool valid_port_name(std::string_view name) {
    if (name.empty() || name.size() > 32 || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

bool valid_location(std::string_view location) {
    // bus-port, then .port for each hub on the way: numbers between the marks.
    if (location.empty() || location.size() > 32) return false;
    const size_t dash = location.find('-');
    if (dash == std::string_view::npos) return false;
    char previous = '.';
    for (size_t i = 0; i < location.size(); ++i) {
        const char c = location[i];
        const bool digit = c >= '0' && c <= '9';
        const bool mark = i == dash || (c == '.' && i > dash);
        if (!digit && !mark) return false;
        if (mark && (previous < '0' || previous > '9')) return false;
        previous = c;
    }
    return previous >= '0' && previous <= '9';
}

bool parse_fault(std::string_view text, FaultRule& rule, std::string& error) {
    FaultFields f;
    text = trim(text);
    while (!text.empty()) {
        const size_t end = text.find_first_of(" \t");
        if (!take_fault_field(text.substr(0, end), f, error)) return false;
        text = end == std::string_view::npos ? std::string_view{} : trim(text.substr(end));
    }
    if (f.index.has_value() == f.word.has_value()) {
        error = "fault: give exactly one of index:N or word:W";
        return false;
    }
    if (f.occurrence && !f.word) {
        error = "fault: occurrence goes with word:W";
        return false;
    }
    if (!f.type) {
        error = "fault: type:<type> is missing (one of " + fault_type_list() + ")";
        return false;
    }
    if (!check_fault_parameter(f, error)) return false;

    rule = FaultRule{};
    rule.request_index = f.index.value_or(-1);
    rule.word = f.word;
    rule.occurrence = f.occurrence.value_or(0);
    rule.fault.type = *f.type;
    rule.fault.index = f.byte.value_or(0);
    rule.fault.count = f.count.value_or(0);
    rule.fault.status = f.status.value_or(0);
    rule.fault.delay_ms = f.delay_ms.value_or(0);
    return true;
}

bool apply_setting(HubConfig& config, const std::string& key, const std::string& value, std::string& error) {
    auto bad = [&](const char* expected) {
        error = "bad value for " + key + ": '" + value + "' (expected " + expected + ")";
        return false;
    };
    auto flag = [&](bool& field) { return settings::parse_bool(value, field) || bad("yes or no"); };
    auto count = [&](int& field) { return settings::parse_number(value, field, 0) || bad("a count"); };
    auto checked = [&](std::string& field, bool valid, const char* expected) {
        if (!valid) return bad(expected);
        field = value;
        return true;
    };

    if (key == "kind") {
        const std::optional<Kind> kind = parse_kind(value);
        if (!kind) return bad("atmel, quillet or st");
        config.kind = *kind;
        return true;
    }
    if (key == "legacy") return flag(config.legacy);
    if (key == "sensor_trigger_drops") return flag(config.sensor_trigger_drops);
    if (key == "open_denied") return flag(config.open_denied);
    if (key == "port_name") return checked(config.port_name, valid_port_name(value), "a tty name such as ttyACM1");
    if (key == "port_name_after_reset") {
        return checked(config.port_name_after_reset, valid_port_name(value), "a tty name such as ttyACM1");
    }
    if (key == "location") return checked(config.location, valid_location(value), "a USB location such as 1-4");
    if (key == "holder") return settings::unescape(value, config.holder) || bad("a text");
    if (key == "reset_absent_ms") {
        return settings::parse_number(value, config.reset_absent_ms) || bad("milliseconds, negative for never");
    }
    if (key == "refuse_opens") return count(config.refuse_opens);
    if (key == "refuse_opens_after_restart") return count(config.refuse_opens_after_restart);
    if (key == "probe_answer") return settings::parse_number(value, config.probe_answer) || bad("a 32-bit word");
    if (key == "reply_delay_us") return settings::parse_number(value, config.reply_delay_us, 0) || bad("microseconds");
    if (key == "fault") {
        FaultRule rule;
        if (!parse_fault(value, rule, error)) return false;
        config.faults.push_back(rule);
        return true;
    }
    if (configure_info(config.info, key, value) || configure_firmware(config.firmware, key, value) ||
        configure_network(config.network, key, value) || configure_selftest(config.selftest, key, value)) {
        return true;
    }
    error = "unknown key or bad value: " + key + " = " + value;
    return false;
}

bool parse(std::string_view text, HubConfig& config, std::string& error) {
    int line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        // Only whole lines are comments: area values may hold '#'.
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        const std::string key(trim(line.substr(0, eq)));
        if (eq == std::string_view::npos || key.empty()) {
            error = "line " + std::to_string(line_number) + ": expected key = value";
            return false;
        }
        const std::string value(trim(line.substr(eq + 1)));
        std::string why;
        if (!apply_setting(config, key, value, why)) {
            error = "line " + std::to_string(line_number) + ": " + why;
            return false;
        }
    }
    return true;
}

}  // namespace sim::scenario_file
