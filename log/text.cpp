#include "log/text.hpp"

#include <cstdio>
#include <cstring>

std::string vformat_string(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    std::string text(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

std::string format_string(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat_string(format, args);
    va_end(args);
    return text;
}

std::string_view bounded_text(const void* field, size_t size) {
    const char* text = static_cast<const char*>(field);
    const void* zero = std::memchr(text, 0, size);
    return {text, zero != nullptr ? size_t(static_cast<const char*>(zero) - text) : size};
}

bool fits_field(const char* text, size_t field_size) {
    return text != nullptr && std::strlen(text) < field_size;
}

std::string version_text(uint32_t word, VersionForm form) {
    const unsigned major = word >> 24, minor = (word >> 16) & 0xFF, patch = (word >> 8) & 0xFF;
    const char letter = char(word & 0xFF);
    switch (form) {
        case VersionForm::Letter:
            return format_string("%u.%u.%u-", major, minor, patch) + (letter != '\0' ? std::string(1, letter) : "");
        case VersionForm::RecordLetter:
            return format_string("%u.%u.%u-", major, minor, patch) +
                   (letter >= 0x20 && letter < 0x7F ? std::string(1, letter) : "");
        case VersionForm::Three: return format_string("%u.%u.%u", major, minor, patch);
        case VersionForm::Interface: return format_string("%u.%u.%u", major, minor, unsigned(word & 0xFFFF));
    }
    return {};
}
