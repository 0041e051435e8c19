// What the tests share: runs of the real driver in virtual time against HUB
// models, the bytes they look at and the image files they hand over.
// Expected values come from literals or from the HUB model, never from the
// tool's own code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/driver.hpp"
#include "sim/testkit/sim_platform.hpp"

namespace t {

using Bytes = std::vector<uint8_t>;
using sim::Fault;
using sim::Kind;
inline constexpr int64_t kMs = sim::kTicksPerMs;

inline sim::HubConfig hub(Kind kind = Kind::TorvaneST, bool legacy = false, std::string port = "COM3") {
    sim::HubConfig c;
    c.kind = kind;
    c.legacy = legacy;
    c.port_name = std::move(port);
    return c;
}

inline sim::FaultRule on_word(uint32_t word, Fault fault, int occurrence = 0) {
    return {-1, word, occurrence, fault};
}
inline sim::FaultRule on_request(int index, Fault fault) {
    return {index, {}, 0, fault};
}

inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
inline uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
// A request as sent: its word little-endian, then zeros.
inline Bytes request(uint32_t word, size_t size = 104) {
    Bytes r(size, 0);
    put32(r, 0, word);
    return r;
}
// Bytes that differ from position to position and from seed to seed.
inline Bytes pattern(size_t n, uint8_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8) * 13);
    return v;
}
// A real file's bytes, for the tests that run on the real system.
inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
// "-r net.xml" as the arguments {"-r", "net.xml"}.
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> all;
    for (size_t at = 0, end = 0; at < line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        all.push_back(line.substr(at, end - at));
    }
    return all;
}
inline Bytes slice(const Bytes& b, size_t from, size_t n) {
    return {b.begin() + long(from), b.begin() + long(from + n)};
}

struct LogLine {
    std::string level, text;
};

// One HUB bench: HUB models on a virtual-time platform, and runs of the real
// driver on it ("zel_usb_interface <args>").
class Bench {
public:
    explicit Bench(int64_t utc_start = sim::kDefaultUtcStart) : p(utc_start) {}
    explicit Bench(sim::HubConfig config) : p(sim::kDefaultUtcStart) { attach(std::move(config)); }
    sim::SimPlatform p;

    sim::HubModel& attach(sim::HubConfig config = t::hub()) { return p.attach(std::move(config)); }
    sim::HubModel& hub(size_t i = 0) { return p.hub(i); }
    void put(const std::string& path, const Bytes& bytes) { p.files[path].content.assign(bytes.begin(), bytes.end()); }
    void put(const std::string& path, const std::string& text) { p.files[path].content = text; }
    std::string content(const std::string& path) { return p.file(path) != nullptr ? p.file(path)->content : "(none)"; }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "zel_usb_interface");
        std::vector<char*> argv;
        for (std::string& w : args) argv.push_back(w.data());
        argv.push_back(nullptr);
        return ::run(static_cast<int>(args.size()), argv.data(), p);
    }

    // The logged lines, in order, without the version line at the start.
    std::vector<LogLine> log() const {
        std::vector<LogLine> lines;
        for (const std::string& line : p.appended) {
            const size_t close = line.find("] ");
            const size_t colon = line.find(": ", close);
            if (close == std::string::npos || colon == std::string::npos) {
                lines.push_back({"?", line});
            } else if (line.find("torvane_com_device_class version: ") == std::string::npos) {
                lines.push_back({line.substr(close + 2, colon - close - 2), line.substr(colon + 2)});
            }
        }
        return lines;
    }
    bool logged(const std::string& level, const std::string& text) const {
        const auto lines = log();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LogLine& l) { return l.level == level && l.text == text; });
    }
    int count(const std::string& text) const {
        const auto lines = log();
        return int(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) { return l.text == text; }));
    }
    // Every line at a level, joined: what a failed expectation shows.
    std::string at(const std::string& level) const {
        std::string all;
        for (const LogLine& l : log()) all += l.level == level ? l.text : "";
        return all;
    }
    // The reporter's two lines: "error calling" the operation, then `detail`.
    bool reported(const std::string& operation, const std::string& detail) const {
        const auto l = log();
        const std::string head = "USB CDC read/write interface: error calling \"" + operation + "\" at src/";
        for (size_t i = 0; i + 1 < l.size(); ++i) {
            if (l[i].level == "ERROR" && l[i].text.rfind(head, 0) == 0 && l[i + 1].text == detail) return true;
        }
        return false;
    }
    // The tool's writes, one entry per write call; to one HUB, or to any.
    std::vector<Bytes> writes(const sim::HubModel* to = nullptr) const {
        std::vector<Bytes> all;
        for (const sim::TraceEntry& e : p.trace) {
            if (e.to_hub && (to == nullptr || e.hub == to)) all.push_back(e.bytes);
        }
        return all;
    }
    std::vector<int64_t> sleeps_ms() const {
        std::vector<int64_t> v;
        for (const sim::Wait& w : p.waits) {
            if (w.kind == sim::Wait::Sleep) v.push_back(w.duration / kMs);
        }
        return v;
    }
};

// The Quillet self-test's 32 steps, in order.
inline constexpr uint32_t kQuilletSteps[32] = {
    0x00013A00, 0x00313A00, 0x00293B00, 0x00023A00, 0x00043A00, 0x00063A00, 0x00332A00, 0x00352A00,
    0x00372A00, 0x00083A00, 0x00093A00, 0x00103300, 0x00113A00, 0x00123A00, 0x00133A00, 0x00143A00,
    0x00153700, 0x00163700, 0x00173700, 0x00183700, 0x00193700, 0x00203700, 0x00213700, 0x00223A00,
    0x00233A00, 0x00241300, 0x00253A00, 0x00263800, 0x00273B00, 0x00283900, 0x00323A00, 0x00503000,
};

// An ST-based HUB's report after a good upgrade with the default image.
inline const std::string kStHubRunning =
    "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xb1b2b3b4 - version 2.4.0-R\n";
inline const std::string kShort = "what(): read() failed - unexpected amount of bytes\n";
inline const std::string kNoFeedback = "what(): read() failed - HUB v2.0.0 with no feedback!\n";
inline const std::string kMismatch = "what(): write/read failed - differences between messages (tx, rx)\n";
inline const std::string kWriteFailed = "what(): write() failed\n";
inline const std::string kNotConnected = "what(): Virtual serial port not connected \n";

// A single-part image (Atmel HUBs, sensors).
struct SinglePart {
    char variant = 'B';
    char target = 'H';
    uint32_t header = 40;  // leaves room for bytes nobody reads
    uint32_t image_word = 0x1D0C0B0A, fw_signature = 0xF1F2F3F4, data_signature = 0xD1D2D3D4;
    uint32_t length = 1025;
    Bytes bytes() const {
        Bytes f = pattern(header + 16 + 512 + length + 7, 0x31);
        std::copy_n("ZELS", 4, f.begin());
        f[4] = uint8_t(variant);
        f[5] = uint8_t(target);
        put32(f, 12, header);
        put32(f, header, image_word);
        put32(f, header + 4, fw_signature);
        put32(f, header + 8, data_signature);
        put32(f, header + 12, length);
        return f;
    }
    size_t first_block() const { return header + 16; }
    size_t data() const { return header + 528; }
};
// A sensor image of `length` bytes of firmware.
inline Bytes sensor_image(uint32_t length = 1025) {
    SinglePart image;
    image.target = 'S';
    image.length = length;
    return image.bytes();
}

// A two-part image (ST HUBs): part A goes first, its data last in the file.
struct TwoPart {
    char target = 'I';
    int32_t count = 2;
    uint32_t length_a = 1100, length_b = 700;
    Bytes bytes() const {
        Bytes f = pattern(596 + length_b + length_a + 3, 0x47);
        std::copy_n("ZELSFI", 6, f.begin());
        f[5] = uint8_t(target);
        const uint32_t words[][2] = {{8, 0x2E0D0C0B},  {32, 0xB1B2B3B4}, {52, uint32_t(count)}, {56, 0xA1A2A3A4},
                                     {60, 0xB5B6B7B8}, {64, 0xA5A6A7A8}, {68, length_b},        {72, length_a},
                                     {76, length_b},   {80, length_a}};
        for (const auto& [at, v] : words) put32(f, at, v);
        return f;
    }
};

}  // namespace t
