#include "platform/platform.hpp"

namespace zel {
namespace {
Platform* g_active = nullptr;
}

Platform& active_platform() {
    return g_active != nullptr ? *g_active : native_platform();
}

void set_active_platform(Platform* platform) {
    g_active = platform;
}

}  // namespace zel
