// The one seam between the tool and the operating system.
//
// Everything above platform/ reaches the clock, the console, files and the
// serial port through this interface, so the same driver runs on Windows, on
// Linux and in-process against the HUB model in virtual time. Keep it small:
// only what the serial layer, the logger, the file handling and the fleet
// runner need.
//
// Texts crossing the seam are UTF-8 bytes; a backend converts file names to
// what its system takes (UTF-16 on Windows).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// printf-style argument checks. mingw's C++ library formats with its own
// (C99) printf, so check against that rather than the old Windows runtime.
#if defined(__MINGW32__)
#define ZEL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define ZEL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace zel {

// A full-width OS handle (a HANDLE on Windows, a file descriptor on POSIX).
using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;

// One present USB device that exposes a serial port.
struct UsbSerialDevice {
    uint16_t vendor_id = 0;  // of the USB device
    uint16_t product_id = 0;
    std::string port_name;  // "COM5" on Windows, "/dev/ttyACM0" on Linux
    // Where it is plugged in ("1-1.4", a location path on Windows): the same
    // while the device restarts on the same socket. Empty when unknown.
    std::string location;
    // What names that socket uniquely on this machine, for the lock that
    // keeps two runs off one HUB: the USB device's folder on Linux, the
    // location path on Windows. Empty when unknown (the port name stands in).
    std::string lock_key;
};

// A HUB held by this run: while it lives, no other run of the tool, in this
// process or another, gets the lock of the same key.
// A plain HubLock stands in where no lock could be made: the run goes on,
// unguarded.
class HubLock {
public:
    virtual ~HubLock() = default;
    // Whether it keeps other runs off the HUB.
    virtual bool guards() const { return false; }
};

// Why a port did not open.
enum class OpenFailure { None, Missing, Denied, Busy, Other };

struct FileStatus {
    enum Kind { Missing, Regular, Other };
    Kind kind = Missing;
    uint64_t size = 0;
    bool read_only = false;
};

// How replace_file went.
enum class FileWrite {
    Replaced,        // written whole under a temporary name, then renamed over
    WrittenInPlace,  // the folder takes no new file: the target itself was rewritten
    ReadOnly,        // the target is read-only: left as it was
    NotRegular,      // the target is a folder or a device: left as it was
    Failed,          // nothing usable was written; an old target is as it was (written back when
                     // the new bytes did not all fit in place)
};

// A program to start beside this one (the fleet runner starts one run of
// the tool per HUB).
struct ChildSpec {
    std::string program;                 // the executable's path
    std::vector<std::string> arguments;  // after the program name
    // Set in its environment, over what it inherits from this process.
    std::vector<std::pair<std::string, std::string>> environment;
    std::string directory;  // its working folder
    // Its standard output and error are appended to this file (made when
    // missing); its standard input reads nothing.
    std::string output;
};

// A started program. It runs in a process group of its own, so that an
// interruption of this process reaches it only the way this process chooses.
class ChildProcess {
public:
    // Neither stops nor waits for a program that still runs.
    virtual ~ChildProcess() = default;
    // True once it has ended, with its exit status (128 + the signal for a
    // program a signal ended).
    virtual bool ended(int& exit_status) = 0;
    // Stops it as an interruption stops a run of the tool: SIGINT to its
    // group on POSIX, Ctrl-Break to its process group on Windows.
    virtual void interrupt() = 0;
    // Ends it at once.
    virtual void kill() = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // --- time -------------------------------------------------------------
    // Wall clock in 100 ns ticks since 1970-01-01 00:00 UTC.
    virtual int64_t utc_now_ticks() = 0;
    // Monotonic clock in 100 ns ticks (origin unspecified).
    virtual int64_t tick_count() = 0;
    // A plain sleep (the long waits of the protocol). Returns early when the
    // run is interrupted.
    virtual void sleep_ms(uint32_t ms) = 0;
    // A one-shot timer with a relative due time in 100 ns units (the short
    // fixed pauses: 16.32 ms echo pause and friends).
    virtual void timer_wait(int64_t due_100ns) = 0;
    // strftime of a device time (seconds since 1970, UTC) in local time.
    virtual std::string format_local_time(uint32_t seconds, const char* format) = 0;

    // --- console ----------------------------------------------------------
    // A reader that has gone away (a closed pipe) is no failure: the text is
    // dropped and the run goes on.
    virtual void write_stdout(std::string_view text) = 0;
    virtual void write_stderr(std::string_view text) = 0;
    virtual bool stderr_is_terminal() = 0;

    // --- the tool's own files (log, trace, run record) ----------------------
    // The folder of the log files, with its separator (".\" or "./").
    virtual std::string log_directory() = 0;
    // Names (without directory) of the entries of `dir`, in the order the
    // system returns them; empty when the directory cannot be searched.
    virtual std::vector<std::string> list_directory(const std::string& dir) = 0;
    virtual bool remove_file(const std::string& path) = 0;
    // Open for appending (create when missing), write, flush, close. The
    // text's line feeds are stored as the system's line ends.
    virtual bool append_to_file(const std::string& path, std::string_view text) = 0;

    // --- files the user names (images, configuration files) ----------------
    virtual FileStatus file_status(const std::string& path) = 0;
    // Reads at most `max_bytes` + 1 bytes into `out` (so a file that grew
    // past the limit shows). `text`: the system's line ends become "\n".
    virtual bool read_file(const std::string& path, uint64_t max_bytes, bool text, std::string& out) = 0;
    // Replaces the file with `content` so that it is never left half
    // written; `text`: each "\n" is stored as the system's line end;
    // `owner_only`: a file made anew may be read by its owner only (it holds
    // a key), whatever the umask. A replaced file keeps its access.
    virtual FileWrite replace_file(const std::string& path, std::string_view content, bool text, bool owner_only) = 0;

    // --- serial port ------------------------------------------------------
    virtual std::vector<UsbSerialDevice> list_usb_serial_devices() = 0;
    // Open exclusively; kInvalidPort on failure, with the reason in `why`.
    // No retries, no sleeps here.
    virtual PortHandle port_create(const std::string& name, OpenFailure& why) = 0;
    // Who holds the port, when the system shows it ("pid 4711 (minicom)");
    // empty otherwise.
    virtual std::string port_holder(const std::string& name) = 0;
    // After an open refused for permissions: a line that tells a person how
    // to fix it, or empty.
    virtual std::string port_open_hint(const std::string& name) = 0;
    // 3,000,000 baud, 8N1, binary, DTR and RTS on, no flow control.
    virtual bool port_set_state(PortHandle h) = 0;
    virtual bool port_set_queues(PortHandle h, uint32_t in_bytes, uint32_t out_bytes) = 0;
    // Read interval 10 ms, read total 10 ms per byte + 10 ms; write likewise.
    virtual bool port_set_timeouts(PortHandle h) = 0;
    virtual bool port_flush(PortHandle h) = 0;
    // Bytes handed on within the write time-out (10 ms per byte + 10 ms):
    // fewer than `length` when the device stopped taking them; -1 when it
    // failed.
    virtual int port_write(PortHandle h, const uint8_t* data, uint32_t length) = 0;
    // One read with the port's time-outs: returns when `length` bytes came,
    // after 10 ms of silence once a byte came, or after 10*length + 10 ms.
    // Bytes read (0 when nothing came), or -1 when the device failed.
    virtual int port_read(PortHandle h, uint8_t* data, uint32_t length) = 0;
    virtual void port_close(PortHandle h) = 0;
    // The lock of one HUB, by its key: null when another run holds it, and
    // then `holder` says who ("pid 4711 (zel_usb_interface)") where the
    // system tells, else it is empty. The system lets go of it when the
    // process ends, however it ends.
    virtual std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder) = 0;

    // --- the process ------------------------------------------------------
    // The value of an environment variable; empty when unset.
    virtual std::string environment(const char* name) = 0;
    // What interrupted the run ("SIGINT", "Ctrl-C", ...), empty while nothing
    // has. Once set it stays set; every wait returns early from then on.
    virtual std::string interruption() = 0;
    // The process exit status for a result.
    virtual int exit_status(int result) = 0;

    // --- other programs (the fleet runner) ---------------------------------
    // Null when it could not be started, and `why` says why.
    virtual std::unique_ptr<ChildProcess> start_child(const ChildSpec& spec, std::string& why) = 0;
    // Returns once one of `children` has ended, `ms` have passed, or an
    // interruption arrives (once one has arrived, only the first two end it).
    virtual void wait_children(const std::vector<ChildProcess*>& children, uint32_t ms) = 0;
    // The running program's own path; empty when the system does not tell.
    virtual std::string executable_path() = 0;
    // This process's id (the event stream names it).
    virtual int process_id() = 0;
    // The working folder, absolute.
    virtual std::string current_directory() = 0;
    // Makes one folder; false when it could not be made or was there already.
    virtual bool make_directory(const std::string& path) = 0;
    virtual bool stdout_is_terminal() = 0;
    // Shows `lines` on the terminal of standard output in place of the
    // `drawn` lines this call showed last, each cut to the terminal's width.
    virtual void redraw_stdout(const std::vector<std::string>& lines, size_t drawn) = 0;
};

// "zel_usb_interface-" and the 64-bit FNV-1a hash of a HUB's lock key in hex:
// the name of its lock on every system (a key may be any length and hold any
// character).
std::string hub_lock_name(const std::string& key);

// The text that redraws `lines` in place of the `drawn` lines shown before
// on a terminal that takes VT sequences, each cut to `width` - 1 characters
// (so that none wraps).
std::string vt_redraw_text(const std::vector<std::string>& lines, size_t drawn, size_t width);

// The native backend of this build (POSIX or Win32). Its first call makes
// the process catch the interruptions it reports and ignore closed pipes.
Platform& native_platform();
// The process's command line as UTF-8 texts, the program name first.
std::vector<std::string> native_arguments(int argc, char** argv);

}  // namespace zel
