// What the tests share: runs of the real driver in virtual time against HUB
// models, the bytes they look at and the image files they hand over.
// Expected values come from literals or from the HUB model, never from the
// tool's own code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/driver.hpp"
#include "sim/testkit/sim_platform.hpp"
#include "tests/images.hpp"

namespace t {

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

// A request as sent: its word little-endian, then zeros.
inline Bytes request(uint32_t word, size_t size = 104) {
    Bytes r(size, 0);
    put32(r, 0, word);
    return r;
}
// A real file's bytes, for the tests that run on the real system.
inline std::string read_text(const std::filesystem::path& path) {
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

}  // namespace t
