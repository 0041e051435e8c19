// Reading the tool's records and event lines without trusting their shape:
// a field that is missing or of another type reads as empty.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace zel::fleet {

using Json = nlohmann::ordered_json;

inline const Json& field(const Json& object, const char* key) {
    static const Json kNone;
    const auto it = object.is_object() ? object.find(key) : object.end();
    return it != object.end() ? *it : kNone;
}

inline std::string text_field(const Json& object, const char* key) {
    const Json& value = field(object, key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

inline int64_t number_field(const Json& object, const char* key, int64_t otherwise) {
    const Json& value = field(object, key);
    return value.is_number_integer() ? value.get<int64_t>() : otherwise;
}

// A document, or null when the text is none.
inline Json parse_json(const std::string& text) {
    Json parsed = Json::parse(text, nullptr, false);
    return parsed.is_discarded() ? Json() : parsed;
}

}  // namespace zel::fleet
