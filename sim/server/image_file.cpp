#include "sim/server/image_file.hpp"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/model/wire.hpp"

namespace sim::server {

namespace {

constexpr size_t kFirstBlock = 512;
constexpr uint32_t kSingleHeader = 16;  // right after the offset that names it
constexpr size_t kTwoPartData = 596;
constexpr uint32_t kImageWord = 0x00010001;

// Firmware bytes that differ from part to part and from signature to
// signature, so a chunk sent in the wrong place shows.
std::vector<uint8_t> firmware(uint32_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed | 1u;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return bytes;
}

uint32_t sum(const std::vector<uint8_t>& bytes) {
    uint32_t total = 0;
    for (const uint8_t b : bytes) total += b;
    return total;
}

void put_tag(std::vector<uint8_t>& file, char target) {
    std::copy_n("ZELSB", 5, file.begin());
    file[5] = uint8_t(target);
}

std::vector<uint8_t> single_part(char target, uint32_t size, uint32_t signature) {
    const std::vector<uint8_t> data = firmware(size, signature);
    std::vector<uint8_t> file(kSingleHeader + 16 + kFirstBlock, 0);
    put_tag(file, target);
    put32(file, 12, kSingleHeader);
    put32(file, kSingleHeader, kImageWord);
    put32(file, kSingleHeader + 4, signature);
    put32(file, kSingleHeader + 8, sum(data));
    put32(file, kSingleHeader + 12, size);
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

std::vector<uint8_t> two_parts(char target, uint32_t size, uint32_t signature) {
    // The second part is sent last; its data comes first in the file.
    const uint32_t first_signature = signature + 1;
    const std::vector<uint8_t> first = firmware(size, first_signature);
    const std::vector<uint8_t> second = firmware(size, signature);
    std::vector<uint8_t> file(kTwoPartData, 0);
    put_tag(file, target);
    put32(file, 8, kImageWord);
    put32(file, 32, signature);
    put32(file, 52, 2);
    put32(file, 56, first_signature);
    put32(file, 60, sum(second));
    put32(file, 64, sum(first));
    put32(file, 68, size);
    put32(file, 72, size);
    put32(file, 76, size);
    put32(file, 80, size);
    file.insert(file.end(), second.begin(), second.end());
    file.insert(file.end(), first.begin(), first.end());
    return file;
}

}  // namespace

std::optional<ImageKind> parse_image_kind(std::string_view text) {
    if (text == "atmel") return ImageKind::Atmel;
    if (text == "quillet") return ImageKind::Quillet;
    if (text == "st") return ImageKind::St;
    if (text == "sensor") return ImageKind::Sensor;
    return std::nullopt;
}

uint32_t default_signature(ImageKind kind) {
    switch (kind) {
        case ImageKind::Atmel: return 0xA7E10001;
        case ImageKind::Quillet: return 0xC011E701;
        case ImageKind::St: return 0x57E10001;
        case ImageKind::Sensor: return 0x5E5E0001;
    }
    return 0;
}

std::vector<uint8_t> make_image(const ImageOptions& o) {
    const uint32_t signature = o.signature.value_or(default_signature(o.kind));
    switch (o.kind) {
        case ImageKind::Atmel: return single_part('H', o.size, signature);
        case ImageKind::Quillet: return two_parts('H', o.size, signature);
        case ImageKind::St: return two_parts('I', o.size, signature);
        case ImageKind::Sensor: return single_part('S', o.size, signature);
    }
    return {};
}

std::string describe_image(const ImageOptions& o) {
    const uint32_t signature = o.signature.value_or(default_signature(o.kind));
    const char* what = "";
    const char* parts = "one part of";
    const char* how = "-h";
    switch (o.kind) {
        case ImageKind::Atmel: what = "Torvane (Atmel) HUB image, target 'H'"; break;
        case ImageKind::Quillet:
            what = "Quillet HUB image, target 'H'";
            parts = "two parts of";
            break;
        case ImageKind::St:
            what = "Torvane (ST) HUB image, target 'I'";
            parts = "two parts of";
            break;
        case ImageKind::Sensor:
            what = "sensor image, target 'S'";
            how = "-s or -sb";
            break;
    }
    char text[256];
    std::snprintf(text, sizeof text, "%s, %s %u bytes, for %s; firmware signature 0x%x", what, parts, unsigned(o.size),
                  how, unsigned(signature));
    return text;
}

bool write_image(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write beside " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    // As any new file of the user's: mkstemp makes it private.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const bool written = done == bytes.size() && ::fchmod(fd, 0666 & ~mask) == 0;
    const int saved = errno;
    if (::close(fd) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : saved);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace sim::server
