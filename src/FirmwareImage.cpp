#include "src/FirmwareImage.hpp"

#include <cstring>
#include <string>

#include "log/text.hpp"
#include "platform/platform.hpp"
#include "src/le32.hpp"

namespace fwimage {

namespace {

uint32_t le32_at(std::span<const uint8_t> file, uint64_t offset) {
    return get_le32(file.data() + offset);
}

// The checks' texts name offsets and lengths of up to 64 bits.
std::string describe(const char* format, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
    using ull = unsigned long long;
    return format_string(format, ull(a), ull(b), ull(c));
}

}  // namespace

char expected_target(bool hub_upgrade, HubKind kind) {
    if (!hub_upgrade) return kTargetSensor;
    const HubKindRow* row = hub_kind(kind);
    return row != nullptr ? row->image_target : 0;
}

std::string read_image_file(zel::Platform& platform, const char* path, ImageBuffer& image) {
    image.release();
    const zel::FileStatus status = platform.file_status(path);
    if (status.kind == zel::FileStatus::Missing) return "there is no file " + std::string(path);
    // A FIFO or a device would never end, or block the run.
    if (status.kind != zel::FileStatus::Regular) return std::string(path) + " is not a regular file";
    if (status.size > kMaxFileSize) {
        return describe("file of %llu bytes is larger than the %llu bytes an image may have", status.size,
                        kMaxFileSize);
    }
    std::string bytes;
    if (!platform.read_file(path, kMaxFileSize, false, bytes)) return "cannot read " + std::string(path);
    // What is checked and sent is exactly what this one read delivered,
    // even when the file changed since its size was taken.
    if (bytes.size() > kMaxFileSize) {
        return describe("file is larger than the %llu bytes an image may have", kMaxFileSize);
    }
    image.size = static_cast<uint32_t>(bytes.size());
    image.bytes.assign(bytes.begin(), bytes.end());
    image.bytes.resize(bytes.size() + kBlockSize, 0);
    return {};
}

std::string check_tag(std::span<const uint8_t> file, char target) {
    if (file.size() < kTagSize || std::memcmp(file.data(), "ZELS", 4) != 0) {
        return "not an image file (it does not start with ZELS)";
    }
    auto letter = [](uint8_t c) {
        return c >= 0x20 && c < 0x7F ? format_string("'%c'", c) : format_string("0x%02x", c);
    };
    if (file[4] != 'B' && file[4] != 'F') return "variant letter " + letter(file[4]) + " is neither 'B' nor 'F'";
    if (target != 0) {
        if (file[5] == uint8_t(target)) return {};
        return "target letter " + letter(file[5]) + ", but this upgrade takes " + letter(uint8_t(target));
    }
    // Any HUB's letter: "'H' or 'I'".
    std::string letters;
    for (const HubKindRow& kind : hub_kinds()) {
        if (file[5] == uint8_t(kind.image_target)) return {};
        const std::string one = letter(uint8_t(kind.image_target));
        if (letters.find(one) != std::string::npos) continue;
        letters += (letters.empty() ? "" : " or ") + one;
    }
    return "target letter " + letter(file[5]) + ", but this upgrade takes " + letters;
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
    if (out.count > kMaxParts) {
        return describe("part count %llu is above the %llu parts an image may have", uint64_t(out.count), kMaxParts);
    }
    // Such an image would send the HUB into its bootloader and write nothing.
    if (out.count < 1) return "part count " + std::to_string(out.count) + " is below the 1 part an image must have";
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

}  // namespace fwimage
