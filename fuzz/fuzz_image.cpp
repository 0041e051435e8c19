// Image files: the fuzz input is the file, read by the tool's reader from
// the virtual platform. Its tag is checked against the target letters and
// its header against both layouts; for a layout the checks accept, every
// copy the upgrade would make (first block, each chunk) must lie inside the
// buffer the reader filled, and the chunks must be those of 512 bytes each
// and the rest, as counted here.
#include <algorithm>
#include <cstring>

#include "fuzz/support.hpp"
#include "src/FirmwareImage.hpp"

namespace {
using namespace zfuzz;
using fwimage::kBlockSize;

void copy_from(const fwimage::ImageBuffer& image, uint64_t offset) {
    if (offset + kBlockSize > image.bytes.size()) fail("a 512-byte copy would read beyond the image buffer");
}

// What the upgrade sends of one block of firmware bytes.
void send_block(const fwimage::ImageBuffer& image, uint32_t data, uint32_t length) {
    // Worked out here, not taken from the reader: 512 bytes a chunk, the rest in the last.
    const uint32_t chunks = fwimage::chunk_count(length);
    if (chunks != (uint64_t(length) + kBlockSize - 1) / kBlockSize) fail("not one chunk per 512 bytes begun");
    for (uint32_t k = 0; k < chunks; ++k) {
        if (fwimage::chunk_length(length, k) != std::min<uint64_t>(kBlockSize, length - uint64_t(k) * kBlockSize)) {
            fail("a chunk is declared with a length other than 512 or the rest");
        }
        copy_from(image, uint64_t(data) + uint64_t(k) * kBlockSize);
    }
    if (fwimage::chunk_length(length, chunks) != 0) fail("a chunk after the last one has a length");
    if (uint64_t(data) + length > image.size) fail("firmware bytes end beyond the file");
}

// Target 0 stands for any HUB letter.
bool tag_fits(std::span<const uint8_t> f, int target) {
    if (f.size() < 6 || std::memcmp(f.data(), "ZELS", 4) != 0 || (f[4] != 'B' && f[4] != 'F')) return false;
    return target != 0 ? f[5] == target : f[5] == 'H' || f[5] == 'I';
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::SimPlatform platform;
    platform.files["image.tfh"].content.assign(reinterpret_cast<const char*>(data), size);
    fwimage::ImageBuffer image;
    if (!fwimage::read_image_file(platform, "image.tfh", image).empty()) fail("a readable image file refused");
    if (image.size != size || image.bytes.size() != size + kBlockSize ||
        (size > 0 && std::memcmp(image.bytes.data(), data, size) != 0)) {
        fail("the image reader did not deliver the file as it is");
    }
    if (std::any_of(image.bytes.begin() + long(size), image.bytes.end(), [](uint8_t b) { return b != 0; })) {
        fail("the spare block behind the file is not zero");
    }
    const std::span<const uint8_t> file = image.file();
    // The letters an upgrade asks for (0: any HUB), the file's own, and two
    // that differ from it in one bit (the lowest, the sign).
    const int own = size > 5 ? data[5] : 'H';
    for (const int target : {0, int{'H'}, int{'I'}, int{'S'}, own, own ^ 1, own ^ 0x80}) {
        if (fwimage::check_tag(file, char(target)).empty() != tag_fits(file, target)) fail("the tag check");
    }

    fwimage::SinglePartImage single;
    if (fwimage::check_single_part(file, single).empty()) {
        if (single.data != single.first_block + kBlockSize) fail("single-part: data does not follow the first block");
        copy_from(image, single.first_block);
        send_block(image, single.data, single.length);
    }
    fwimage::TwoPartImage two;
    if (fwimage::check_two_part(file, two).empty()) {
        if (two.count > fwimage::kMaxParts) fail("two-part: more parts than an image may have");
        copy_from(image, fwimage::TwoPartImage::kFirstBlock);
        // Every part from the second on is the same one.
        for (int32_t i = 0; i < std::min(two.count, 2); ++i) {
            send_block(image, two.part(i).data, two.part(i).data_length);
        }
    }
    return 0;
}
