#include "src/FirmwareImage.hpp"

#include <cstdio>
#include <cstring>
#include <memory>

namespace fwimage {

namespace {

uint32_t le32_at(std::span<const uint8_t> file, uint64_t offset) {
    const uint8_t* p = file.data() + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string describe(const char* format, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
                  static_cast<unsigned long long>(c));
    return text;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

char expected_target(bool hub_upgrade, uint32_t device_type) {
    if (!hub_upgrade) return kTargetSensor;
    switch (device_type) {
        case 1: return kTargetHub;
        case 2: return kTargetHub;
        case 3: return kTargetHubST;
        default: return 0;
    }
}

bool tag_matches(std::span<const uint8_t> file, char target) {
    if (file.size() < kTagSize || target == 0) return false;
    if (std::memcmp(file.data(), "ZELS", 4) != 0) return false;
    if (file[4] != 'B' && file[4] != 'F') return false;
    return file[5] == static_cast<uint8_t>(target);
}

ReadResult read_image_file(const char* path, ImageBuffer& image) {
    image.bytes.clear();
    image.size = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) return ReadResult::CannotOpen;

    // Read to the end rather than trusting a size taken beforehand: what is
    // checked and sent is exactly what this one pass delivered.
    std::vector<uint8_t> bytes;
    uint8_t piece[64 * 1024];
    for (;;) {
        const size_t got = std::fread(piece, 1, sizeof piece, file.get());
        if (got > 0) {
            if (bytes.size() + got > kMaxFileSize) return ReadResult::TooLarge;
            bytes.insert(bytes.end(), piece, piece + got);
        }
        if (got < sizeof piece) break;
    }
    if (std::ferror(file.get())) return ReadResult::ReadError;
    image.size = static_cast<uint32_t>(bytes.size());
    bytes.resize(bytes.size() + kBlockSize, 0);
    image.bytes = std::move(bytes);
    return ReadResult::Ok;
}

std::string check_single_part(std::span<const uint8_t> file, SinglePartImage& out) {
    const uint64_t size = file.size();
    if (size < 16) return describe("file of %llu bytes is too short for the header offset at 12", size);
    const uint64_t h = le32_at(file, 12);
    // All sums in 64 bits: H and L come from the file and may be anything.
    if (h + 16 + kBlockSize > size) {
        return describe("header at 0x%llx with its first block ends beyond the file of %llu bytes", h, size);
    }
    const uint64_t length = le32_at(file, h + 12);
    const uint64_t data = h + 16 + kBlockSize;
    if (data + length > size) {
        return describe("firmware length 0x%llx from offset 0x%llx ends beyond the file of %llu bytes", length, data,
                        size);
    }
    out.header_offset = static_cast<uint32_t>(h);
    out.image_word = le32_at(file, h);
    out.fw_signature = le32_at(file, h + 4);
    out.data_signature = le32_at(file, h + 8);
    out.length = static_cast<uint32_t>(length);
    out.first_block = static_cast<uint32_t>(h + 16);
    out.data = static_cast<uint32_t>(data);
    return {};
}

std::string check_two_part(std::span<const uint8_t> file, TwoPartImage& out) {
    const uint64_t size = file.size();
    if (size < TwoPartImage::kHeaderSize) {
        return describe("file of %llu bytes is too short for the two-part header of %llu bytes", size,
                        TwoPartImage::kHeaderSize);
    }
    const uint64_t second_length = le32_at(file, 68);  // LB, stored first
    const uint64_t first_length = le32_at(file, 72);   // LA, stored behind it
    if (TwoPartImage::kHeaderSize + second_length + first_length > size) {
        return describe("part data lengths 0x%llx and 0x%llx end beyond the file of %llu bytes", first_length,
                        second_length, size);
    }
    out.image_word = le32_at(file, 8);
    out.count = static_cast<int32_t>(le32_at(file, 52));
    out.first.fw_signature = le32_at(file, 56);
    out.first.data_signature = le32_at(file, 64);
    out.first.data_length = static_cast<uint32_t>(first_length);
    out.first.fw_length = le32_at(file, 80);
    out.first.data = static_cast<uint32_t>(TwoPartImage::kHeaderSize + second_length);
    out.second.fw_signature = le32_at(file, 32);
    out.second.data_signature = le32_at(file, 60);
    out.second.data_length = static_cast<uint32_t>(second_length);
    out.second.fw_length = le32_at(file, 76);
    out.second.data = TwoPartImage::kHeaderSize;
    return {};
}

uint32_t chunk_count(uint32_t data_length) {
    return data_length / kBlockSize + (data_length % kBlockSize != 0 ? 1 : 0);
}

uint32_t chunk_length(uint32_t data_length, uint32_t k) {
    const uint64_t start = uint64_t(k) * kBlockSize;
    if (start >= data_length) return 0;
    return start + kBlockSize < data_length ? kBlockSize : static_cast<uint32_t>(data_length - start);
}

bool path_fits(const char* path) {
    return path != nullptr && std::strlen(path) < kPathCapacity;
}

}  // namespace fwimage
