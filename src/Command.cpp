#include "src/Command.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr const char* kSource = "src/Command";
}

Command::Command() {
    logger = USB_Logger::Instance();
    legacy_hub = false;
    port = new zel_usb_cdc_interface();
    port->usb_ids.push_back({0x03EB, 0x2404});
    port->usb_ids.push_back({0x0483, 0x5740});
    port->usb_ids.push_back({0x0483, 0xA432});
    port->logger = logger;
    port->requested_port[0] = '\0';
    if (!port->find_ports()) port->status = -3;
    // ZEL_PORT picks one HUB when several are attached.
    const std::string wanted = port->platform().environment("ZEL_PORT");
    if (!wanted.empty()) {
        const std::string name = requested_port_name(wanted);
        std::snprintf(port->requested_port, sizeof port->requested_port, "%s", name.c_str());
    }
}

std::string Command::requested_port_name(const std::string& wanted) {
    // The table keeps names as open_port takes them (\\.\COM12 for COM12);
    // accept either spelling from the user.
    char entry[PortEntry::kNameSize];
    if (wanted.rfind("\\\\.\\", 0) == 0 || !make_port_entry_name(wanted, entry)) return wanted;
    return entry;
}

void Command::_report_requested_port_missing() {
    std::string found;
    for (int i = 0; i < port->port_count; ++i) found += (i ? ", " : "") + std::string(port->ports[i].name);
    logger->Error("CDC-interface: No HUB at the requested port '%s' (ZEL_PORT); HUB ports found: %s\n",
                  port->requested_port, found.empty() ? "none" : found.c_str());
}

Command::~Command() {
    if (port == nullptr) return;
    if (port->is_open) port->close_port();
    port->usb_ids.clear();
    delete port;
    port = nullptr;
}

uint32_t Command::connected_device_type() const {
    if (!port->connected || port->selected_port < 0 || port->selected_port >= port->port_count) return 0;
    return port->ports[port->selected_port].device_type;
}

void Command::echo_pause() {
    port->platform().timer_wait(kEchoPause100ns);
}

int Command::Connect() {
    if (port->status == -3) {
        if (port->requested_port[0] != '\0') _report_requested_port_missing();
        return -1;
    }
    if (port->requested_port[0] != '\0') {
        bool matched = false;
        for (int i = 0; i < port->port_count && !matched; ++i) {
            if (std::strcmp(port->requested_port, port->ports[i].name) != 0) continue;
            matched = true;
            port->selected_port = i;
            if (port->open_port(port->ports[i].name) < 0) {
                logger->Error("CDC-interface: Virtual-serial port '%s' no detected!\n", port->requested_port);
                port->status = -4;
            } else {
                port->connected = true;
            }
        }
        if (!matched) _report_requested_port_missing();
    } else {
        const PortEntry& first = port->ports[0];
        logger->Info("CDC-interface: A %s detected... \n", first.device_type == DEVICE_QUILLET ? "Quillet" : "Torvane");
        logger->Info("CDC-interface: No port-name provided... \n");
        logger->Info("CDC-interface: Connecting to '%s'\n", first.name);
        if (port->open_port(first.name) < 0) {
            logger->Error("CDC-interface: Virtual-serial port '%s' no detected!\n", first.name);
            port->status = -4;
        } else {
            port->connected = true;
        }
    }
    if (!port->connected) return -1;
    _check_HUB_version();
    return 0;
}

void Command::_check_HUB_version() {
    if (connected_device_type() == DEVICE_QUILLET) {
        legacy_hub = false;
        logger->Info("HUB version 2.0.0 or higher!!\n");
        return;
    }
    logger->Info("Checking hub version...\n");
    uint8_t probe[kRequestSize] = {};
    uint8_t echo[kRequestSize] = {};
    int code = EXCHANGE_OK;
    if (port->write_port(probe, kRequestSize) != kRequestSize) {
        code = EXCHANGE_WRITE_FAILED;
    } else {
        echo_pause();
        if (port->read_port(echo, kRequestSize, kEchoTimeoutMs) != kRequestSize) {
            code = EXCHANGE_SHORT;
        } else if (std::memcmp(echo, probe, kRequestSize) != 0) {
            code = EXCHANGE_MISMATCH;
        }
    }
    if (report_exchange_error(code, "Command::_check_HUB_version", kSource, __LINE__)) return;
    uint8_t answer[4] = {};
    if (port->read_port(answer, 4, 2000) != 4) {
        legacy_hub = true;
        logger->Info("HUB with legacy version\n");
    } else {
        legacy_hub = false;
        logger->Info("HUB version 2.0.0 or higher!!\n");
    }
}

int Command::_send_message(const uint8_t* message, int length, bool check_echo) {
    std::vector<uint8_t> echo(static_cast<size_t>(length));
    if (port->write_port(message, static_cast<uint32_t>(length)) != length) return EXCHANGE_WRITE_FAILED;
    echo_pause();
    if (check_echo) {
        if (port->read_port(echo.data(), length, kEchoTimeoutMs) != length) return EXCHANGE_SHORT;
        return std::memcmp(echo.data(), message, static_cast<size_t>(length)) == 0 ? EXCHANGE_OK : EXCHANGE_MISMATCH;
    }
    port->close_port();
    port->platform().sleep_ms(5000);
    // The HUB may come back under another name: look afresh, so the first
    // entry is the port present now rather than the one that vanished.
    port->clear_ports();
    if (!port->find_ports()) return EXCHANGE_OK;
    return port->open_port(port->ports[0].name) < 0 ? EXCHANGE_NOT_CONNECTED : EXCHANGE_OK;
}

int Command::_send_byte(const uint8_t* byte) {
    const int written = port->write_port(byte, 1);
    if (written < 0) return written;
    echo_pause();
    uint8_t echo = 0;
    const int got = port->read_port(&echo, 1, kEchoTimeoutMs);
    return got == 1 ? written : got;
}

int Command::_read_block(uint8_t* buffer, int64_t budget_ms) {
    zel::Platform& platform = port->platform();
    int received = 0;
    int64_t remaining = budget_ms;
    do {
        const int64_t start = platform.tick_count();
        const int got = platform.port_read(port->handle, buffer + received, static_cast<uint32_t>(kBlockSize - received));
        if (got > 0) {
            received += got;
        } else if (got < 0) {
            break;  // the device is gone: nothing more will come
        } else {
            const int64_t elapsed = std::max<int64_t>((platform.tick_count() - start) / 10000, 1);
            remaining = elapsed < remaining ? remaining - elapsed : 0;
        }
    } while (received < kBlockSize && remaining > 0);
    if (received != kBlockSize) {
        logger->Warning("zel_usb_cdc_interface::read_port(): Warning! Length missmatch %d == %d\n", received, kBlockSize);
    }
    return received;
}

int Command::_receive_message(uint8_t* reply, int length, int64_t timeout_ms) {
    const int got = port->read_port_count(reply, length, timeout_ms);
    if (legacy_hub) {
        if (got != length) return EXCHANGE_SHORT;
        return reply[0] == kLegacyMarker ? EXCHANGE_OK : EXCHANGE_MISMATCH;
    }
    if (got == length) return EXCHANGE_OK;
    if (got == 4 && length > 4) {
        logger->Warning("Command::_receive_message: What() Error in command issued -> status 0x%x\n", get_le32(reply));
        return EXCHANGE_STATUS_ONLY;
    }
    return EXCHANGE_NO_FEEDBACK;
}

bool Command::report_exchange_error(int code, const char* operation, const char* source_file, int line) {
    if (code == EXCHANGE_OK) return false;
    logger->Error("USB CDC read/write interface: error calling \"%s\" at %s:%d.\n", operation, source_file, line);
    const char* detail = nullptr;
    switch (code) {
        case EXCHANGE_WRITE_FAILED: detail = "what(): write() failed\n"; break;
        case EXCHANGE_MISMATCH: detail = "what(): write/read failed - differences between messages (tx, rx)\n"; break;
        case EXCHANGE_SHORT: detail = "what(): read() failed - unexpected amount of bytes\n"; break;
        case EXCHANGE_NO_FEEDBACK: detail = "what(): read() failed - HUB v2.0.0 with no feedback!\n"; break;
        case EXCHANGE_STATUS_ONLY: detail = "what(): read() failed - HUB v2.0.0 read feedback in previous line!\n"; break;
        case EXCHANGE_NOT_CONNECTED: detail = "what(): Virtual serial port not connected \n"; break;
        default: break;
    }
    if (detail != nullptr) logger->Error("%s", detail);
    return true;
}
