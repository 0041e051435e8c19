// One run of the tool: the platform it runs on and its logger, for as long
// as the scope lives. The driver opens one per run; tests open one around
// whatever they run in-process. Nothing else installs a platform.
#pragma once

#include <memory>

#include "log/USB_Logger.hpp"
#include "platform/platform.hpp"

namespace zel {

class RunScope {
public:
    explicit RunScope(Platform& platform);
    // Ends the log of the run and brings back the scope that was open before.
    ~RunScope();
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

    Platform& platform() const { return platform_; }
    // The run's logger; the first call starts the log.
    USB_Logger& logger();

    // The innermost open scope; outside any, one on the native platform
    // that lasts as long as the process.
    static RunScope& current();

private:
    Platform& platform_;
    std::unique_ptr<USB_Logger> logger_;
    RunScope* outer_;
    Platform* outer_platform_;
};

}  // namespace zel
