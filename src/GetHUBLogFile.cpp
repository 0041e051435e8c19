#include "src/GetHUBLogFile.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {
constexpr const char* kSource = "src/GetHUBLogFile";
constexpr int kSkippedBytes = 2;
constexpr int kTypingLine = 34;  // where the report has always placed a typing failure
}  // namespace

std::vector<std::string> log_text_lines(const HUBLogFile& log) {
    std::vector<std::string> lines;
    const uint8_t* begin = log.data + kSkippedBytes;
    const uint8_t* end = std::find(begin, std::end(log.data), uint8_t{0});
    const std::string_view text(reinterpret_cast<const char*>(begin), size_t(end - begin));
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Reads blocks until one brings nothing, so nothing of the log is left
// waiting in the port. Bytes beyond the area's text capacity are read into
// the scratch block and counted, but not kept. Returns the count received.
int64_t GetHUBLogFile::_read_text() {
    uint8_t block[kBlockSize];
    int64_t total = 0;
    int stored = 0;
    const bool fast = port->timing().fast;
    // Fast: the first byte may come as late as after the documented pause
    // and one empty block read; from then on a silence ends the log.
    const int64_t first_ms = kAnswerPause100ns / 10000 + zel_usb_cdc_interface::silent_read_ms(kBlockSize, 1);
    const int64_t quiet_ms = port->timing().log_quiet_ms;
    for (;;) {
        const int got =
            std::clamp(fast ? port->read_while_coming(block, kBlockSize, total == 0 ? first_ms : quiet_ms, quiet_ms)
                            : _read_block(block, kBlockBudgetMs),
                       0, kBlockSize);
        if (got == 0) break;
        total += got;
        port->show("Reading the HUB's log: " + std::to_string(total) + " bytes");
        const int fits = std::min(got, HUBLogFile::kTextCapacity - stored);
        std::memcpy(log_file->data + stored, block, size_t(fits));
        stored += fits;
        if (fast && got < kBlockSize) break;  // it ended with its silence: there is no more
    }
    port->show("");
    return total;
}

int32_t GetHUBLogFile::RunCommand() {
    if (log_file == nullptr) return results::hub_log::kNoLogArea;
    _stage("reading the HUB's log", "Nothing on the HUB was changed");
    std::memset(log_file->data, 0, sizeof log_file->data);

    for (int i = 0; i < kTypedBytes; ++i) {
        const int result = _send_byte(&request[size_t(i)]);
        if (result < 0) {
            logger->Error("GetHUBLogFile::RunCommand: error %d at %s:%d\n", result, kSource, kTypingLine);
            return results::hub_log::kTypingFailed;
        }
        if (result == 0) logger->Warning("Byte %d with no answer!\n", i);
    }

    // Give the HUB time to start its answer (fast: the read waits as long
    // for its first byte).
    if (!port->timing().fast) port->pause(kAnswerPause100ns);

    const int64_t total = _read_text();
    log_file->length = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
    logger->Info("LOG-file: Length %d\n", log_file->length);
    for (const std::string& line : log_text_lines(*log_file)) logger->Info("LOG-file: %s\n", line.c_str());
    return 0;
}
