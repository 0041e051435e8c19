#include "app/fleet/events.hpp"

#include <algorithm>

#include "app/fleet/json_read.hpp"

namespace zel::fleet {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;

// Parts, chunks within a part, or steps: what is behind the current one.
int percent_of(const Json& progress) {
    const int64_t parts = number_field(progress, "parts", 1);
    const int64_t part = number_field(progress, "part", 1);
    const int64_t chunks = number_field(progress, "chunks", 0);
    const int64_t chunk = number_field(progress, "chunk", 0);
    const int64_t steps = number_field(progress, "steps", 0);
    const int64_t step = number_field(progress, "step", 0);
    double done = -1;
    if (chunks > 0 && chunk >= 1 && chunk <= chunks && parts >= 1 && part >= 1 && part <= parts) {
        done = (double(part - 1) + double(chunk - 1) / double(chunks)) / double(parts);
    } else if (steps > 0 && step >= 1 && step <= steps) {
        done = double(step - 1) / double(steps);
    }
    return done < 0 ? -1 : std::clamp(int(done * 100), 0, 100);
}

void take(const Json& event, int64_t now, Progress& progress) {
    const std::string kind = text_field(event, "event");
    if (kind.empty()) return;
    progress.seen = true;
    if (kind == "hub") {
        const std::string port = text_field(event, "port");
        if (!port.empty()) progress.port = port;
    } else if (kind == "stage") {
        progress.doing = text_field(event, "doing");
        progress.percent = percent_of(field(event, "progress"));
        progress.waiting.clear();
    } else if (kind == "wait") {
        progress.waiting = text_field(event, "for");
        const Json& most = field(event, "max_s");
        const double seconds = most.is_number() ? std::clamp(most.get<double>(), 0.0, 1e6) : 0.0;
        progress.wait_ends = now + int64_t(seconds * kTicksPerSecond);
    } else if (kind == "end") {
        progress.ended = true;
        progress.waiting.clear();
    }
}

}  // namespace

size_t take_events(std::string_view text, size_t from, int64_t now, Progress& progress) {
    while (from < text.size()) {
        const size_t end = text.find('\n', from);
        if (end == std::string_view::npos) break;  // still being written
        std::string line(text.substr(from, end - from));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        take(parse_json(line), now, progress);
        from = end + 1;
    }
    return from;
}

}  // namespace zel::fleet
