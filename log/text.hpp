// Texts made from what the tool holds: printf into a string, the text of a
// fixed field that may lack its terminator, a version word as the reports
// print it, and whether a text fits a terminated field.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.hpp"  // ZEL_PRINTF_FORMAT

// printf into a string of any length.
std::string format_string(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);
std::string vformat_string(const char* format, va_list args);

// The text of a field of `size` bytes: up to its first zero byte, or all
// of it when it has none. Never reads beyond the field.
std::string_view bounded_text(const void* field, size_t size);

// True when `text` fits a field of `field_size` bytes with its terminator.
bool fits_field(const char* text, size_t field_size);

// A version word: major in bits 31-24, minor 23-16, patch 15-8, a release
// letter in 7-0.
enum class VersionForm {
    Letter,        // "2.1.3-A", the letter as it is (none when it is 0): the logs and the console
    RecordLetter,  // "2.1.3-A", the letter only when printable: the run record
    Three,         // "2.1.3": the self-test's version
    Interface,     // "2.0.10": major, minor and a 16-bit patch (the USB, WiFi and Bluetooth APIs)
};
std::string version_text(uint32_t word, VersionForm form);
