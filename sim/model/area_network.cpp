#include "sim/model/area_network.hpp"

#include <algorithm>

#include "sim/model/hub_model.hpp"
#include "sim/model/settings.hpp"
#include "sim/model/wire.hpp"

namespace sim {

namespace {

constexpr uint8_t kMarker = 0xAE;
constexpr uint8_t kRead = 0x49;
constexpr uint8_t kWrite = 0x50;
constexpr uint8_t kScan = 0x79;
constexpr size_t kScanReply = 514;
constexpr size_t kEntry = 46;
constexpr size_t kNameArea = 42;
constexpr size_t kSlots = 11;

// Offsets of the record's fields within the 104-byte message.
constexpr size_t kUnityAddr = 4, kDhcp = 8, kChannel = 12, kSecurity = 16, kServerIp = 20, kPort = 24, kDeviceIp = 28,
                 kGateway = 32, kBand = 36, kSsid = 40, kPsk = 72;

bool all_zero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::all_of(bytes.begin() + long(from), bytes.begin() + long(to), [](uint8_t b) { return b == 0; });
}

// A text field is a text, its terminator, and zeros to the end of the field.
bool well_formed_text(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
    const auto begin = bytes.begin() + long(offset);
    const auto zero = std::find(begin, begin + long(width), uint8_t(0));
    return zero != begin + long(width) && std::all_of(zero, begin + long(width), [](uint8_t b) { return b == 0; });
}

void handle_read(NetworkArea& area, const Request& request, bool legacy, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    if (!all_zero(b, 4, 104) || (legacy && (b[1] != 0 || b[3] != 0))) {
        ++area.malformed;
        return;
    }
    ++area.reads;
    if (area.read_reply_word) {
        append_le32(ex.reply, *area.read_reply_word);
    } else {
        ex.reply.assign(b.begin(), b.begin() + 4);
    }
    ex.reply.insert(ex.reply.end(), area.record.begin(), area.record.end());
}

void handle_write(NetworkArea& area, const Request& request, bool legacy, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    if ((legacy && (b[1] != 0 || b[3] != 0)) || !well_formed_text(b, kSsid, 32) || !well_formed_text(b, kPsk, 32)) {
        ++area.malformed;
        return;
    }
    NetworkArea::Record record;
    std::copy(b.begin() + 4, b.end(), record.begin());
    area.writes.push_back(record);
    if (area.write_status == 0) area.record = record;
    if (legacy) {
        ex.reply = {kMarker, 0x00, kWrite, 0x00};
        append_le32(ex.reply, area.write_status);
        ex.reply.resize(104, 0);
    } else {
        append_le32(ex.reply, area.write_status);
    }
}

void handle_scan(NetworkArea& area, const Request& request, bool legacy, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    NetworkArea::Scan scan{};
    scan.legacy = legacy;
    if (legacy) {
        if (!all_zero(b, 4, 104)) {
            ++area.malformed;
            return;
        }
        scan.band = b[1];
        scan.channel = b[3];
    } else {
        if (!all_zero(b, 12, 104)) {
            ++area.malformed;
            return;
        }
        scan.band = le32(&b[4]);
        scan.channel = le32(&b[8]);
    }
    area.scans.push_back(scan);
    const size_t found = std::min(area.access_points.size(), kSlots);
    ex.reply.assign(kScanReply, 0);
    ex.reply[0] = area.scan_count ? *area.scan_count : uint8_t(found);
    for (size_t i = 0; i < found; ++i) {
        const AccessPoint& ap = area.access_points[i];
        uint8_t* entry = &ex.reply[8 + i * kEntry];
        entry[0] = ap.channel;
        entry[1] = ap.security;
        entry[2] = ap.rssi;
        entry[3] = ap.type;
        std::copy_n(ap.name.begin(), std::min(ap.name.size(), kNameArea), entry + 4);
    }
}

}  // namespace

NetworkArea::NetworkArea() {
    // A HUB on a lab network, fixed address, WPA2, 2.4 GHz.
    set_text(kSsid, 32, "LabNet");
    set_text(kPsk, 32, "correct horse battery");
    set_text(kUnityAddr, 4, "U001");
    set_word(kDhcp, 0);
    set_word(kChannel, 6);
    set_word(kSecurity, 2);
    set_word(kServerIp, 192u | 168u << 8 | 1u << 16 | 10u << 24);
    set_word(kPort, 5555);
    set_word(kDeviceIp, 192u | 168u << 8 | 1u << 16 | 50u << 24);
    set_word(kGateway, 192u | 168u << 8 | 1u << 16 | 1u << 24);
    set_word(kBand, 0);
    access_points = {{6, 2, 52, 1, "LabNet"}, {6, 6, 71, 1, "Workshop"}, {6, 2, 80, 1, "LabNet"}};
}

void NetworkArea::set_text(size_t offset, size_t width, const std::string& text) {
    const size_t at = offset - 4;
    std::fill_n(record.begin() + long(at), width, uint8_t(0));
    std::copy_n(text.begin(), std::min(text.size(), width), record.begin() + long(at));
}

void NetworkArea::set_word(size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) record[offset - 4 + i] = uint8_t(value >> (8 * i));
}

uint32_t NetworkArea::word(size_t offset) const {
    return le32(&record[offset - 4]);
}

std::string NetworkArea::text(size_t offset, size_t width) const {
    const auto begin = record.begin() + long(offset - 4);
    return std::string(begin, std::find(begin, begin + long(width), uint8_t(0)));
}

bool configure_network(NetworkArea& area, const std::string& key, const std::string& value) {
    struct Text {
        const char* key;
        size_t offset, width;
    };
    static const Text texts[] = {{"network.ssid", kSsid, 32},
                                 {"network.psk", kPsk, 32},
                                 {"network.unity_addr", kUnityAddr, 4}};
    for (const Text& t : texts) {
        if (key != t.key) continue;
        if (value.size() > t.width) return false;
        area.set_text(t.offset, t.width, value);
        return true;
    }
    struct Word {
        const char* key;
        size_t offset;
        bool address;
    };
    static const Word words[] = {{"network.channel", kChannel, false},   {"network.port", kPort, false},
                                 {"network.dhcp", kDhcp, false},         {"network.security", kSecurity, false},
                                 {"network.band", kBand, false},         {"network.server_ip", kServerIp, true},
                                 {"network.device_ip", kDeviceIp, true}, {"network.gateway", kGateway, true}};
    for (const Word& w : words) {
        if (key != w.key) continue;
        uint32_t v = 0;
        if (!(w.address ? settings::parse_address(value, v) : settings::parse_number(value, v))) return false;
        area.set_word(w.offset, v);
        return true;
    }
    if (key == "network.write_status") return settings::parse_number(value, area.write_status);
    if (key == "network.read_reply_word") return settings::parse_number(value, area.read_reply_word);
    if (key == "network.scan_count") return settings::parse_number(value, area.scan_count);
    if (key == "network.ap") {
        // Four numbers, then the name: the rest of the line, blanks and all.
        std::string_view rest = value;
        uint8_t fields[4] = {};
        for (uint8_t& f : fields) {
            if (!settings::parse_number(settings::take_word(rest), f)) return false;
        }
        const std::string name(rest.substr(std::min(rest.find_first_not_of(" \t,"), rest.size())));
        if (name.size() > kNameArea) return false;
        if (!area.access_points_configured) area.access_points.clear();
        area.access_points_configured = true;
        area.access_points.push_back({fields[0], fields[1], fields[2], fields[3], name});
        return true;
    }
    return false;
}

bool handle_network(HubModel& hub, const Request& request, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    if (request.text || hub.mode() != Mode::Firmware || b.size() != 104) return false;
    const uint8_t op = b[2];
    if (op != kRead && op != kWrite && op != kScan) return false;
    const bool legacy = b[0] == kMarker;
    if (!legacy && (b[0] != 0x00 || b[1] != 0x19 || b[3] != 0x00)) return false;
    // A HUB understands only its own framing; anything else goes unanswered.
    if (legacy != hub.config().legacy) return false;
    NetworkArea& area = hub.config().network;
    switch (op) {
        case kRead: handle_read(area, request, legacy, ex); break;
        case kWrite: handle_write(area, request, legacy, ex); break;
        default: handle_scan(area, request, legacy, ex); break;
    }
    return true;
}

}  // namespace sim
