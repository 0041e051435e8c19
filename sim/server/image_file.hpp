// Firmware image files to try upgrades with against the stand-in
// (zel_hub_sim --make-image): valid images of each layout the HUB model's
// bootloaders take, with a known firmware signature, so that a HUB or a
// sensor upgraded with one visibly reports it afterwards.
//
//   single part (Atmel HUB 'H', sensor 'S'):
//     "ZELS" 'B' target, the header's offset (16) at 12; at 16: image word,
//     firmware signature, data signature, length; 512 bytes of first block;
//     the firmware
//   two parts (Quillet 'H', ST Torvane 'I'):
//     "ZELS" 'B' target; image word at 8; the second part's firmware
//     signature at 32; the part count (2) at 52; then at 56-83 the first
//     part's firmware signature, the data signatures (second, first), the
//     data lengths (second, first) and the firmware lengths (second, first);
//     512 bytes of first block at 84; the second part's data at 596, the
//     first part's after it
//
// The part sent last carries the given signature: it is the one the HUB
// reports after the upgrade. The first of two parts carries signature + 1.
// Each part holds `size` bytes of firmware; its data signature is the sum
// of its bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::server {

enum class ImageKind { Atmel, Quillet, St, Sensor };

std::optional<ImageKind> parse_image_kind(std::string_view text);

struct ImageOptions {
    static constexpr uint32_t kMaxSize = 4u << 20;  // per part: the file stays well within what the tool takes

    ImageKind kind = ImageKind::St;
    uint32_t size = 65536;
    std::optional<uint32_t> signature;  // default: one per kind (default_signature)
};

uint32_t default_signature(ImageKind kind);

std::vector<uint8_t> make_image(const ImageOptions& options);

// One line for the user: what the file is and what an upgrade with it
// makes the HUB or its sensors report.
std::string describe_image(const ImageOptions& options);

// Written under a temporary name beside it and renamed, so the path never
// holds half an image.
bool write_image(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace sim::server
