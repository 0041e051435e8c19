// -log: types "? log" to the HUB's text console, one echoed character at a
// time, and collects the log text it streams back until it falls silent.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/Command.hpp"

// The HUB's log as received.
//
// `length` counts every byte the HUB sent, also those that did not fit: the
// technician sees how much came. `data` keeps the first 7999 of them and a
// terminating zero after the text, so the text is what fitted.
struct HUBLogFile {
    static constexpr int kDataSize = 8000;
    static constexpr int kTextCapacity = kDataSize - 1;

    int32_t length = 0;
    uint8_t data[kDataSize] = {};
};

// The lines of the log text: from data offset 2 (the HUB's own line break
// after the command) up to the first zero byte, split at each line feed.
// A carriage return stays in its line; a last line without a line feed counts.
std::vector<std::string> log_text_lines(const HUBLogFile& log);

class GetHUBLogFile final : public Command {
public:
    using Command::Command;

    static constexpr int kRequestFieldSize = 16;
    static constexpr int kTypedBytes = 6;                  // "? log" and its carriage return
    static constexpr int64_t kAnswerPause100ns = 5000000;  // 500 ms
    static constexpr int64_t kBlockBudgetMs = 500;

    // The text command, filled by the driver; the first 6 bytes are typed.
    std::array<uint8_t, kRequestFieldSize> request{};
    HUBLogFile* log_file = nullptr;

    int32_t RunCommand() override;

private:
    int64_t _read_text();
};
