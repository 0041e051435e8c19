#include "platform/platform.hpp"

#include <cstdio>

namespace zel {
std::string hub_lock_name(const std::string& key) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : key) hash = (hash ^ uint8_t(c)) * 0x100000001b3ULL;
    char text[48];
    std::snprintf(text, sizeof text, "zel_usb_interface-%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string vt_redraw_text(const std::vector<std::string>& lines, size_t drawn, size_t width) {
    // Back to the first line drawn last, then each line over the old one,
    // its old tail cleared, and whatever the old drawing had below cleared.
    std::string text = drawn > 0 ? "\r\x1b[" + std::to_string(drawn) + "A" : "";
    const size_t keep = width > 1 ? width - 1 : 79;
    for (const std::string& line : lines) {
        size_t shown = 0;
        size_t end = 0;
        // Characters, not bytes: a UTF-8 continuation byte takes no column.
        while (end < line.size() && (shown < keep || (uint8_t(line[end]) & 0xC0) == 0x80)) {
            if ((uint8_t(line[end]) & 0xC0) != 0x80) ++shown;
            ++end;
        }
        text.append(line, 0, end).append("\x1b[K\n");
    }
    if (lines.size() < drawn) text += "\x1b[J";
    return text;
}

}  // namespace zel
