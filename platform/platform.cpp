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

}  // namespace zel
