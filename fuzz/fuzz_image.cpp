// Image files: the fuzz input is the file. It is read through the tool's own
// reader (from a memory file), its tag is checked against every target
// letter, and its header against both layouts; for a layout the checks
// accept, every copy the upgrade would make (first block, each chunk) must
// lie inside the buffer the reader filled, and the chunks must declare
// exactly the data length.
#include <cstring>

#include "fuzz/fuzz_support.hpp"
#include "src/FirmwareImage.hpp"

namespace {
using namespace zfuzz;
using fwimage::kBlockSize;

void copy_from(const fwimage::ImageBuffer& image, uint64_t offset) {
    static uint8_t block[kBlockSize];
    if (offset + kBlockSize > image.bytes.size()) fail("a 512-byte copy would read beyond the image buffer");
    std::memcpy(block, image.bytes.data() + offset, kBlockSize);
}

void send_block(const fwimage::ImageBuffer& image, uint32_t data, uint32_t length) {
    const uint32_t chunks = fwimage::chunk_count(length);
    uint64_t declared = 0;
    for (uint32_t k = 0; k < chunks; ++k) {
        const uint32_t n = fwimage::chunk_length(length, k);
        if (n == 0 || n > kBlockSize) fail("a chunk is declared with 0 or more than 512 bytes");
        declared += n;
        copy_from(image, uint64_t(data) + uint64_t(k) * kBlockSize);
    }
    if (declared != length) fail("the chunks do not add up to the data length");
    if (fwimage::chunk_length(length, chunks) != 0) fail("a chunk after the last one has a length");
}

bool tag_rule(std::span<const uint8_t> f, int target) {
    return target != 0 && f.size() >= 6 && std::memcmp(f.data(), "ZELS", 4) == 0 && (f[4] == 'B' || f[4] == 'F') &&
           f[5] == uint8_t(target);
}

Seeds seeds() {
    return {
        {"atmel-hub-B-1-chunk", single_part_image('B', 'H', 300)},
        {"atmel-hub-F-3-chunks", single_part_image('F', 'H', 1100, 16)},
        {"sensor-B-full-chunks", single_part_image('B', 'S', 1024, 64)},
        {"sensor-F-empty", single_part_image('F', 'S', 0)},
        {"st-hub-2-parts", two_part_image('I', 2, 1100, 700)},
        {"quillet-hub-2-parts", two_part_image('H', 2, 200, 512)},
        {"st-hub-3-parts", two_part_image('I', 3, 600, 100)},
        {"st-hub-no-part", two_part_image('I', 0, 0, 0)},
    };
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    maybe_make_seeds(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fwimage::ImageBuffer image;
    if (fwimage::read_image_file(memory_file(data, size), image) != fwimage::ReadResult::Ok) {
        fail("the image reader refused a readable file");
    }
    if (image.size != size || image.bytes.size() != size + kBlockSize ||
        (size > 0 && std::memcmp(image.bytes.data(), data, size) != 0)) {
        fail("the image reader did not deliver the file as it is");
    }
    for (size_t i = size; i < image.bytes.size(); ++i) {
        if (image.bytes[i] != 0) fail("the spare block behind the file is not zero");
    }
    const std::span<const uint8_t> file = image.file();

    for (int target = 0; target < 256; ++target) {
        if (fwimage::tag_matches(file, char(target)) != tag_rule(file, target)) fail("tag check");
    }
    for (uint32_t type = 0; type < 5; ++type) {
        fwimage::tag_matches(file, fwimage::expected_target(true, type));
        fwimage::tag_matches(file, fwimage::expected_target(false, type));
    }

    fwimage::SinglePartImage single;
    if (fwimage::check_single_part(file, single).empty()) {
        if (single.data != single.first_block + kBlockSize) fail("single-part: data does not follow the first block");
        copy_from(image, single.first_block);
        send_block(image, single.data, single.length);
        if (uint64_t(single.data) + single.length > size) fail("single-part: data ends beyond the file");
    }
    fwimage::TwoPartImage two;
    if (fwimage::check_two_part(file, two).empty()) {
        copy_from(image, fwimage::TwoPartImage::kFirstBlock);
        for (int32_t i = 0; i < std::min(two.count, 3); ++i) {
            const fwimage::ImagePart& part = two.part(i);
            send_block(image, part.data, part.data_length);
            if (uint64_t(part.data) + part.data_length > size) fail("two-part: a part ends beyond the file");
        }
    }
    image.release();
    return 0;
}
