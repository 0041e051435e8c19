// A platform in virtual time: the clock moves only when the tool waits or
// reads, the console and the files are kept in memory, and the serial ports
// are HUB models. A run of the real driver against it is exact and takes
// milliseconds however long the protocol waits.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "sim/model/hub_model.hpp"

namespace sim {

// 5 December 2026 09:07:03.004512 UTC, in 100 ns ticks since 1970.
inline constexpr int64_t kDefaultUtcStart = 17964616230045120LL;

struct TraceEntry {
    int64_t time;
    bool to_hub;  // true: written by the tool; false: read by the tool
    std::vector<uint8_t> bytes;
    const HubModel* hub;
};

struct Wait {
    enum Kind { Sleep, Timer } kind;
    int64_t start;
    int64_t duration;  // 100 ns ticks
};

// A file of the virtual working directory (or of any path a test names).
struct SimFile {
    std::string content;
    bool read_only = false;
    bool regular = true;      // false: a folder or a device
    bool owner_only = false;  // made anew for its owner's eyes only
};

// A HUB lock held by another process: by whom, and until when (virtual time).
struct ForeignLock {
    std::string holder;  // "pid 4711 (zel_usb_interface)", or "" when the system would not tell
    int64_t until = INT64_MAX;
};

class SimPlatform : public zel::Platform {
public:
    explicit SimPlatform(int64_t utc_start = kDefaultUtcStart);

    // Attaches a HUB; the platform keeps it until destroyed. Without a
    // location of its own the n-th HUB sits at "1-n".
    HubModel& attach(HubConfig config);
    HubModel& hub(size_t i = 0) { return *hubs_.at(i); }

    int64_t now() const { return now_; }
    double now_ms() const { return double(now_) / kTicksPerMs; }

    // What the run produced; `console` both streams as a terminal shows them.
    std::string out;
    std::string err;
    std::string console;
    bool err_terminal = false;
    std::vector<TraceEntry> trace;
    bool keep_trace = true;  // off where nothing looks at the wire (fuzzing)
    std::vector<Wait> waits;
    // Every line appended to a log file of the logger, in order, as written.
    std::vector<std::string> appended;

    // Files by path as the tool names them ("./" left off).
    std::map<std::string, SimFile> files;
    SimFile* file(const std::string& path);
    // Folders (by path, "" for the working directory) that take no new file.
    std::set<std::string> closed_folders;
    // Set by a test to make appends fail (a directory that cannot be written).
    bool files_writable = true;

    std::map<std::string, std::string> env;
    // HUB locks held by other processes, by key (a HUB's key is its location).
    std::map<std::string, ForeignLock> foreign_locks;
    bool no_lock_files = false;  // lock_hub makes none: every run goes on unguarded
    // Keys locked by this process right now, how many locks it took in all,
    // and how many ports it opened.
    const std::set<std::string>& locked() const { return locked_; }
    int locks_taken = 0;
    int opened = 0;
    // A pause in what a HUB sends: once the tool has read `after` bytes from
    // it (counting from the start of the run), the rest comes `ms` later.
    struct Hold {
        const HubModel* hub;
        size_t after;
        int64_t ms;
    };
    std::vector<Hold> holds;
    // An interruption ("SIGINT") that arrives at this virtual time.
    int64_t interrupt_at = -1;
    std::string interrupt_by = "SIGINT";

    // Open handles right now (a test checks that nothing is left open).
    size_t open_handles() const { return handles_.size(); }

    // zel::Platform
    int64_t utc_now_ticks() override { return utc_start_ + now_; }
    int64_t tick_count() override { return now_; }
    void sleep_ms(uint32_t ms) override;
    void timer_wait(int64_t due_100ns) override;
    std::string format_local_time(uint32_t seconds, const char* format) override;
    void write_stdout(std::string_view text) override {
        out.append(text);
        console.append(text);
    }
    void write_stderr(std::string_view text) override {
        err.append(text);
        console.append(text);
    }
    bool stderr_is_terminal() override { return err_terminal; }
    std::string log_directory() override { return "./"; }
    std::vector<std::string> list_directory(const std::string& dir) override;
    bool remove_file(const std::string& path) override;
    bool append_to_file(const std::string& path, std::string_view text) override;
    zel::FileStatus file_status(const std::string& path) override;
    bool read_file(const std::string& path, uint64_t max_bytes, bool text, std::string& out) override;
    zel::FileWrite replace_file(const std::string& path, std::string_view content, bool text, bool owner_only) override;
    std::vector<zel::UsbSerialDevice> list_usb_serial_devices() override;
    zel::PortHandle port_create(const std::string& name, zel::OpenFailure& why) override;
    std::string port_holder(const std::string& name) override;
    std::string port_open_hint(const std::string& name) override { return "no permission for " + name + "\n"; }
    bool port_set_state(zel::PortHandle h) override { return valid(h); }
    bool port_set_queues(zel::PortHandle h, uint32_t, uint32_t) override { return valid(h); }
    bool port_set_timeouts(zel::PortHandle h) override { return valid(h); }
    bool port_flush(zel::PortHandle h) override { return valid(h); }
    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override;
    int port_read(zel::PortHandle h, uint8_t* data, uint32_t length) override;
    void port_close(zel::PortHandle h) override;
    std::unique_ptr<zel::HubLock> lock_hub(const std::string& key, std::string& holder) override;
    std::string environment(const char* name) override;
    std::string interruption() override { return interrupted() ? interrupt_by : ""; }
    int exit_status(int result) override { return result; }
    // No other programs run in virtual time (a test that starts some
    // overrides these); folders are kept as names, the table as its lines.
    std::unique_ptr<zel::ChildProcess> start_child(const zel::ChildSpec&, std::string& why) override {
        why = "no programs start in virtual time";
        return nullptr;
    }
    void wait_children(const std::vector<zel::ChildProcess*>&, uint32_t ms) override { sleep_ms(ms); }
    std::string executable_path() override { return "/sim/bin/zel_fleet"; }
    int process_id() override { return 4711; }
    std::string current_directory() override { return "/sim"; }
    bool make_directory(const std::string& path) override { return !file(path) && folders.insert(path).second; }
    bool stdout_is_terminal() override { return out_terminal; }
    void redraw_stdout(const std::vector<std::string>& lines, size_t) override { table = lines; }
    std::set<std::string> folders;
    bool out_terminal = false;
    std::vector<std::string> table;  // the lines redrawn last

private:
    struct OpenPort {
        HubModel* hub;
        int generation;
    };
    bool valid(zel::PortHandle h) const { return handles_.count(h) != 0; }
    bool interrupted() const { return interrupt_at >= 0 && now_ >= interrupt_at; }
    // Moves the clock to `until`, or to the interruption when it comes first.
    void wait_until(int64_t until);
    HubModel* hub_named(const std::string& name);
    static std::string key_of(const std::string& path);

    int64_t utc_start_;
    int64_t now_ = 0;
    std::vector<std::unique_ptr<HubModel>> hubs_;
    std::map<zel::PortHandle, OpenPort> handles_;
    // Beyond 32 bits, so a handle cut to 32 bits anywhere would not match.
    zel::PortHandle next_handle_ = zel::PortHandle(0x7ead0000) * 0x10 + 0x1000;
    std::vector<uint8_t> written_;  // the bytes of the write being handled
    std::vector<uint8_t> read_;     // the bytes of the read being handled
    std::set<std::string> locked_;
    std::map<const HubModel*, size_t> read_from_;  // bytes read from each HUB
};

}  // namespace sim
