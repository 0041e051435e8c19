// The HUB model's WiFi area: the network record it holds, its answer to a
// new record, and the access points a scan finds.
//
// Requests (104 bytes; the framing must match the HUB's, and the bytes the
// protocol leaves empty must be zero, or the request is counted in
// `malformed` and not answered):
//   read   00 19 49 00 / AE 00 49 00, payload zero   -> 104 bytes: the reply
//          word (the request's head unless `read_reply_word` is set), record
//   write  00 19 50 00 / AE 00 50 00, payload record -> current: the 4-byte
//          status word; legacy: AE 00 50 00, status word, 96 zero bytes.
//          A record answered with status 0 becomes the HUB's record.
//   scan   00 19 79 00 band(le32) channel(le32) / AE band 79 channel
//          -> 514 bytes: count, 7 zero bytes, 11 entries of 46 bytes.
//
// Scenario keys (values in decimal or 0x hex where a number is asked):
//   network.ssid = text            network.psk = text       (0..32 bytes)
//   network.unity_addr = text      (0..4 bytes)
//   network.channel, network.port, network.dhcp, network.security,
//   network.band = number
//   network.server_ip, network.device_ip, network.gateway = a.b.c.d
//   network.write_status = number  status word answered to every write
//   network.read_reply_word = number   bytes 0-3 of the read reply
//   network.ap = channel security rssi type name
//          one access point per line, in order; the name is the rest of the
//          line (may be empty, at most 42 bytes). The first such line
//          replaces the default list.
//   network.scan_count = number    byte 0 of the scan reply (default: the
//          number of access points, at most 11)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class HubModel;
struct Request;
struct Exchange;

struct AccessPoint {
    uint8_t channel = 0;
    uint8_t security = 0;
    uint8_t rssi = 0;
    uint8_t type = 0;
    std::string name;  // up to 42 bytes; a 42-byte name has no terminator
};

struct NetworkArea {
    // Bytes 4-103 of a read reply: the wire record, as the HUB holds it.
    using Record = std::array<uint8_t, 100>;

    NetworkArea();

    // --- configuration ---
    Record record{};
    uint32_t write_status = 0;
    std::optional<uint32_t> read_reply_word;
    std::vector<AccessPoint> access_points;
    std::optional<uint8_t> scan_count;
    bool access_points_configured = false;

    // --- what the HUB received ---
    std::vector<Record> writes;  // every record received, accepted or not
    struct Scan {
        uint32_t band;
        uint32_t channel;
        bool legacy;
    };
    std::vector<Scan> scans;
    int reads = 0;
    int malformed = 0;

    // Field helpers on the record (offsets as in the 104-byte message).
    void set_text(size_t offset, size_t width, const std::string& text);
    void set_word(size_t offset, uint32_t value);
    uint32_t word(size_t offset) const;
    std::string text(size_t offset, size_t width) const;
};

// Takes one "key = value" setting of a scenario file; false when the key
// is not this area's (or the value does not fit it).
bool configure_network(NetworkArea& area, const std::string& key, const std::string& value);

// Handles one request when it belongs to this area; false otherwise.
bool handle_network(HubModel& hub, const Request& request, Exchange& exchange);

}  // namespace sim
