// The base of every operation on the HUB: the port, the framing flag and the
// exchange primitives (echo-checked request, single byte, bulk block, reply
// check) with their one error reporter.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "log/USB_Logger.hpp"
#include "serial/zel_usb_cdc_interface.hpp"

// Exchange codes returned by every exchange step.
enum ExchangeCode : int {
    EXCHANGE_OK = 0,
    EXCHANGE_WRITE_FAILED = 1,
    EXCHANGE_MISMATCH = 2,
    EXCHANGE_SHORT = 3,
    EXCHANGE_NO_FEEDBACK = 4,
    EXCHANGE_STATUS_ONLY = 5,
    EXCHANGE_NOT_CONNECTED = -1,
};

inline constexpr uint8_t kLegacyMarker = 0xAE;
inline constexpr int kRequestSize = 104;
inline constexpr int kBlockSize = 1250;
inline constexpr int64_t kEchoPause100ns = 163200;  // 16.32 ms
inline constexpr int64_t kEchoTimeoutMs = 100;

// Little-endian helpers for fixed layouts on the wire.
inline uint32_t get_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void put_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

class Command {
public:
    Command();
    virtual ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    virtual int32_t RunCommand() = 0;
    virtual int Connect();

    bool is_legacy() const { return legacy_hub; }
    zel_usb_cdc_interface& serial() { return *port; }

protected:
    // Writes a request; with `check_echo` reads and compares its echo
    // (codes 0-3), otherwise closes the port, waits for the HUB to restart
    // and opens it again (codes 0, 1, -1).
    int _send_message(const uint8_t* message, int length, bool check_echo);
    // Writes one byte and reads one byte back: 1, or a negative port result.
    int _send_byte(const uint8_t* byte);
    // Reads up to one block of 1250 bytes; the budget is charged only for
    // reads that bring nothing. Returns the count received.
    int _read_block(uint8_t* buffer, int64_t budget_ms);
    // Reads an N-byte reply and judges it by the framing.
    int _receive_message(uint8_t* reply, int length, int64_t timeout_ms);
    bool report_exchange_error(int code, const char* operation, const char* source_file, int line);

    // The device type of the connected port, 0 when not connected.
    uint32_t connected_device_type() const;
    void echo_pause();

    bool legacy_hub = false;
    USB_Logger* logger = nullptr;
    zel_usb_cdc_interface* port = nullptr;

private:
    void _check_HUB_version();
    void _report_requested_port_missing();
    static std::string requested_port_name(const std::string& wanted);
};
