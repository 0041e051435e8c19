// The base of every operation on the HUB: the port, the framing flag and the
// exchange primitives (echo-checked request, request with its reply, single
// byte, bulk block, reply check) with their one error reporter.
#pragma once

#include <cstdint>
#include <string>

#include "log/USB_Logger.hpp"
#include "log/events.hpp"
#include "platform/source_location.hpp"
#include "serial/results.hpp"
#include "serial/run_context.hpp"
#include "serial/zel_usb_cdc_interface.hpp"
#include "src/le32.hpp"

// How a request with its reply went (see Command::_exchange).
enum class Exchanged { Ok, RequestFailed, ReplyFailed };

inline constexpr uint8_t kLegacyMarker = 0xAE;
inline constexpr int kRequestSize = 104;
inline constexpr int kBlockSize = 1250;
inline constexpr int64_t kEchoPause100ns = 163200;  // 16.32 ms
inline constexpr int64_t kEchoTimeoutMs = 100;

// Where a run stands, for the lines that tell a technician how a run that
// ended there (interrupted, or failed) leaves the HUB and what to do next.
struct RunStage {
    std::string doing = "connecting to the HUB";
    std::string leaves = "Nothing on the HUB was changed";  // a sentence without its full stop
    std::string next;  // the command to run next; empty: the same one again, when it failed

    // "<leaves>: <next>." or, without a next step, "<leaves>."
    std::string outcome() const { return next.empty() ? leaves + "." : leaves + ": " + next + "."; }
};

class Command {
public:
    // Lists the HUBs attached (the run's ZEL_PORT picks one of them later).
    explicit Command(zel::RunContext& run);
    virtual ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    virtual int32_t RunCommand() = 0;
    virtual int Connect();

    bool is_legacy() const { return legacy_hub; }
    zel_usb_cdc_interface& serial() { return *port; }
    // The table entry Connect opens (or has opened); null when there is none.
    const PortEntry* chosen_entry() const;
    const RunStage& stage() const { return stage_; }

protected:
    // Writes a request; with `check_echo` reads and compares its echo
    // (exchange codes 0-3), otherwise lets the HUB restart and opens the same
    // HUB again (0, 1, -1).
    int _send_message(const uint8_t* message, int length, bool check_echo);
    // Writes one byte and reads one byte back: 1, or a negative port result.
    int _send_byte(const uint8_t* byte);
    // Reads up to one block of 1250 bytes; the budget is charged only for
    // reads that bring nothing. Returns the count received.
    int _read_block(uint8_t* buffer, int64_t budget_ms);
    // Reads an N-byte reply and judges it by the framing.
    int _receive_message(uint8_t* reply, int length, int64_t timeout_ms, const char* waiting_for = nullptr);
    // An echo-checked request and the check of its reply, each failure
    // reported under `operation`.
    Exchanged _exchange(const uint8_t* request, int length, uint8_t* reply, int reply_length, int64_t limit_ms,
                        const char* operation, zel::SourceLocation where = zel::SourceLocation::current());
    // Bytes 0-3 of a request: `word` in the current framing; in the legacy
    // one the marker and `legacy_code` in bytes 0 and 2 (bytes 1 and 3 are
    // the caller's).
    void _frame(uint8_t* request, uint32_t word, uint8_t legacy_code) const;

    bool report_exchange_error(int code, const char* operation, const char* source_file, int line);
    // The same, naming the caller's source file and line.
    bool report_exchange_error(int code, const char* operation,
                               zel::SourceLocation where = zel::SourceLocation::current());

    // The kind of the connected HUB; HubKind::None when not connected.
    HubKind connected_device_type() const;
    void echo_pause();
    // Every change of stage passes here (and on to the event stream).
    void _stage(std::string doing, std::string leaves, std::string next = {}) {
        stage_ = {std::move(doing), std::move(leaves), std::move(next)};
        progress_ = {};
        _stage_changed();
    }
    // Only the step: what it leaves stays as it was.
    void _stage(std::string doing, const zel::Progress& progress = {}) {
        stage_.doing = std::move(doing);
        progress_ = progress;
        _stage_changed();
    }

    bool legacy_hub = false;
    USB_Logger* logger = nullptr;
    zel_usb_cdc_interface* port = nullptr;

private:
    // Opens table entry `index` (after taking its HUB's lock): 0, or
    // results::connect::kFailed with the stage saying why.
    int _open(int index);
    // Before reading an echo: the documented pause, or (fast) how long the
    // read must wait for the echo's first byte instead.
    int64_t _echo_wait(int length);
    // The probe that tells the framing; the exchange code of its echo.
    int _check_HUB_version();
    void _report_requested_port_missing();
    void _warn_of_other_hubs();
    void _stage_changed();

    RunStage stage_;
    zel::Progress progress_;  // the counts the stage's `doing` names
    zel::EventStream* events_ = nullptr;
};
