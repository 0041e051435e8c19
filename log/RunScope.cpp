#include "log/RunScope.hpp"

namespace zel {
namespace {
RunScope* g_innermost = nullptr;
}

RunScope::RunScope(Platform& platform) : platform_(platform), outer_(g_innermost) {
    g_innermost = this;
}

RunScope::~RunScope() {
    logger_.reset();
    g_innermost = outer_;
}

USB_Logger& RunScope::logger() {
    if (!logger_) {
        logger_ = std::make_unique<USB_Logger>(platform_);
        logger_->_start_log();
    }
    return *logger_;
}

RunScope* RunScope::current() {
    return g_innermost;
}

}  // namespace zel
