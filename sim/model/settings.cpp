#include "sim/model/settings.hpp"

#include <algorithm>
#include <charconv>

namespace sim::settings {

namespace {

bool is_separator(char c) {
    return c == ' ' || c == '\t' || c == ',';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool has_hex_prefix(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Digits only, in `base`: no sign, no blanks, nothing after them.
std::optional<uint64_t> parse_digits(std::string_view text, int base) {
    uint64_t value = 0;
    if (text.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::optional<int64_t> parse_int(std::string_view text) {
    text = trim(text);
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    const bool hex = has_hex_prefix(text);
    if (hex) text.remove_prefix(2);
    const std::optional<uint64_t> value = parse_digits(text, hex ? 16 : 10);
    if (!value || *value > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return negative ? -int64_t(*value) : int64_t(*value);
}

bool parse_number(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
    const std::optional<int64_t> v = parse_int(text);
    if (!v || *v < lo || *v > hi) return false;
    out = *v;
    return true;
}

bool parse_hex_word(std::string_view text, uint32_t& out) {
    text = trim(text);
    if (has_hex_prefix(text)) text.remove_prefix(2);
    const std::optional<uint64_t> v = parse_digits(text, 16);
    if (!v || *v > UINT32_MAX) return false;
    out = uint32_t(*v);
    return true;
}

bool parse_bool(std::string_view text, bool& out) {
    text = trim(text);
    if (text == "yes" || text == "true" || text == "on" || text == "1") {
        out = true;
    } else if (text == "no" || text == "false" || text == "off" || text == "0") {
        out = false;
    } else {
        return false;
    }
    return true;
}

bool unescape(std::string_view text, std::string& out) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            result.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'r': result.push_back('\r'); break;
            case 'n': result.push_back('\n'); break;
            case 't': result.push_back('\t'); break;
            case '\\': result.push_back('\\'); break;
            case 'x': {
                const int hi = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
                const int lo = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
                if (hi < 0 || lo < 0) return false;
                result.push_back(char(hi * 16 + lo));
                i += 2;
                break;
            }
            default: return false;
        }
    }
    out = std::move(result);
    return true;
}

std::string_view take_word(std::string_view& rest) {
    size_t begin = 0;
    while (begin < rest.size() && is_separator(rest[begin])) ++begin;
    size_t end = begin;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    const std::string_view word = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return word;
}

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    for (std::string_view word = take_word(text); !word.empty(); word = take_word(text)) words.push_back(word);
    return words;
}

bool parse_hex_bytes(std::string_view text, size_t max, std::vector<uint8_t>& out) {
    std::vector<uint8_t> bytes;
    for (const std::string_view word : split_words(text)) {
        const std::optional<uint64_t> v = word.size() <= 2 ? parse_digits(word, 16) : std::nullopt;
        if (!v || bytes.size() >= max) return false;
        bytes.push_back(uint8_t(*v));
    }
    out = std::move(bytes);
    return true;
}

bool parse_indexed(std::string_view text, size_t count, size_t& index, std::string_view& field) {
    const size_t dot = text.find('.');
    int64_t i = 0;
    if (dot == std::string_view::npos || count == 0 || !parse_number(text.substr(0, dot), 0, int64_t(count) - 1, i)) {
        return false;
    }
    index = size_t(i);
    field = text.substr(dot + 1);
    return true;
}

bool parse_address(std::string_view text, uint32_t& out) {
    text = trim(text);
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return false;
        const std::optional<uint64_t> part = parse_digits(text.substr(0, dot), 10);
        if (!part || *part > 255) return false;
        address |= uint32_t(*part) << (8 * i);
        text.remove_prefix(std::min(dot + 1, text.size()));
    }
    out = address;
    return true;
}

}  // namespace sim::settings
