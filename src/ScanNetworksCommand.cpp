#include "src/ScanNetworksCommand.hpp"

#include "log/text.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

static_assert(ScanNetworksCommand::kReplySize ==
              ScanNetworksCommand::kEntriesOffset + ScanResult::kMaxEntries * int(AccessPointRecord::kSize));

namespace {
constexpr const char* kOperation = "ScanNetworksCommand::RunCommand";

std::string_view name_in(const uint8_t* entry) {
    return bounded_text(entry + 4, AccessPointRecord::kNameSize);
}
}  // namespace

std::string_view access_point_name(const AccessPointRecord& entry) {
    return bounded_text(entry.SSID, sizeof entry.SSID);
}

int32_t ScanNetworksCommand::RunCommand() {
    _stage("scanning for WiFi networks", "Nothing on the HUB was changed");
    std::memset(request, 0, sizeof request);
    _frame(request, kRequestWord, kLegacyCode);
    if (legacy_hub) {
        // The legacy request carries band and channel in its head.
        request[1] = band;
        request[3] = channel;
    } else {
        put_le32(request + 4, band);
        put_le32(request + 8, channel);
    }
    int code = _send_message(request, kRequestSize, true);
    if (report_exchange_error(code, kOperation)) return results::scan::kRequestFailed;
    constexpr const char* kWaitingFor = "for the HUB's WiFi scan";
    if (legacy_hub) {
        // The first byte of this reply is the entry count, not the marker:
        // only its length can be judged.
        code = port->read_port(reply, kReplySize, kReplyTimeoutMs, kWaitingFor) == kReplySize
                   ? results::exchange::kOk
                   : results::exchange::kShort;
    } else {
        code = _receive_message(reply, kReplySize, kReplyTimeoutMs, kWaitingFor);
    }
    if (report_exchange_error(code, kOperation)) {
        reply[0] = 0;
        return results::scan::kReplyFailed;
    }
    reply[0] = std::min<uint8_t>(reply[0], ScanResult::kMaxEntries);
    _remove_duplicate_SSIDs();
    if (result != nullptr) {
        result->count = reply[0];
        std::memcpy(result->unused, reply + 1, sizeof result->unused);
        for (int i = 0; i < ScanResult::kMaxEntries; ++i) {
            const uint8_t* entry = reply + kEntriesOffset + size_t(i) * AccessPointRecord::kSize;
            AccessPointRecord& to = result->access_points[i];
            to.RF_CHANNEL = entry[0];
            to.SECURITY_MODE = entry[1];
            to.RSSI_VAL = entry[2];
            to.NETWORK_TYPE = entry[3];
            std::memcpy(to.SSID, entry + 4, sizeof to.SSID);
        }
    }
    return 0;
}

void ScanNetworksCommand::_remove_duplicate_SSIDs() {
    constexpr size_t kEntry = AccessPointRecord::kSize;
    uint8_t* entries = reply + kEntriesOffset;
    const int count = std::min<int>(reply[0], ScanResult::kMaxEntries);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t* entry = entries + size_t(i) * kEntry;
        const std::string_view name = name_in(entry);
        bool seen = false;
        for (int k = 0; k < kept && !seen; ++k) seen = name_in(entries + size_t(k) * kEntry) == name;
        if (seen) continue;
        if (kept != i) std::memmove(entries + size_t(kept) * kEntry, entry, kEntry);
        ++kept;
    }
    reply[0] = uint8_t(kept);
}
