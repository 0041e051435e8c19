// Runs the real driver in-process against HUB models in virtual time, and
// the small helpers the in-process tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "app/driver.hpp"
#include "log/USB_Logger.hpp"
#include "sim/sim_platform.hpp"

namespace scenario {

constexpr int64_t kMs = sim::kTicksPerMs;
constexpr int64_t kEchoPause = 163200;  // 16.32 ms

struct LogEntry {
    std::string level;  // "ERROR", "WARNING", "INFO"
    std::string text;   // as logged, with its own line end
};

inline std::vector<LogEntry> parse_log(const std::vector<std::string>& appended) {
    std::vector<LogEntry> entries;
    for (const std::string& line : appended) {
        const size_t close = line.find("] ");
        const size_t colon = line.find(": ", close);
        if (line.empty() || line[0] != '[' || close == std::string::npos || colon == std::string::npos) {
            entries.push_back({"?", line});
            continue;
        }
        entries.push_back({line.substr(close + 2, colon - close - 2), line.substr(colon + 2)});
    }
    return entries;
}

inline bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// How many of `texts` start with `prefix`.
inline int count_prefix(const std::vector<std::string>& texts, const std::string& prefix) {
    return int(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return starts_with(t, prefix); }));
}

// Runs "zel_usb_interface <args>" on any simulated platform; its exit code.
inline int run_on(sim::SimPlatform& platform, std::vector<std::string> args) {
    USB_Logger::Discard();
    args.insert(args.begin(), "zel_usb_interface");
    std::vector<char*> argv;
    for (std::string& w : args) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int code = ::run(static_cast<int>(args.size()), argv.data(), platform);
    USB_Logger::Discard();
    return code;
}

class Scenario {
public:
    sim::SimPlatform platform;

    sim::HubModel& attach(sim::HubConfig config = {}) { return platform.attach(std::move(config)); }
    sim::HubModel& hub(size_t i = 0) { return platform.hub(i); }

    int run(std::initializer_list<std::string> args) { return run_on(platform, args); }
    int run(const std::vector<std::string>& args) { return run_on(platform, args); }

    std::vector<LogEntry> log() const { return parse_log(platform.appended); }

    // The logged texts, in order, without the version line at the start.
    std::vector<std::string> texts() const {
        std::vector<std::string> all;
        for (const LogEntry& e : log()) {
            if (!starts_with(e.text, "torvane_com_device_class version:")) all.push_back(e.text);
        }
        return all;
    }

    bool logged(const std::string& level, const std::string& text) const {
        for (const LogEntry& e : log()) {
            if (e.level == level && e.text == text) return true;
        }
        return false;
    }

    // Index of the first entry with this text at or after `from`, or -1.
    int find(const std::string& text, int from = 0) const {
        const std::vector<LogEntry> entries = log();
        for (size_t i = size_t(std::max(from, 0)); i < entries.size(); ++i) {
            if (entries[i].text == text) return static_cast<int>(i);
        }
        return -1;
    }

    // The reporter's two lines: "error calling" `operation`, then `detail`.
    bool reported(const std::string& operation, const std::string& detail) const {
        const std::vector<LogEntry> l = log();
        const std::string head = "USB CDC read/write interface: error calling \"" + operation + "\" at src/";
        for (size_t i = 0; i + 1 < l.size(); ++i) {
            if (l[i].level == "ERROR" && starts_with(l[i].text, head) && l[i + 1].text == detail) return true;
        }
        return false;
    }

    // The tool's writes, one entry per write call.
    std::vector<std::vector<uint8_t>> writes() const {
        std::vector<std::vector<uint8_t>> all;
        for (const sim::TraceEntry& e : platform.trace) {
            if (e.to_hub) all.push_back(e.bytes);
        }
        return all;
    }

    // Sleeps of the run, in milliseconds, in order.
    std::vector<int64_t> sleeps_ms() const {
        std::vector<int64_t> v;
        for (const sim::Wait& w : platform.waits) {
            if (w.kind == sim::Wait::Sleep) v.push_back(w.duration / kMs);
        }
        return v;
    }
};

// 104 bytes: the four bytes of a request word and zeros.
inline std::vector<uint8_t> request(std::initializer_list<uint8_t> head, size_t size = 104) {
    std::vector<uint8_t> r(size, 0);
    size_t i = 0;
    for (uint8_t b : head) r[i++] = b;
    return r;
}

// The same from the little-endian word.
inline std::vector<uint8_t> request_of(uint32_t word, size_t size = 104) {
    return request({uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)}, size);
}

inline sim::HubConfig hub(sim::Kind kind = sim::Kind::TorvaneST, bool legacy = false) {
    sim::HubConfig c;
    c.kind = kind;
    c.legacy = legacy;
    return c;
}

inline sim::FaultRule on_word(uint32_t word, sim::Fault fault, int occurrence = 0) {
    return {-1, word, occurrence, fault};
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> serial{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("zel_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
                 std::to_string(serial++) + "_" + (info != nullptr ? std::string(info->name()) : std::string("x")));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        write_file(path(name), std::string(bytes.begin(), bytes.end()));
        return path(name);
    }
    std::string write(const std::string& name, const std::string& text) const {
        write_file(path(name), text);
        return path(name);
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }
    size_t entries() const {
        return size_t(std::distance(std::filesystem::directory_iterator(path_), std::filesystem::directory_iterator()));
    }

private:
    std::filesystem::path path_;
};

}  // namespace scenario
