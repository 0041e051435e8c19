// The stand-in's trace file: one line per chunk of bytes each way and per
// event, written at once so a test can read it while the stand-in runs.
//   <seconds.microseconds> [<who> ]<tag> ...
// `who` names the HUB when several are served; with one it is left out.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace sim::server {

class Trace {
public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Appends to `path`; no path, no trace.
    bool open(const std::string& path, std::string& error);

    // "->" written by the tool, "<-" sent to it, "x>" written while off the bus.
    void bytes(int64_t now, const std::string& who, const char* tag, std::span<const uint8_t> data);
    void event(int64_t now, const std::string& who, const std::string& text);

private:
    void line(int64_t now, const std::string& who, const std::string& rest);

    int fd_ = -1;
};

}  // namespace sim::server
