// What the POSIX backend's files share: the port, the lock, the clock, the
// interruptions that end every wait, and folder helpers (platform/posix);
// and what each system adds of its own (platform/linux for Linux): device
// discovery, who holds a port or a lock, the timer slack, the port's speed.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace zel::posix {

// The names in a folder, without "." and ".."; empty when it cannot be read.
std::vector<std::string> directory_entries(const std::string& dir);
// The real path of `path` (links resolved); false when it does not exist.
bool real_path(const std::string& path, std::string& out);
// Digit runs compare by value, so ttyACM2 comes before ttyACM10.
bool natural_less(const std::string& a, const std::string& b);

// --- time --------------------------------------------------------------------
inline constexpr int64_t kNsPerMs = 1'000'000;
int64_t monotonic_ns();

// --- what each system adds ---------------------------------------------------------
// The USB serial ports (Linux: under $ZEL_SYSFS_ROOT, default /sys, named
// under $ZEL_DEV_ROOT, default /dev, in natural name order).
std::vector<UsbSerialDevice> discover_usb_serial_devices();
// "pid 4711 (minicom)" for the first other process that has `port` open, as
// far as the system shows it; empty when none is seen.
std::string find_port_holder(const std::string& port);
// The same for the process that holds the lock on the open file `fd`.
std::string lock_holder(int fd);
// Short pauses land late with a system's default timer slack (Linux: 50 us);
// the slack is a per-thread setting, so each thread that waits sets it once.
void tighten_timer_slack();
// The HUB's 3,000,000 baud in both directions of `settings`.
bool set_hub_speed(termios& settings);
// After an open refused for permissions: how a user gets them.
std::string permission_hint(const std::string& port);
// The running program's own path (Linux: /proc/self/exe); empty when the
// system does not tell.
std::string running_executable();

// --- interruptions ---------------------------------------------------------------
// SIGINT, SIGTERM and SIGHUP are caught (unless the process was started with
// them ignored) and SIGPIPE is ignored.
void catch_interruptions();
// The signal that interrupted the run, or 0.
int interrupting_signal();
// Readable once an interruption has arrived: waits watch it.
int interruption_fd();

// The lock of one HUB (see Platform::lock_hub): a lock file in ZEL_LOCK_DIR,
// /run/lock, $XDG_RUNTIME_DIR or /tmp, the first that is a writable folder.
std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder);

// --- the port ------------------------------------------------------------------
PortHandle open_port(const std::string& name, OpenFailure& why);
bool configure_port(PortHandle h);
int write_port(PortHandle h, const uint8_t* data, uint32_t length);
int read_port(PortHandle h, uint8_t* data, uint32_t length);
void close_port(PortHandle h);

}  // namespace zel::posix
