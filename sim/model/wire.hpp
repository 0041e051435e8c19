// Little-endian words of the HUB's messages, as the model reads and builds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

inline uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Writes `v` at `at`, growing `bytes` when it is too short.
inline void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    if (bytes.size() < at + 4) bytes.resize(at + 4, 0);
    for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = uint8_t(v >> (8 * i));
}

inline void append_le32(std::vector<uint8_t>& bytes, uint32_t v) {
    put32(bytes, bytes.size(), v);
}

}  // namespace sim
