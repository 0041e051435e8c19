#include "log/events.hpp"

#include <cstdio>

#include "platform/platform.hpp"

namespace zel {
namespace {

constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kChunkEveryTicks = 250 * kTicksPerMs;

void add(std::string& fields, const char* name, int value) {
    if (value > 0) fields += ",\"" + std::string(name) + "\":" + std::to_string(value);
}

}  // namespace

EventStream::EventStream(Platform& platform, std::string path)
    : platform_(path.empty() ? nullptr : &platform), path_(std::move(path)), start_(platform.tick_count()) {
    if (platform_ == nullptr) return;
    const FileWrite emptied = platform.replace_file(path_, "", false, false);
    if (emptied != FileWrite::Replaced && emptied != FileWrite::WrittenInPlace) _fail();
}

void EventStream::_fail() {
    // Once: a stream that cannot be written changes nothing else.
    warned_ = true;
    platform_->write_stderr("WARNING: cannot write the event stream " + path_ + " (ZEL_EVENTS)\n");
}

void EventStream::write(std::string_view event, std::string_view fields) {
    if (platform_ == nullptr || warned_) return;
    const int64_t ms = (platform_->tick_count() - start_) / kTicksPerMs;
    char t[32];
    std::snprintf(t, sizeof t, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    std::string line = "{\"event\":" + quoted(event) + ",\"t\":" + t;
    if (!fields.empty()) line.append(",").append(fields);
    line += "}\n";
    if (!platform_->append_to_file(path_, line)) _fail();
}

void EventStream::hub(const std::string& port, const std::string& location, const std::string& kind) {
    write("hub", "\"port\":" + quoted(port) + ",\"location\":" + quoted(location) + ",\"kind\":" + quoted(kind));
}

void EventStream::stage(const std::string& doing, const std::string& leaves, const std::string& next,
                        const Progress& progress) {
    if (platform_ == nullptr) return;
    if (progress.chunk > 0) {
        const int64_t now = platform_->tick_count();
        const bool edge = progress.chunk == 1 || progress.chunk == progress.chunks;
        if (!edge && now - last_chunk_ < kChunkEveryTicks) return;
        last_chunk_ = now;
    }
    std::string fields = "\"doing\":" + quoted(doing) + ",\"leaves\":" + quoted(leaves) + ",\"next\":" + quoted(next);
    std::string counts;
    add(counts, "chunk", progress.chunk);
    add(counts, "chunks", progress.chunks);
    add(counts, "part", progress.part);
    add(counts, "parts", progress.parts);
    add(counts, "step", progress.step);
    add(counts, "steps", progress.steps);
    if (!counts.empty()) fields += ",\"progress\":{" + counts.substr(1) + "}";
    write("stage", fields);
}

void EventStream::wait(const std::string& what, int64_t max_ms) {
    write("wait", "\"for\":" + quoted(what) + ",\"max_s\":" + std::to_string((max_ms + 999) / 1000));
}

std::string EventStream::quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace zel
