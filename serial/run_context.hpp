// What a run hands everything it runs: the system it runs on, its logger
// (which also shows the progress of long waits), and the run's options as
// its environment gave them. The driver makes one per run; nothing looks
// these up on its own.
#pragma once

#include <string>

class USB_Logger;
namespace zel {
class Platform;
class EventStream;

struct RunContext {
    Platform& platform;
    USB_Logger& logger;
    std::string timing;  // ZEL_TIMING: "fast", "documented", or empty (documented)
    std::string port;    // ZEL_PORT: the HUB's port or USB location when several are attached; empty: the first
    EventStream* events = nullptr;  // ZEL_EVENTS (log/events.hpp); null: none
};

}  // namespace zel
