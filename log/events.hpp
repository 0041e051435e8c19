// The run's event stream (ZEL_EVENTS=FILE): one compact JSON object per
// line, each written whole and flushed as it happens, so that a program
// following the file (zel_fleet) sees where the run stands. docs/JSON.md
// describes every event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zel {
class Platform;

// The counts a stage names, from 1 (0: not counted).
struct Progress {
    int chunk = 0, chunks = 0;
    int part = 0, parts = 0;
    int step = 0, steps = 0;
};

class EventStream {
public:
    // Off: every event is dropped.
    EventStream() = default;
    // Empties (or makes) `path`; an empty path is off.
    EventStream(Platform& platform, std::string path);

    // One event: `fields` are the members after "event" and "t", as JSON
    // text without braces (`"port":"COM5"`), or empty.
    void write(std::string_view event, std::string_view fields);
    // The HUB the run works on (again after a restart under another name).
    void hub(const std::string& port, const std::string& location, const std::string& kind);
    // A change of stage. A chunk's stage is written at most 4 times a second,
    // and always for the first and the last chunk of a part.
    void stage(const std::string& doing, const std::string& leaves, const std::string& next, const Progress& progress);
    // A long wait starts: what for, and at most how long it lasts.
    void wait(const std::string& what, int64_t max_ms);

    // `text` as a JSON string, quotes included.
    static std::string quoted(std::string_view text);

private:
    void _fail();

    Platform* platform_ = nullptr;
    std::string path_;
    int64_t start_ = 0;       // the monotonic clock when the run started
    int64_t last_chunk_ = 0;  // when the last chunk's stage was written
    bool warned_ = false;
};

}  // namespace zel
