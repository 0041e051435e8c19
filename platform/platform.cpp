#include "platform/platform.hpp"

namespace zel {
namespace {
Platform* g_active = nullptr;
}

Platform& active_platform() {
    return g_active != nullptr ? *g_active : native_platform();
}

Platform* detail::ActivePlatform::exchange(Platform* platform) {
    Platform* previous = g_active;
    g_active = platform;
    return previous;
}

}  // namespace zel
