// The scenario file of zel_hub_sim: "key = value" lines that configure the
// HUB model. The core keys are read here; every other key goes to the areas'
// configure_* functions in turn. Header-only, so the tests can check the
// syntax without the server.
//
// Core keys (docs/HUB_SIM.md has the full description):
//   kind = atmel | quillet | st
//   legacy = yes | no
//   port_name = ttyACM0                  port_name_after_reset = ttyACM1
//   reset_absent_ms = 1500               (negative: never comes back)
//   refuse_opens = 0                     refuse_opens_after_restart = 0
//   sensor_trigger_drops = no            probe_answer = 0x00000200
//   reply_delay_us = 500
//   fault = <which> type:<type> [byte:K] [count:N] [status:W] [delay_ms:T]
//     which: index:N (the N-th request, from 0)
//            word:W [occurrence:N | occurrence:every]
//     type:  no_echo, echo_changed (byte), partial_echo (count),
//            no_reply, short_reply (count), status_only (status),
//            late_reply (delay_ms), vanish (delay_ms; negative or
//            "forever": never comes back)
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hub_model.hpp"

namespace sim::scenario_file {

inline std::string_view trim(std::string_view s) {
    const char* spaces = " \t\r\n";
    const size_t first = s.find_first_not_of(spaces);
    if (first == std::string_view::npos) return {};
    const size_t last = s.find_last_not_of(spaces);
    return s.substr(first, last - first + 1);
}

// A whole decimal number, or hexadecimal with "0x"; an optional leading '-'.
inline std::optional<int64_t> parse_int(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return negative ? -int64_t(value) : int64_t(value);
}

inline std::optional<uint32_t> parse_word(std::string_view text) {
    const std::optional<int64_t> v = parse_int(text);
    if (!v || *v < 0 || *v > int64_t(UINT32_MAX)) return std::nullopt;
    return uint32_t(*v);
}

inline std::optional<int> parse_count(std::string_view text) {
    const std::optional<int64_t> v = parse_int(text);
    if (!v || *v < 0 || *v > std::numeric_limits<int>::max()) return std::nullopt;
    return int(*v);
}

inline std::optional<bool> parse_bool(std::string_view text) {
    text = trim(text);
    if (text == "yes" || text == "true" || text == "on" || text == "1") return true;
    if (text == "no" || text == "false" || text == "off" || text == "0") return false;
    return std::nullopt;
}

inline std::optional<Kind> parse_kind(std::string_view text) {
    text = trim(text);
    if (text == "atmel") return Kind::TorvaneAtmel;
    if (text == "quillet") return Kind::Quillet;
    if (text == "st") return Kind::TorvaneST;
    return std::nullopt;
}

// A tty entry name: it becomes a file name under the fake sysfs and /dev.
inline bool valid_port_name(std::string_view name) {
    if (name.empty() || name.size() > 32 || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

struct FaultTypeName {
    const char* name;
    Fault::Type type;
};
inline constexpr FaultTypeName kFaultTypes[] = {
    {"no_echo", Fault::NoEcho},         {"echo_changed", Fault::EchoByteChanged},
    {"partial_echo", Fault::PartialEcho}, {"no_reply", Fault::NoReply},
    {"short_reply", Fault::ShortReply}, {"status_only", Fault::StatusOnly},
    {"late_reply", Fault::LateReply},   {"vanish", Fault::Vanish},
};

inline std::string fault_type_list() {
    std::string all;
    for (const FaultTypeName& t : kFaultTypes) all += (all.empty() ? "" : ", ") + std::string(t.name);
    return all;
}

// The value of a "fault" line: space-separated name:value fields.
inline bool parse_fault(std::string_view text, FaultRule& rule, std::string& error) {
    rule = FaultRule{};
    std::optional<int> index, byte, count;
    std::optional<uint32_t> word, status;
    std::optional<int> occurrence;
    std::optional<int64_t> delay_ms;
    std::optional<Fault::Type> type;

    text = trim(text);
    while (!text.empty()) {
        const size_t end = text.find_first_of(" \t");
        const std::string_view field = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : trim(text.substr(end));
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon + 1 == field.size()) {
            error = "fault: '" + std::string(field) + "' is not name:value";
            return false;
        }
        const std::string_view name = field.substr(0, colon);
        const std::string_view value = field.substr(colon + 1);
        auto twice = [&](bool seen) {
            if (seen) error = "fault: '" + std::string(name) + "' given twice";
            return seen;
        };
        auto bad = [&] {
            error = "fault: bad value in '" + std::string(field) + "'";
            return false;
        };
        if (name == "index") {
            if (twice(index.has_value())) return false;
            if (!(index = parse_count(value))) return bad();
        } else if (name == "word") {
            if (twice(word.has_value())) return false;
            if (!(word = parse_word(value))) return bad();
        } else if (name == "occurrence") {
            if (twice(occurrence.has_value())) return false;
            if (value == "every") {
                occurrence = -1;
            } else if (!(occurrence = parse_count(value))) {
                return bad();
            }
        } else if (name == "type") {
            if (twice(type.has_value())) return false;
            for (const FaultTypeName& t : kFaultTypes) {
                if (value == t.name) type = t.type;
            }
            if (!type) {
                error = "fault: unknown type '" + std::string(value) + "' (one of " + fault_type_list() + ")";
                return false;
            }
        } else if (name == "byte") {
            if (twice(byte.has_value())) return false;
            if (!(byte = parse_count(value))) return bad();
        } else if (name == "count") {
            if (twice(count.has_value())) return false;
            if (!(count = parse_count(value))) return bad();
        } else if (name == "status") {
            if (twice(status.has_value())) return false;
            if (!(status = parse_word(value))) return bad();
        } else if (name == "delay_ms") {
            if (twice(delay_ms.has_value())) return false;
            if (value == "forever") {
                delay_ms = -1;
            } else if (!(delay_ms = parse_int(value))) {
                return bad();
            }
        } else {
            error = "fault: unknown field '" + std::string(name) +
                    "' (index, word, occurrence, type, byte, count, status, delay_ms)";
            return false;
        }
    }

    if (index.has_value() == word.has_value()) {
        error = "fault: give exactly one of index:N or word:W";
        return false;
    }
    if (occurrence && !word) {
        error = "fault: occurrence goes with word:W";
        return false;
    }
    if (!type) {
        error = "fault: type:<type> is missing (one of " + fault_type_list() + ")";
        return false;
    }
    // Each type takes exactly the parameter it needs, so a misplaced one is
    // caught instead of silently ignored.
    const char* needs = nullptr;
    bool given_ok = false;
    const int given = int(byte.has_value()) + int(count.has_value()) + int(status.has_value()) + int(delay_ms.has_value());
    switch (*type) {
        case Fault::EchoByteChanged: needs = "byte:K"; given_ok = byte.has_value() && given == 1; break;
        case Fault::PartialEcho:
        case Fault::ShortReply: needs = "count:N"; given_ok = count.has_value() && given == 1; break;
        case Fault::StatusOnly: needs = "status:W"; given_ok = status.has_value() && given == 1; break;
        case Fault::LateReply:
            needs = "delay_ms:T";
            given_ok = delay_ms.has_value() && *delay_ms >= 0 && given == 1;
            break;
        case Fault::Vanish: needs = "delay_ms:T"; given_ok = delay_ms.has_value() && given == 1; break;
        default: given_ok = given == 0; break;
    }
    if (!given_ok) {
        error = needs != nullptr ? "fault: this type takes exactly " + std::string(needs)
                                 : std::string("fault: this type takes no byte, count, status or delay_ms");
        return false;
    }

    if (index) rule.request_index = *index;
    rule.word = word;
    rule.occurrence = occurrence.value_or(0);
    rule.fault.type = *type;
    rule.fault.index = byte.value_or(0);
    rule.fault.count = count.value_or(0);
    rule.fault.status = status.value_or(0);
    rule.fault.delay_ms = delay_ms.value_or(0);
    return true;
}

// One setting. The areas get every key that is not a core one.
inline bool apply_setting(HubConfig& config, const std::string& key, const std::string& value, std::string& error) {
    auto bad = [&](const char* expected) {
        error = "bad value for " + key + ": '" + value + "' (expected " + expected + ")";
        return false;
    };
    if (key == "kind") {
        const auto kind = parse_kind(value);
        if (!kind) return bad("atmel, quillet or st");
        config.kind = *kind;
    } else if (key == "legacy" || key == "sensor_trigger_drops") {
        const auto flag = parse_bool(value);
        if (!flag) return bad("yes or no");
        (key == "legacy" ? config.legacy : config.sensor_trigger_drops) = *flag;
    } else if (key == "port_name" || key == "port_name_after_reset") {
        if (!valid_port_name(value)) return bad("a tty name such as ttyACM1");
        (key == "port_name" ? config.port_name : config.port_name_after_reset) = value;
    } else if (key == "reset_absent_ms") {
        const auto ms = parse_int(value);
        if (!ms) return bad("milliseconds, negative for never");
        config.reset_absent_ms = *ms;
    } else if (key == "refuse_opens" || key == "refuse_opens_after_restart") {
        const auto n = parse_count(value);
        if (!n) return bad("a count");
        (key == "refuse_opens" ? config.refuse_opens : config.refuse_opens_after_restart) = *n;
    } else if (key == "probe_answer") {
        const auto word = parse_word(value);
        if (!word) return bad("a 32-bit word");
        config.probe_answer = *word;
    } else if (key == "reply_delay_us") {
        const auto us = parse_int(value);
        if (!us || *us < 0) return bad("microseconds");
        config.reply_delay_us = *us;
    } else if (key == "fault") {
        FaultRule rule;
        if (!parse_fault(value, rule, error)) return false;
        config.faults.push_back(rule);
    } else if (!configure_info(config.info, key, value) && !configure_firmware(config.firmware, key, value) &&
               !configure_network(config.network, key, value) && !configure_selftest(config.selftest, key, value)) {
        error = "unknown key or bad value: " + key + " = " + value;
        return false;
    }
    return true;
}

// A whole file's text. `error` names the line.
inline bool parse(std::string_view text, HubConfig& config, std::string& error) {
    int line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const std::string_view line = trim(raw);
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
