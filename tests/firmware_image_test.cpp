// The image file checks as plain functions: their limits and texts. What is
// sent for sound images is proven on the wire by the upgrade tests.
#include <gtest/gtest.h>

#include "firmware_support.hpp"
#include "src/FirmwareImage.hpp"

namespace {

using namespace fwimage;
using fwtest::put32;

TEST(FirmwareImageChunks, DeclaredLengthsAndCounts) {
    struct Case {
        uint32_t length;
        std::vector<uint32_t> declared;
    };
    const std::vector<Case> cases = {
        {0, {}}, {1, {1}}, {511, {511}}, {512, {512}}, {513, {512, 1}}, {1024, {512, 512}}, {1025, {512, 512, 1}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(chunk_count(c.length), c.declared.size()) << c.length;
        for (uint32_t k = 0; k < c.declared.size(); ++k) EXPECT_EQ(chunk_length(c.length, k), c.declared[k]) << c.length;
        EXPECT_EQ(chunk_length(c.length, uint32_t(c.declared.size())), 0u);
    }
    // The largest image a file can hold: no 32-bit wrap in the arithmetic.
    const uint32_t big = uint32_t(kMaxFileSize);
    EXPECT_EQ(chunk_length(big, chunk_count(big) - 1), big % 512 == 0 ? 512u : big % 512);
}

TEST(FirmwareImageSinglePart, EveryOffsetAndLengthMustLieInTheFile) {
    fwtest::SinglePart img;
    img.trailer = 0;
    const std::vector<uint8_t> exact = img.bytes();
    SinglePartImage image;
    EXPECT_EQ(check_single_part(exact, image), "");  // data ends exactly at the end
    std::vector<uint8_t> shorter(exact.begin(), exact.end() - 1);
    EXPECT_EQ(check_single_part(shorter, image),
              "firmware length 0x401 from offset 0x238 ends beyond the file of 1592 bytes");

    std::vector<uint8_t> f = exact;
    put32(f, 12, 0xFFFFFFF0);  // H + 528 wraps in 32 bits
    EXPECT_EQ(check_single_part(f, image),
              "header at 0xfffffff0 with its first block ends beyond the file of 1593 bytes");
    put32(f, 12, uint32_t(f.size() - 527));
    EXPECT_NE(check_single_part(f, image), "");

    f = exact;
    put32(f, 40 + 12, 0xFFFFFE00);  // H + 528 + L wraps in 32 bits
    EXPECT_NE(check_single_part(f, image), "");

    EXPECT_EQ(check_single_part(std::vector<uint8_t>(15, 0), image),
              "file of 15 bytes is too short for the header offset at 12");
    // H = 0 is inside the file: the header then overlaps the tag, which is
    // the image's business.
    f = std::vector<uint8_t>(16 + 512, 0);
    EXPECT_EQ(check_single_part(f, image), "");
    EXPECT_EQ(image.length, 0u);
}

TEST(FirmwareImageTwoPart, Bounds) {
    fwtest::TwoPart img;
    img.trailer = 0;
    const std::vector<uint8_t> f = img.bytes();
    TwoPartImage image;
    ASSERT_EQ(check_two_part(f, image), "");  // data ends exactly at the end
    std::vector<uint8_t> g = f;
    g.pop_back();
    EXPECT_EQ(check_two_part(g, image), "part data lengths 0x44c and 0x2bc end beyond the file of 2395 bytes");
    g = f;
    put32(g, 68, 0x80000000);  // LA + LB wraps to a small number in 32 bits
    put32(g, 72, 0x80000000 + 100);
    EXPECT_NE(check_two_part(g, image), "");
    EXPECT_EQ(check_two_part(std::vector<uint8_t>(595, 0), image),
              "file of 595 bytes is too short for the two-part header of 596 bytes");
}

TEST(FirmwareImageFile, ReadOnceWithSpareBytes) {
    fwtest::TempDir dir;
    const std::vector<uint8_t> content = fwtest::pattern(1000, 3);
    ImageBuffer image;
    ASSERT_EQ(read_image_file(dir.write("a.tfh", content).c_str(), image), ReadResult::Ok);
    EXPECT_EQ(image.size, 1000u);
    ASSERT_EQ(image.bytes.size(), 1512u);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), image.bytes.begin()));
    EXPECT_TRUE(std::all_of(image.bytes.begin() + 1000, image.bytes.end(), [](uint8_t b) { return b == 0; }));

    EXPECT_EQ(read_image_file(dir.path("missing.tfh").c_str(), image), ReadResult::CannotOpen);
    EXPECT_TRUE(image.bytes.empty());
    ASSERT_EQ(read_image_file(dir.write("empty.tfh", std::string()).c_str(), image), ReadResult::Ok);
    EXPECT_EQ(image.size, 0u);
}

}  // namespace
