#include "src/Command.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int64_t kProbeAnswerMs = 2000;

// "src/GetHUBInformation" for .../src/GetHUBInformation.cpp: the form the
// reports name their source in.
std::string source_name(const char* path) {
    std::string text(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    const size_t src = text.rfind("src/");
    text.erase(0, src != std::string::npos ? src : text.rfind('/') + 1);
    const size_t dot = text.rfind('.');
    if (dot != std::string::npos) text.erase(dot);
    return text;
}

}  // namespace

Command::Command(zel::RunContext& run) {
    logger = &run.logger;
    legacy_hub = false;
    port = new zel_usb_cdc_interface(run.platform);
    port->logger = logger;
    port->events = run.events;
    events_ = run.events;
    _stage_changed();  // the first stage: connecting
    // ZEL_PORT picks one HUB, by port or USB location, when several are attached.
    std::snprintf(port->requested_port, sizeof port->requested_port, "%s", run.port.c_str());
    if (!port->find_ports()) port->status = results::port::kStatusNoPort;
    if (run.timing == "fast") {
        port->set_timing(zel::Timing::quick());
    } else if (!run.timing.empty() && run.timing != "documented") {
        logger->Warning("ZEL_TIMING=%s is neither fast nor documented: the documented timing is used\n",
                        run.timing.c_str());
    }
}

void Command::_stage_changed() {
    if (events_ != nullptr) events_->stage(stage_.doing, stage_.leaves, stage_.next, progress_);
}

Command::~Command() {
    if (port == nullptr) return;
    if (port->is_open) port->close_port();
    delete port;
    port = nullptr;
}

const PortEntry* Command::chosen_entry() const {
    if (port->connected) return &port->current();
    if (port->requested_port[0] == '\0') return port->port_count > 0 ? &port->ports[0] : nullptr;
    const int i = port->find_entry(port->requested_port);
    return i >= 0 ? &port->ports[i] : nullptr;
}

HubKind Command::connected_device_type() const {
    return port->connected ? port->current().device_type : HubKind::None;
}

void Command::echo_pause() {
    port->pause(kEchoPause100ns);
}

void Command::_report_requested_port_missing() {
    std::string found;
    for (int i = 0; i < port->port_count; ++i) found += (i ? ", " : "") + std::string(port->ports[i].name);
    logger->Error("CDC-interface: No HUB at the requested port '%s' (ZEL_PORT); HUB ports found: %s\n",
                  port->requested_port, found.empty() ? "none" : found.c_str());
}

void Command::_warn_of_other_hubs() {
    std::string others;
    for (int i = 1; i < port->port_count; ++i) others += (i > 1 ? ", " : "") + port->ports[i].describe();
    logger->Warning(
        "CDC-interface: %d HUBs are attached; this run uses the first, %s, and leaves alone %s. To "
        "choose one, set ZEL_PORT to its port.\n",
        int(port->port_count), port->ports[0].describe().c_str(), others.c_str());
}

int Command::_open(int index) {
    port->selected_port = index;
    const char* name = port->ports[index].name;
    const int opened = port->open_port(name);
    if (opened == results::port::kHeldByAnotherRun) {
        _stage("waiting for the HUB, which another run of this tool uses", "Nothing was sent to the HUB",
               "run the same command again once that run has ended");
    } else if (opened < 0) {
        logger->Error("CDC-interface: Virtual-serial port '%s' no detected!\n", name);
        _stage("opening the HUB's port", "Nothing was sent to the HUB",
               "mend what the lines above say, then run the same command again");
    }
    if (opened < 0) {
        port->status = results::port::kStatusNotOpened;
        port->connected = false;
        return results::connect::kFailed;
    }
    port->connected = true;
    return 0;
}

int Command::Connect() {
    if (port->status == results::port::kStatusNoPort) {
        if (port->requested_port[0] != '\0') _report_requested_port_missing();
        return results::connect::kFailed;
    }
    if (port->requested_port[0] != '\0') {
        const int i = port->find_entry(port->requested_port);
        if (i < 0) {
            _report_requested_port_missing();
            return results::connect::kFailed;
        }
        if (_open(i) != 0) return results::connect::kFailed;
    } else {
        const PortEntry& first = port->ports[0];
        const HubKindRow* kind = hub_kind(first.device_type);  // discovery lists only kinds of the table
        logger->Info("CDC-interface: A %s detected... \n", kind != nullptr ? kind->label : "HUB");
        logger->Info("CDC-interface: No port-name provided... \n");
        logger->Info("CDC-interface: Connecting to '%s'\n", first.name);
        if (port->port_count > 1) _warn_of_other_hubs();
        if (_open(0) != 0) return results::connect::kFailed;
    }
    if (_check_HUB_version() != results::exchange::kOk && port->timing().fast) {
        // Opened too soon for this HUB, perhaps: start again the documented way.
        logger->Info("The HUB did not echo cleanly soon after opening: going on with the documented timing\n");
        port->set_timing(zel::Timing::documented());
        port->close_port();
        if (_open(port->selected_port) != 0) return results::connect::kFailed;
        _check_HUB_version();
    }
    // Which HUB this run works on, also where the port was chosen by name:
    // runs that log into one folder can be told apart.
    logger->Info("CDC-interface: Connected to %s\n", port->current().describe().c_str());
    return 0;
}

int Command::_check_HUB_version() {
    const HubKindRow* kind = hub_kind(connected_device_type());
    if (kind != nullptr && !kind->probed) {
        legacy_hub = false;
        logger->Info("HUB version 2.0.0 or higher!!\n");
        return results::exchange::kOk;
    }
    logger->Info("Checking hub version...\n");
    const uint8_t probe[kRequestSize] = {};
    const int code = _send_message(probe, kRequestSize, true);
    if (report_exchange_error(code, "Command::_check_HUB_version")) return code;
    uint8_t answer[4] = {};
    legacy_hub = port->read_port(answer, 4, kProbeAnswerMs) != 4;
    logger->Info(legacy_hub ? "HUB with legacy version\n" : "HUB version 2.0.0 or higher!!\n");
    return results::exchange::kOk;
}

int64_t Command::_echo_wait(int length) {
    if (port->timing().pause_before_short_echo) {
        echo_pause();
        return 0;
    }
    // Read as it arrives, but never given up sooner than after the pause.
    return (kEchoPause100ns + 9999) / 10000 + zel_usb_cdc_interface::silent_read_ms(length, kEchoTimeoutMs);
}

int Command::_send_message(const uint8_t* message, int length, bool check_echo) {
    if (port->write_port(message, static_cast<uint32_t>(length)) != length) return results::exchange::kWriteFailed;
    // Bootloader requests (longer) and restarts keep the pause in both modes.
    int64_t first_byte_ms = 0;
    if (!check_echo || length > kRequestSize) {
        echo_pause();
    } else {
        first_byte_ms = _echo_wait(length);
    }
    if (!check_echo)
        return port->reopen_after_restart() < 0 ? results::exchange::kNotConnected : results::exchange::kOk;
    std::vector<uint8_t> echo(static_cast<size_t>(length));
    if (port->read_port(echo.data(), length, kEchoTimeoutMs, nullptr, first_byte_ms) != length)
        return results::exchange::kShort;
    return std::memcmp(echo.data(), message, static_cast<size_t>(length)) == 0 ? results::exchange::kOk
                                                                               : results::exchange::kMismatch;
}

int Command::_send_byte(const uint8_t* byte) {
    const int written = port->write_port(byte, 1);
    if (written < 0) return written;
    const int64_t first_byte_ms = _echo_wait(1);
    uint8_t echo = 0;
    const int got = port->read_port(&echo, 1, kEchoTimeoutMs, nullptr, first_byte_ms);
    return got == 1 ? written : got;
}

int Command::_read_block(uint8_t* buffer, int64_t budget_ms) {
    return port->read_port_count(buffer, kBlockSize, budget_ms);
}

int Command::_receive_message(uint8_t* reply, int length, int64_t timeout_ms, const char* waiting_for) {
    const int got = port->read_port_count(reply, length, timeout_ms, waiting_for);
    if (legacy_hub) {
        if (got != length) return results::exchange::kShort;
        return reply[0] == kLegacyMarker ? results::exchange::kOk : results::exchange::kMismatch;
    }
    if (got == length) return results::exchange::kOk;
    if (got == 4 && length > 4) {
        logger->Warning("Command::_receive_message: What() Error in command issued -> status 0x%x\n", get_le32(reply));
        return results::exchange::kStatusOnly;
    }
    return results::exchange::kNoFeedback;
}

Exchanged Command::_exchange(const uint8_t* request, int length, uint8_t* reply, int reply_length, int64_t limit_ms,
                             const char* operation, zel::SourceLocation where) {
    if (report_exchange_error(_send_message(request, length, true), operation, where)) return Exchanged::RequestFailed;
    if (report_exchange_error(_receive_message(reply, reply_length, limit_ms), operation, where)) {
        return Exchanged::ReplyFailed;
    }
    return Exchanged::Ok;
}

void Command::_frame(uint8_t* request, uint32_t word, uint8_t legacy_code) const {
    if (!legacy_hub) {
        put_le32(request, word);
        return;
    }
    request[0] = kLegacyMarker;
    request[2] = legacy_code;
}

bool Command::report_exchange_error(int code, const char* operation, zel::SourceLocation where) {
    if (code == results::exchange::kOk) return false;
    return report_exchange_error(code, operation, source_name(where.file_name()).c_str(), int(where.line()));
}

bool Command::report_exchange_error(int code, const char* operation, const char* source_file, int line) {
    if (code == results::exchange::kOk) return false;
    logger->Error("USB CDC read/write interface: error calling \"%s\" at %s:%d.\n", operation, source_file, line);
    const char* detail = nullptr;
    switch (code) {
        case results::exchange::kWriteFailed: detail = "what(): write() failed\n"; break;
        case results::exchange::kMismatch:
            detail = "what(): write/read failed - differences between messages (tx, rx)\n";
            break;
        case results::exchange::kShort: detail = "what(): read() failed - unexpected amount of bytes\n"; break;
        case results::exchange::kNoFeedback: detail = "what(): read() failed - HUB v2.0.0 with no feedback!\n"; break;
        case results::exchange::kStatusOnly:
            detail = "what(): read() failed - HUB v2.0.0 read feedback in previous line!\n";
            break;
        case results::exchange::kNotConnected: detail = "what(): Virtual serial port not connected \n"; break;
        default: break;
    }
    if (detail != nullptr) logger->Error("%s", detail);
    return true;
}
