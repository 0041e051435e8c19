// SHA-256 of an image file, for the history: which bytes a HUB was given.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zel::fleet {

// The digest as 64 lower-case hex digits.
std::string sha256_hex(std::span<const uint8_t> bytes);

}  // namespace zel::fleet
