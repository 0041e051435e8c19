// One run of the tool: the platform it runs on and its logger, for as long
// as the scope lives. The driver opens one per run; tests open one around
// whatever they run in-process. The run hands the platform and the logger
// on to what it runs (serial/run_context.hpp); only USB_Logger::Instance()
// looks the innermost scope up.
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

    // The innermost open scope; null outside any run.
    static RunScope* current();

private:
    Platform& platform_;
    std::unique_ptr<USB_Logger> logger_;
    RunScope* outer_;
};

}  // namespace zel
