// Runs the real driver in-process against HUB models in virtual time.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "app/driver.hpp"
#include "log/USB_Logger.hpp"
#include "sim/sim_platform.hpp"

namespace scenario {

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

class Scenario {
public:
    sim::SimPlatform platform;

    sim::HubModel& attach(sim::HubConfig config = {}) { return platform.attach(std::move(config)); }
    sim::HubModel& hub(size_t i = 0) { return platform.hub(i); }

    // Runs "zel_usb_interface <args>" and returns its exit code.
    int run(std::initializer_list<std::string> args) { return run(std::vector<std::string>(args)); }
    int run(const std::vector<std::string>& args) {
        USB_Logger::Discard();
        std::vector<std::string> words{"zel_usb_interface"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        const int code = ::run(static_cast<int>(words.size()), argv.data(), platform);
        USB_Logger::Discard();
        return code;
    }

    std::vector<LogEntry> log() const { return parse_log(platform.appended); }

    // The logged texts, in order, without the version line at the start.
    std::vector<std::string> texts() const {
        std::vector<std::string> all;
        for (const LogEntry& e : log()) {
            if (e.text.rfind("torvane_com_device_class version:", 0) == 0) continue;
            all.push_back(e.text);
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
        for (size_t i = size_t(from); i < entries.size(); ++i) {
            if (entries[i].text == text) return static_cast<int>(i);
        }
        return -1;
    }

    // The tool's writes, one entry per write call.
    std::vector<std::vector<uint8_t>> writes() const {
        std::vector<std::vector<uint8_t>> all;
        for (const sim::TraceEntry& e : platform.trace) {
            if (e.to_hub) all.push_back(e.bytes);
        }
        return all;
    }
};

// 104 bytes: the four bytes of a request word and zeros.
inline std::vector<uint8_t> request(std::initializer_list<uint8_t> head, size_t size = 104) {
    std::vector<uint8_t> r(size, 0);
    size_t i = 0;
    for (uint8_t b : head) r[i++] = b;
    return r;
}

}  // namespace scenario
