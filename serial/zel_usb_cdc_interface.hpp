// The HUB's virtual serial port: discovery by USB identifiers, opening with
// the port settings the HUB needs, byte I/O with time limits, the waits of
// the protocol, and finding the same HUB again after it restarted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.hpp"
#include "serial/hub_kinds.hpp"
#include "serial/results.hpp"
#include "serial/timing.hpp"

class USB_Logger;
namespace zel {
class EventStream;
}

struct PortEntry {
    static constexpr size_t kNameSize = 40;  // 39 characters and a NUL
    char name[kNameSize] = {};
    HubKind device_type = HubKind::None;
    std::string location;  // the USB socket; empty when the system does not tell
    std::string lock_key;  // names the socket for the lock of its HUB (the port name where nothing else does)

    // "'COM5' (USB location 1-1.4)": how the logs name a HUB.
    std::string describe() const;
    // Whether `wanted` (ZEL_PORT) names it: its port name (also without the
    // device prefix of a long Windows name) or its USB location.
    bool named_by(const char* wanted) const;
};

// Every attached HUB, in the system's order: the serial ports whose USB
// identifiers are those of a HUB kind (serial/hub_kinds.hpp).
std::vector<PortEntry> find_hubs(zel::Platform& platform);

namespace zel {
// A run interrupted by the user (Ctrl-C, SIGTERM, a closed console). It is
// no failure of a step: it unwinds the command from the wait it arrived in,
// so the port is closed and the driver can say where the run stopped.
struct Interrupted {
    std::string by;
};
}  // namespace zel

class zel_usb_cdc_interface {
public:
    static constexpr int kMaxPorts = 10;
    static constexpr int kOpenAttempts = 20;
    static constexpr uint32_t kOpenSleepMs = 1000;  // between attempts to find or open a port

    int32_t port_count = 0;
    int32_t selected_port = 0;
    bool connected = false;
    PortEntry ports[kMaxPorts];
    zel::PortHandle handle = zel::kInvalidPort;
    int32_t status = 0;
    bool is_open = false;
    char requested_port[103] = {};
    USB_Logger* logger = nullptr;
    zel::EventStream* events = nullptr;  // the run's, when it has one

    explicit zel_usb_cdc_interface(zel::Platform& platform);

    // Appends every attached HUB (find_hubs) while the table has room, and
    // the one `requested_port` names also when it has none; true when this
    // call added at least one.
    bool find_ports();
    // Empties the table (a repeated discovery starts afresh).
    void clear_ports();
    // Opens the port after taking the lock of its HUB (kept until this object
    // goes, across every restart): another run's HUB is waited for within
    // the open attempts and never opened. 0, or a negative results::port.
    int open_port(const char* name, bool after_restart = false);
    void close_port();
    // `length`, or results::port::kWriteFailed.
    int write_port(const void* buffer, uint32_t length);
    // `length`, or results::port::kReadFailed when fewer came within the limit.
    int read_port(void* buffer, int length, int64_t timeout_ms, const char* waiting_for = nullptr,
                  int64_t first_byte_ms = 0);
    // Like read_port, but returns the count received (never kReadFailed): for callers
    // that need to know how much of a short reply came. `first_byte_ms`: the
    // first byte is waited for that long at least (a caller that skipped a
    // pause before the read keeps the documented time for it).
    int read_port_count(void* buffer, int length, int64_t timeout_ms, const char* waiting_for = nullptr,
                        int64_t first_byte_ms = 0);
    // How long read_port waits for a first byte that never comes.
    static int64_t silent_read_ms(int length, int64_t timeout_ms);
    // Reads up to `length` bytes as they come: ends when they are all there,
    // when no byte came within `first_ms`, or when `quiet_ms` passed without
    // one after a byte (0: with the first read that brought any). The count
    // received, or results::port::kReadFailed when the device is gone before
    // a byte came.
    int read_while_coming(void* buffer, int length, int64_t first_ms, int64_t quiet_ms);
    // One read with the port's time-outs: the count received, 0, or the
    // platform's -1 when the device failed.
    int read_once(void* buffer, int length);

    // The index of the table entry `name` names (PortEntry::named_by); -1
    // when there is none.
    int find_entry(const char* name) const;

    // After a request that restarts the HUB: closes the port, waits, and
    // opens the same HUB again: the port at its USB location, else (where
    // locations are unknown) of its name, else the only HUB attached. Until
    // it is back it looks for it `kOpenAttempts` times, a second apart (the
    // first look after the restart's sleep), then gives up naming the HUB it
    // lost. 0 when reopened; results::port::kNotReopened when it could not be
    // opened or was lost.
    int reopen_after_restart();

    // The waits of the protocol. `waiting_for` names a long wait on a
    // terminal ("for the HUB to restart"). Both end the run when it has been
    // interrupted (zel::Interrupted).
    void sleep_ms(uint32_t ms, const char* waiting_for = nullptr);
    void pause(int64_t due_100ns);
    // A progress line on a terminal (USB_Logger::show).
    void show(const std::string& text);

    zel::Platform& platform() { return platform_; }
    // The HUB the port was last opened to: kept whole, also once the table
    // has been filled again after a restart.
    const PortEntry& current() const { return current_; }
    const zel::Timing& timing() const { return timing_; }
    void set_timing(const zel::Timing& timing) { timing_ = timing; }

private:
    void _check_interrupted();
    int _find_again(const PortEntry& hub) const;
    bool _listed(const PortEntry& hub);
    // The fast restart: the HUB seen to leave, then looked for until it is back.
    int _follow_restart(const PortEntry& hub);
    int _reopen(int found);
    // Takes the lock of `key` unless this run holds it already; false when
    // another run does (`holder` then says who, when the system tells).
    bool _lock(const std::string& key, std::string& holder);

    zel::Platform& platform_;
    int32_t most_ports_seen_ = 0;  // several HUBs during the run: none is taken for another
    zel::Timing timing_;
    PortEntry current_;
    std::string announced_;                                                     // the port the event stream last named
    std::vector<std::pair<std::string, std::unique_ptr<zel::HubLock>>> locks_;  // by key, for the object's life
};
