// Image files and expected requests for the firmware-upgrade tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "scenario.hpp"

namespace fwtest {

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
// Bytes that differ from position to position and from seed to seed.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8) * 13);
    return v;
}
inline std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
    return {v.begin() + long(from), v.begin() + long(from + n)};
}

struct SinglePart {
    char variant = 'B';
    char target = 'H';
    uint32_t header_offset = 40;  // leaves room for bytes nobody reads
    uint32_t image_word = 0x1D0C0B0A;
    uint32_t fw_signature = 0xF1F2F3F4;
    uint32_t data_signature = 0xD1D2D3D4;
    uint32_t length = 1025;
    size_t trailer = 7;  // file bytes behind the firmware
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> f = pattern(header_offset + 16 + 512 + length + trailer, 0x31);
        std::copy_n("ZELS", 4, f.begin());
        f[4] = uint8_t(variant);
        f[5] = uint8_t(target);
        put32(f, 12, header_offset);
        put32(f, header_offset, image_word);
        put32(f, header_offset + 4, fw_signature);
        put32(f, header_offset + 8, data_signature);
        put32(f, header_offset + 12, length);
        return f;
    }
    size_t first_block() const { return header_offset + 16; }
    size_t data() const { return header_offset + 528; }
};

struct TwoPart {
    char target = 'I';
    uint32_t image_word = 0x2E0D0C0B;
    int32_t count = 2;
    uint32_t fw_signature_a = 0xA1A2A3A4, data_signature_a = 0xA5A6A7A8, length_a = 1100;
    uint32_t fw_signature_b = 0xB1B2B3B4, data_signature_b = 0xB5B6B7B8, length_b = 700;
    size_t trailer = 3;
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> f = pattern(596 + length_b + length_a + trailer, 0x47);
        std::copy_n("ZELS", 4, f.begin());
        f[4] = 'F';
        f[5] = uint8_t(target);
        put32(f, 8, image_word);
        put32(f, 32, fw_signature_b);
        put32(f, 52, uint32_t(count));
        put32(f, 56, fw_signature_a);
        put32(f, 60, data_signature_b);
        put32(f, 64, data_signature_a);
        put32(f, 68, length_b);
        put32(f, 72, length_a);
        // The bootloader takes the firmware length as what it receives.
        put32(f, 76, length_b);
        put32(f, 80, length_a);
        return f;
    }
    size_t data_a() const { return 596 + length_b; }
    size_t data_b() const { return 596; }
};

// A sensor image: three chunks of 512, 512 and 276 bytes.
inline SinglePart sensor_image() {
    SinglePart img;
    img.target = 'S';
    img.length = 1300;
    return img;
}

// What a bootloader must have received for a single-part image.
inline void expect_single_part(const std::vector<sim::ReceivedPart>& parts, const SinglePart& img,
                               const std::vector<uint8_t>& file) {
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_TRUE(parts[0].complete);
    EXPECT_EQ(parts[0].fw_length, img.length);
    EXPECT_EQ(parts[0].fw_signature, img.fw_signature);
    EXPECT_EQ(parts[0].data_signature, img.data_signature);
    EXPECT_EQ(parts[0].image_word, img.image_word);
    EXPECT_EQ(parts[0].first_block, slice(file, img.first_block(), 512));
    EXPECT_EQ(parts[0].data, slice(file, img.data(), img.length));
}

using scenario::hub;
using scenario::TempDir;

// The request as the tool must send it: the request buffer after the bytes
// written so far, starting from a previous request.
struct Buffer {
    std::vector<uint8_t> b = std::vector<uint8_t>(536, 0);
    Buffer& form(uint8_t code, uint8_t parameter) {
        b[0] = 0xAE;
        b[2] = code;
        b[3] = parameter;
        return *this;
    }
    Buffer& word(uint32_t w) {
        put32(b, 0, w);
        return *this;
    }
    Buffer& at(size_t offset, uint32_t w) {
        put32(b, offset, w);
        return *this;
    }
    Buffer& block(const std::vector<uint8_t>& bytes, size_t from) {
        for (size_t i = 0; i < 512; ++i) b[24 + i] = from + i < bytes.size() ? bytes[from + i] : 0;
        return *this;
    }
    std::vector<uint8_t> first(size_t n) const { return slice(b, 0, n); }
    std::vector<uint8_t> forwarded() const {
        std::vector<uint8_t> f{0x00, 0x15, 0x17, 0x00};
        f.insert(f.end(), b.begin(), b.end());
        return f;
    }
};

// The writes of a run from index `from` on.
inline std::vector<std::vector<uint8_t>> writes_from(const scenario::Scenario& s, size_t from) {
    const auto all = s.writes();
    return {all.begin() + long(std::min(from, all.size())), all.end()};
}

}  // namespace fwtest
