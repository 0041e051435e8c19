// Image files and little-endian words as the tests and the fuzzers build
// them: the layouts written out by hand, never taken from the tool's code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace t {

using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
inline uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
// Bytes that differ from position to position and from seed to seed.
inline Bytes pattern(size_t n, uint8_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8) * 13);
    return v;
}
// A single-part image (Atmel HUBs, sensors).
struct SinglePart {
    char variant = 'B';
    char target = 'H';
    uint32_t header = 40;  // leaves room for bytes nobody reads
    uint32_t image_word = 0x1D0C0B0A, fw_signature = 0xF1F2F3F4, data_signature = 0xD1D2D3D4;
    uint32_t length = 1025;
    Bytes bytes() const {
        Bytes f = pattern(header + 16 + 512 + length + 7, 0x31);
        std::copy_n("ZELS", 4, f.begin());
        f[4] = uint8_t(variant);
        f[5] = uint8_t(target);
        put32(f, 12, header);
        put32(f, header, image_word);
        put32(f, header + 4, fw_signature);
        put32(f, header + 8, data_signature);
        put32(f, header + 12, length);
        return f;
    }
    size_t first_block() const { return header + 16; }
    size_t data() const { return header + 528; }
};
// A sensor image of `length` bytes of firmware.
inline Bytes sensor_image(uint32_t length = 1025) {
    SinglePart image;
    image.target = 'S';
    image.length = length;
    return image.bytes();
}

// A two-part image (ST HUBs): part A goes first, its data last in the file.
struct TwoPart {
    char target = 'I';
    int32_t count = 2;
    uint32_t length_a = 1100, length_b = 700;
    Bytes bytes() const {
        Bytes f = pattern(596 + length_b + length_a + 3, 0x47);
        std::copy_n("ZELSFI", 6, f.begin());
        f[5] = uint8_t(target);
        const uint32_t words[][2] = {{8, 0x2E0D0C0B},  {32, 0xB1B2B3B4}, {52, uint32_t(count)}, {56, 0xA1A2A3A4},
                                     {60, 0xB5B6B7B8}, {64, 0xA5A6A7A8}, {68, length_b},        {72, length_a},
                                     {76, length_b},   {80, length_a}};
        for (const auto& [at, v] : words) put32(f, at, v);
        return f;
    }
};

}  // namespace t
