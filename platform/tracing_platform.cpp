#include "platform/tracing_platform.hpp"

#include <cstdio>

namespace zel {

TracingPlatform::TracingPlatform(Platform& inner, std::string trace_path)
    : inner_(inner), path_(std::move(trace_path)), start_(inner.tick_count()) {}

void TracingPlatform::_record(const std::string& what, const uint8_t* data, size_t length, int result) {
    // "<local date and time> +<ms since start> <what> <count>:" then 32 bytes a line.
    const int64_t utc = inner_.utc_now_ticks();
    const int64_t seconds = utc / 10000000;
    const uint32_t micro = static_cast<uint32_t>((utc / 10) % 1000000);
    const double elapsed_ms = double(inner_.tick_count() - start_) / 10000.0;
    char head[128];
    std::string stamp = inner_.format_local_time(static_cast<uint32_t>(seconds), "%Y-%m-%d %H:%M:%S");
    std::snprintf(head, sizeof head, ".%06u +%.3f ms %s %d", micro, elapsed_ms, what.c_str(), result);
    std::string text = stamp + head;
    for (size_t i = 0; i < length; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%s%02x", i % 32 == 0 ? (i == 0 ? ": " : "\n    ") : " ", data[i]);
        text += hex;
    }
    text += "\n";
    if (!inner_.append_to_file(path_, text) && !warned_) {
        warned_ = true;
        inner_.write_stderr("WARNING: cannot write the trace file " + path_ +
                            " (ZEL_TRACE); the run goes on without it\n");
    }
}

PortHandle TracingPlatform::port_create(const std::string& name, OpenFailure& why) {
    const PortHandle h = inner_.port_create(name, why);
    _record((h == kInvalidPort ? "OPEN-FAILED " : "OPEN ") + name, nullptr, 0, 0);
    return h;
}

int TracingPlatform::port_write(PortHandle h, const uint8_t* data, uint32_t length) {
    const int result = inner_.port_write(h, data, length);
    _record("TX", data, length, result);
    return result;
}

int TracingPlatform::port_read(PortHandle h, uint8_t* data, uint32_t length) {
    const int result = inner_.port_read(h, data, length);
    // Empty reads are part of the timing picture too: they show the waits.
    _record("RX", data, result > 0 ? size_t(result) : 0, result);
    return result;
}

void TracingPlatform::port_close(PortHandle h) {
    inner_.port_close(h);
    _record("CLOSE", nullptr, 0, 0);
}

}  // namespace zel
