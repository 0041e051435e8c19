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

#include "serial/hub_kinds.hpp"

namespace zel {
class Platform;
}

namespace fwimage {

inline constexpr size_t kTagSize = 6;
// The first block and the firmware bytes of one chunk.
inline constexpr uint32_t kBlockSize = 512;
// Paths are kept NUL-terminated in a field of 2048 characters.
inline constexpr size_t kPathCapacity = 2048;
// The largest image accepted. The microcontrollers of the HUBs and sensors
// hold a few MiB of flash at most; 16 MiB leaves room for any image they
// can take, while a wrong path (a disk image, /dev/zero) is refused before
// it fills the memory.
inline constexpr uint64_t kMaxFileSize = uint64_t{16} * 1024 * 1024;
// The two-part layout holds two parts; a count of a few re-sends the second
// one, but a corrupt count would re-send it for hours with the HUB in its
// bootloader all along.
inline constexpr int32_t kMaxParts = 8;

// The target letter of sensor images; a HUB image carries its kind's
// letter (serial/hub_kinds.hpp).
inline constexpr char kTargetSensor = 'S';

// The target letter an upgrade expects: 'S' for sensors; for the HUB its
// kind's letter (no HUB yet: 0, which takes the letter of any kind).
char expected_target(bool hub_upgrade, HubKind kind);

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

// Reads the whole file once. An empty text when it is a readable regular
// file within kMaxFileSize; else what is wrong with it, and the buffer is
// empty.
std::string read_image_file(zel::Platform& platform, const char* path, ImageBuffer& image);

// Empty when the tag is "ZELS", 'B' or 'F', and `target` (or, for a target
// of 0, the letter of any HUB kind); else what is wrong with it.
std::string check_tag(std::span<const uint8_t> file, char target);

// Single-part layout, after a successful check.
struct SinglePartImage {
    uint32_t image_word = 0;
    uint32_t fw_signature = 0;
    uint32_t data_signature = 0;
    uint32_t length = 0;       // L
    uint32_t first_block = 0;  // the header's offset + 16
    uint32_t data = 0;         // the header's offset + 528
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
    int32_t count = 0;  // N, signed; an image with less than one part is refused
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

}  // namespace fwimage
