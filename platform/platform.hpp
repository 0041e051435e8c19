// The one seam between the tool and the operating system.
//
// Everything above platform/ reaches the clock, the console, the log
// directory and the serial port through this interface, so the same driver
// runs on Windows, on Linux and in-process against the HUB model in virtual
// time. Keep it small: only what the serial layer and the logger need.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// A full-width OS handle (a HANDLE on Windows, a file descriptor on POSIX).
using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;

// One present USB device that exposes a serial port.
// `device_path` is matched against "vid_xxxx&pid_xxxx" search texts; on
// Windows it is the SetupAPI interface path, elsewhere the backend writes
// the identifiers in the same form.
struct UsbSerialDevice {
    std::string device_path;
    std::string port_name;  // "COM5" on Windows, "/dev/ttyACM0" on Linux
};

class Platform {
public:
    virtual ~Platform() = default;

    // --- time -------------------------------------------------------------
    // Wall clock in 100 ns ticks since 1970-01-01 00:00 UTC.
    virtual int64_t utc_now_ticks() = 0;
    // Monotonic clock in 100 ns ticks (origin unspecified).
    virtual int64_t tick_count() = 0;
    // A plain sleep (the long waits of the protocol).
    virtual void sleep_ms(uint32_t ms) = 0;
    // A one-shot timer with a relative due time in 100 ns units (the short
    // fixed pauses: 16.32 ms echo pause and friends).
    virtual void timer_wait(int64_t due_100ns) = 0;
    // strftime of a device time (seconds since 1970, UTC) in local time.
    virtual std::string format_local_time(uint32_t seconds, const char* format) = 0;

    // --- console ----------------------------------------------------------
    virtual void write_stdout(std::string_view text) = 0;
    virtual void write_stderr(std::string_view text) = 0;
    virtual bool stderr_is_terminal() = 0;

    // --- files of the logger ---------------------------------------------
    // Names (without directory) of the entries of `dir`, in the order the
    // system returns them; empty when the directory cannot be searched.
    virtual std::vector<std::string> list_directory(const std::string& dir) = 0;
    virtual bool remove_file(const std::string& path) = 0;
    // Open for appending (create when missing), write, flush, close.
    virtual bool append_to_file(const std::string& path, std::string_view text) = 0;

    // --- serial port ------------------------------------------------------
    virtual std::vector<UsbSerialDevice> list_usb_serial_devices() = 0;
    // Open exclusively; kInvalidPort on failure. No retries, no sleeps here.
    virtual PortHandle port_create(const std::string& name) = 0;
    // 3,000,000 baud, 8N1, binary, DTR and RTS on, no flow control.
    virtual bool port_set_state(PortHandle h) = 0;
    virtual bool port_set_queues(PortHandle h, uint32_t in_bytes, uint32_t out_bytes) = 0;
    // Read interval 10 ms, read total 10 ms per byte + 10 ms; write likewise.
    virtual bool port_set_timeouts(PortHandle h) = 0;
    virtual bool port_flush(PortHandle h) = 0;
    // Bytes written, or -1.
    virtual int port_write(PortHandle h, const uint8_t* data, uint32_t length) = 0;
    // One read with the port's time-outs: returns when `length` bytes came,
    // after 10 ms of silence once a byte came, or after 10*length + 10 ms.
    // Bytes read (0 when nothing came), or -1 when the device failed.
    virtual int port_read(PortHandle h, uint8_t* data, uint32_t length) = 0;
    virtual void port_close(PortHandle h) = 0;
    // After a failed port_create: a line that tells a person how to fix it
    // (for example missing permissions), or empty.
    virtual std::string port_open_hint(const std::string& /*name*/) { return {}; }

    // --- environment ------------------------------------------------------
    // The value of an environment variable; empty when unset.
    virtual std::string environment(const char* name);
};

// The platform the current run uses. The driver sets it before anything
// else; the logger and the commands reach the system only through it.
Platform& active_platform();
void set_active_platform(Platform* platform);

// The native backend of this build (POSIX or Win32).
Platform& native_platform();

}  // namespace zel
