// Firmware image files: the tag, the single-part layout (Atmel HUB and
// sensor images) and the two-part layout (ST HUB images), and how firmware
// bytes are cut into chunks.
//
// An image is read into memory once; the tag and every offset and length of
// its header are checked against that copy before anything goes to a
// bootloader, and everything sent later is taken from the same copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fwimage {

inline constexpr size_t kTagSize = 6;
// The first block and the firmware bytes of one chunk.
inline constexpr uint32_t kBlockSize = 512;
// Paths are kept NUL-terminated in a field of 2048 characters.
inline constexpr size_t kPathCapacity = 2048;
// The file size is a signed 32-bit count and the buffer holds size + 512.
inline constexpr uint64_t kMaxFileSize = 0x7FFFFFFFu - kBlockSize;

inline constexpr char kTargetHub = 'H';      // Atmel-based Torvane and Quillet
inline constexpr char kTargetHubST = 'I';    // ST-based Torvane
inline constexpr char kTargetSensor = 'S';

// The target letter an upgrade expects: 'S' for sensors; for the HUB by
// device type (1 and 2: 'H', 3: 'I'; others: 0, which matches no file).
char expected_target(bool hub_upgrade, uint32_t device_type);

// "ZELS", variant 'B' or 'F', then the target letter. A file shorter than
// the tag never matches.
bool tag_matches(std::span<const uint8_t> file, char target);

// A file read into memory: its bytes followed by 512 zero bytes, so that a
// chunk can always copy a full 512 bytes behind any offset inside the file.
struct ImageBuffer {
    std::vector<uint8_t> bytes;
    uint32_t size = 0;  // the file's size

    std::span<const uint8_t> file() const { return {bytes.data(), size}; }
    void release() {
        bytes = {};
        size = 0;
    }
};

enum class ReadResult { Ok, CannotOpen, ReadError, TooLarge };

// Reads the whole file once. On anything but Ok the buffer is empty.
ReadResult read_image_file(const char* path, ImageBuffer& image);

// Single-part layout, after a successful check.
struct SinglePartImage {
    uint32_t header_offset = 0;  // H
    uint32_t image_word = 0;
    uint32_t fw_signature = 0;
    uint32_t data_signature = 0;
    uint32_t length = 0;  // L
    uint32_t first_block = 0;  // H + 16
    uint32_t data = 0;         // H + 528
};

// One part of a two-part image, after a successful check.
struct ImagePart {
    uint32_t fw_signature = 0;
    uint32_t data_signature = 0;
    uint32_t data_length = 0;  // bytes sent
    uint32_t fw_length = 0;    // declared to the bootloader
    uint32_t data = 0;         // offset of its data in the file
};

struct TwoPartImage {
    static constexpr uint32_t kFirstBlock = 84;
    static constexpr uint32_t kHeaderSize = kFirstBlock + kBlockSize;  // 596

    uint32_t image_word = 0;
    int32_t count = 0;  // N, signed: zero or less sends no part
    ImagePart first;    // part 0, sent first, stored last
    ImagePart second;   // every part from index 1 on

    const ImagePart& part(int32_t i) const { return i == 0 ? first : second; }
};

// Checks the header against the file and fills `out`. Returns an empty
// text when the image is sound, else what is wrong with it.
std::string check_single_part(std::span<const uint8_t> file, SinglePartImage& out);
std::string check_two_part(std::span<const uint8_t> file, TwoPartImage& out);

// Chunking of a data block of `data_length` bytes: chunk k starts at 512 k
// and is sent while 512 k < data_length; it is declared 512 unless it is the
// last one, which is declared with what remains (a full last chunk is 512).
uint32_t chunk_count(uint32_t data_length);
uint32_t chunk_length(uint32_t data_length, uint32_t k);

// True when a path fits the NUL-terminated path field.
bool path_fits(const char* path);

}  // namespace fwimage
