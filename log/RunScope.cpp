#include "log/RunScope.hpp"

namespace zel {
namespace {
RunScope* g_innermost = nullptr;
}

RunScope::RunScope(Platform& platform)
    : platform_(platform), outer_(g_innermost), outer_platform_(detail::ActivePlatform::exchange(&platform)) {
    g_innermost = this;
}

RunScope::~RunScope() {
    logger_.reset();
    g_innermost = outer_;
    detail::ActivePlatform::exchange(outer_platform_);
}

USB_Logger& RunScope::logger() {
    if (!logger_) {
        logger_ = std::make_unique<USB_Logger>(platform_);
        logger_->_start_log();
    }
    return *logger_;
}

RunScope& RunScope::current() {
    if (g_innermost != nullptr) return *g_innermost;
    static RunScope process_wide(native_platform());
    return process_wide;
}

}  // namespace zel
