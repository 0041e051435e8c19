// The values of a scenario's "key = value" settings, read the same way by
// every area and by the scenario file: numbers in decimal or with 0x in hex,
// flags, texts with escapes, word lists and hex byte lists. Each parser
// returns false for a value that does not fit and leaves its output alone.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace sim {

// Sensors wired to a HUB unless a scenario says otherwise, the same for every
// area: a count the ST kind's sensor upgrade accepts (it takes 17 or 19).
inline constexpr int kDefaultSensorCount = 17;

namespace settings {

// Without the blanks (spaces, tabs, CR, LF) at either end.
std::string_view trim(std::string_view text);

// A whole number: decimal, or hex after "0x"; an optional leading '-'.
std::optional<int64_t> parse_int(std::string_view text);

// parse_int within [lo, hi].
bool parse_number(std::string_view text, int64_t lo, int64_t hi, int64_t& out);

// parse_int within [lo, hi], by default the range of T (flags take parse_bool).
template <std::integral T>
requires(!std::same_as<T, bool>) bool parse_number(std::string_view text, T& out,
                                                   int64_t lo = int64_t(std::numeric_limits<T>::min()),
                                                   int64_t hi = int64_t(std::numeric_limits<T>::max())) {
    static_assert(sizeof(T) < sizeof(int64_t) || std::is_signed_v<T>, "the range must fit int64_t");
    int64_t v = 0;
    if (!parse_number(text, lo, hi, v)) return false;
    out = T(v);
    return true;
}

// The same for a field that is unset until a scenario gives it.
template <std::integral T>
requires(!std::same_as<T, bool>) bool parse_number(std::string_view text, std::optional<T>& out) {
    T v{};
    if (!parse_number(text, v)) return false;
    out = v;
    return true;
}

// A 32-bit word in hex, with or without "0x" (a request word in a key name).
bool parse_hex_word(std::string_view text, uint32_t& out);

// yes/no, true/false, on/off, 1/0.
bool parse_bool(std::string_view text, bool& out);

// A text with the escapes \r \n \t \\ and \xNN; any other backslash is an error.
bool unescape(std::string_view text, std::string& out);

// The next word of `rest` (words are separated by blanks or commas), which
// is advanced past it; empty when there is none.
std::string_view take_word(std::string_view& rest);

// All words of `text`.
std::vector<std::string_view> split_words(std::string_view text);

// Bytes in hex, one or two digits each, separated by blanks or commas; at
// most `max` of them.
bool parse_hex_bytes(std::string_view text, size_t max, std::vector<uint8_t>& out);

// The "I.FIELD" end of a key such as info.sensor.I.FIELD: a decimal (or 0x)
// index below `count`, then the field's name.
bool parse_indexed(std::string_view text, size_t count, size_t& index, std::string_view& field);

// A dotted IPv4 address "a.b.c.d", as the little-endian word a.b.c.d of the wire.
bool parse_address(std::string_view text, uint32_t& out);

}  // namespace settings
}  // namespace sim
