// -hinfo: the HUB's identity, versions and production data in one request
// and one 104-byte reply; with -boot on a Quillet, its boot information.
#pragma once

#include <array>
#include <cstdint>

#include "src/Command.hpp"

// What the driver prints; all zero until a reply has been accepted.
struct HUBInfo {
    static constexpr int kSerialChars = 12;

    uint32_t unique_id[4] = {};
    uint32_t build_time = 0;
    uint32_t prod_assy = 0;
    uint32_t prod_board_id = 0;
    uint32_t prod_date = 0;
    uint32_t prod_epoch = 0;
    uint32_t fw_version = 0;
    uint32_t bootloader_version = 0;
    uint32_t usb_api_version = 0;
    uint32_t wifi_api_version = 0;
    uint32_t bluetooth_api_version = 0;
    // 12 characters of text; the last byte stays 0 so it always ends.
    char serial_number[kSerialChars + 1] = {};
};

// Device times (seconds since 1970, UTC) as the reports show them.
inline constexpr const char* kDeviceTimeFormat = "%Y-%m-%d %H:%M %z";

// The reply's layout: byte offsets of its little-endian words.
namespace hub_info_reply {
inline constexpr int kUniqueId = 4;
inline constexpr int kFwVersion = 20;
inline constexpr int kBootloaderVersion = 24;
inline constexpr int kUsbApi = 28;
inline constexpr int kWifiApi = 32;
inline constexpr int kBluetoothApi = 36;
inline constexpr int kSerial = 40;
inline constexpr int kProdAssy = 72;
inline constexpr int kProdBoardId = 76;
inline constexpr int kProdDate = 80;
inline constexpr int kProdEpoch = 84;
inline constexpr int kBuildTime = 88;
// In the reply to the boot request: unique-identifier words 2 and 3.
inline constexpr int kBootProdAssy = 12;
inline constexpr int kBootBootloaderVersion = 16;
}  // namespace hub_info_reply

// Fills `info` from a whole 104-byte reply, the serial number cut to its field.
void parse_hub_info(const std::array<uint8_t, kRequestSize>& reply, HUBInfo& info);

class GetHUBInformation final : public Command {
public:
    using Command::Command;

    static constexpr uint32_t kInfoRequest = 0x00630100;
    static constexpr uint32_t kBootInfoRequest = 0x00870100;
    static constexpr uint8_t kLegacyCode = 0x63;
    static constexpr int64_t kReplyTimeoutMs = 45;

    HUBInfo* info = nullptr;
    bool boot_info = false;

    int32_t RunCommand() override;

private:
    void _build_request();
    void _log_short_report();

    std::array<uint8_t, kRequestSize> request_{};
    std::array<uint8_t, kRequestSize> reply_{};
};
