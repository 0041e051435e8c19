#include "platform/platform.hpp"

#include <cstdlib>

namespace zel {
namespace {
Platform* g_active = nullptr;
}

std::string Platform::environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

Platform& active_platform() {
    return g_active != nullptr ? *g_active : native_platform();
}

void set_active_platform(Platform* platform) {
    g_active = platform;
}

}  // namespace zel
