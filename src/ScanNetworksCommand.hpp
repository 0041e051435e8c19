// Makes the HUB's WiFi interface scan one channel and hands out the access
// points it found, each network name once.
#pragma once

#include <string_view>

#include "src/Command.hpp"

struct AccessPointRecord {
    static constexpr size_t kSize = 46;
    static constexpr size_t kNameSize = 42;
    uint8_t RF_CHANNEL;
    uint8_t SECURITY_MODE;
    uint8_t RSSI_VAL;
    uint8_t NETWORK_TYPE;
    char SSID[kNameSize];  // up to its first zero byte, or all 42 bytes
};

// The caller's record: what was scanned and the list, laid out like the
// reply (count, 7 unused bytes, 11 entry slots of which `count` are valid).
struct ScanResult {
    static constexpr int kMaxEntries = 11;
    uint32_t channel;
    uint32_t band;
    uint8_t count;
    uint8_t unused[7];
    AccessPointRecord access_points[kMaxEntries];
};

class ScanNetworksCommand final : public Command {
public:
    using Command::Command;

    static constexpr uint32_t kRequestWord = 0x00791900;
    static constexpr uint8_t kLegacyCode = 0x79;
    static constexpr int kReplySize = 514;  // 8 + 11 entries of 46 bytes
    static constexpr int kEntriesOffset = 8;
    static constexpr int64_t kReplyTimeoutMs = 20000;

    uint8_t channel = 0;
    uint8_t band = 0;
    ScanResult* result = nullptr;  // not owned; may be null
    uint8_t request[kRequestSize] = {};
    uint8_t reply[kReplySize] = {};

    int32_t RunCommand() override;

private:
    // Keeps the first entry of each name, in order, and sets the count.
    void _remove_duplicate_SSIDs();
};

// The name of an entry slot: never read beyond its 42 bytes.
std::string_view access_point_name(const AccessPointRecord& entry);
