#include "sim/model/area_info.hpp"

#include <algorithm>

#include "sim/model/hub_model.hpp"
#include "sim/model/settings.hpp"
#include "sim/model/wire.hpp"

namespace sim {

namespace {

using settings::parse_number;

constexpr uint32_t kInfoWord = 0x00630100;
constexpr uint32_t kBootWord = 0x00870100;
constexpr uint32_t kSensorsWord = 0x00431500;
constexpr uint32_t kLegacyInfoWord = 0x006300AE;  // AE 00 63 00
constexpr uint8_t kUnused = 0xA5;                 // bytes the tool must not read stand out
constexpr size_t kReplySize = 104;

bool all_zero_payload(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin() + 4, bytes.end(), [](uint8_t v) { return v == 0; });
}

uint32_t* sensor_field(SensorModel& s, std::string_view name) {
    if (name == "signature") return &s.signature;
    if (name == "fw_version") return &s.fw_version;
    if (name == "boot_status") return &s.boot_status;
    if (name == "bootloader_version") return &s.bootloader_version;
    if (name == "calibration_date") return &s.calibration_date;
    if (name == "calibration_id") return &s.calibration_id;
    if (name == "setup_status") return &s.setup_status;
    if (name == "build_number") return &s.build_number;
    return nullptr;
}

bool configure_sensor(InfoArea& area, std::string_view rest, const std::string& value) {
    size_t index = 0;
    std::string_view field;
    if (!settings::parse_indexed(rest, area.sensors.size(), index, field)) return false;
    SensorModel& s = area.sensors[index];
    if (field == "address") return parse_number(value, s.address);
    uint32_t* target = sensor_field(s, field);
    return target != nullptr && parse_number(value, *target);
}

}  // namespace

SensorModel default_sensor(int i) {
    SensorModel s;
    s.address = uint8_t(0x10 + i);
    // The firmware the upgrade side reports for the same sensor (area_firmware).
    s.signature = 0x5E000000u + uint32_t(i);
    s.fw_version = 0x01050042;  // 1.5.0-B
    s.boot_status = 0xE0;
    s.bootloader_version = 0x01000042;  // 1.0.0-B
    s.calibration_date = 1730000000u + uint32_t(i) * 3600u;
    s.calibration_id = 0xca100000u + uint32_t(i);
    s.setup_status = 0;
    s.build_number = 300u + uint32_t(i);
    return s;
}

std::vector<SensorModel> InfoArea::default_sensors(int count) {
    std::vector<SensorModel> all;
    for (int i = 0; i < count; ++i) all.push_back(default_sensor(i));
    return all;
}

std::vector<uint8_t> sensor_record_bytes(const SensorModel& s) {
    std::vector<uint8_t> r(60, kUnused);
    r[0] = s.address;
    put32(r, 4, s.signature);
    put32(r, 8, s.fw_version);
    put32(r, 12, s.boot_status);
    put32(r, 16, s.bootloader_version);
    put32(r, 24, s.calibration_date);
    put32(r, 28, s.calibration_id);
    put32(r, 48, s.setup_status);
    put32(r, 52, s.build_number);
    return r;
}

std::vector<uint8_t> InfoArea::sensor_block() const {
    std::vector<uint8_t> block(4);
    put32(block, 0, kSensorsWord);
    for (const SensorModel& s : sensors) {
        const std::vector<uint8_t> r = sensor_record_bytes(s);
        block.insert(block.end(), r.begin(), r.end());
    }
    if (sensor_block_length > 0) block.resize(size_t(sensor_block_length), kUnused);
    return block;
}

std::string InfoArea::log_stream() const {
    std::string all = log_prefix;
    for (int i = 0; i < log_repeat; ++i) all += log_text;
    return all;
}

std::vector<uint8_t> hub_info_reply(const InfoArea& a, bool legacy) {
    std::vector<uint8_t> r(kReplySize, kUnused);
    put32(r, 0, legacy ? kLegacyInfoWord : kInfoWord);
    if (legacy) r[0] = a.legacy_marker;
    for (size_t i = 0; i < 4; ++i) put32(r, 4 + 4 * i, a.unique_id[i]);
    put32(r, 20, a.fw_version);
    put32(r, 24, a.bootloader_version);
    put32(r, 28, a.usb_api_version);
    put32(r, 32, a.wifi_api_version);
    put32(r, 36, a.bluetooth_api_version);
    for (size_t i = 0; i < InfoArea::kSerialSize; ++i) r[40 + i] = i < a.serial.size() ? uint8_t(a.serial[i]) : 0;
    put32(r, 72, a.prod_assy);
    put32(r, 76, a.prod_board_id);
    put32(r, 80, a.prod_date);
    put32(r, 84, a.prod_epoch);
    put32(r, 88, a.build_time);
    return r;
}

std::vector<uint8_t> hub_boot_reply(const InfoArea& a) {
    std::vector<uint8_t> r(kReplySize, 0);
    put32(r, 0, kBootWord);
    put32(r, 12, a.prod_assy);
    put32(r, 16, a.bootloader_version);
    return r;
}

bool configure_info(InfoArea& area, const std::string& key, const std::string& value) {
    static const std::string kPrefix = "info.";
    if (key.rfind(kPrefix, 0) != 0) return false;
    const std::string name = key.substr(kPrefix.size());

    struct Word {
        const char* name;
        uint32_t InfoArea::*field;
    };
    static const Word kWords[] = {
        {"fw_version", &InfoArea::fw_version},
        {"bootloader_version", &InfoArea::bootloader_version},
        {"usb_api_version", &InfoArea::usb_api_version},
        {"wifi_api_version", &InfoArea::wifi_api_version},
        {"bluetooth_api_version", &InfoArea::bluetooth_api_version},
        {"prod_assy", &InfoArea::prod_assy},
        {"prod_board_id", &InfoArea::prod_board_id},
        {"prod_date", &InfoArea::prod_date},
        {"prod_epoch", &InfoArea::prod_epoch},
        {"build_time", &InfoArea::build_time},
    };
    for (const Word& w : kWords) {
        if (name == w.name) return parse_number(value, area.*w.field);
    }

    if (name == "unique_id") {
        const std::vector<std::string_view> words = settings::split_words(value);
        std::array<uint32_t, 4> id{};
        if (words.size() != id.size()) return false;
        for (size_t i = 0; i < id.size(); ++i) {
            if (!parse_number(words[i], id[i])) return false;
        }
        area.unique_id = id;
        return true;
    }
    if (name == "serial") {
        std::string text;
        if (!settings::unescape(value, text) || text.size() > InfoArea::kSerialSize) return false;
        area.serial = text;
        return true;
    }
    if (name == "legacy_marker") return parse_number(value, area.legacy_marker);
    if (name == "sensors") {
        int count = 0;
        if (!parse_number(value, count, 0, InfoArea::kMaxSensors)) return false;
        area.sensors = InfoArea::default_sensors(count);
        return true;
    }
    if (name.rfind("sensor.", 0) == 0) return configure_sensor(area, std::string_view(name).substr(7), value);
    if (name == "sensor_block_length") return parse_number(value, area.sensor_block_length, 0, 1 << 20);
    if (name == "log_prefix") return settings::unescape(value, area.log_prefix);
    if (name == "log_text") return settings::unescape(value, area.log_text);
    if (name == "log_repeat") return parse_number(value, area.log_repeat, 0, 100000);
    if (name == "log_piece") return parse_number(value, area.log_piece, 0, 1 << 20);
    if (name == "log_gap_ms") return parse_number(value, area.log_gap_ms, 0, 600000);
    return false;
}

bool handle_info(HubModel& hub, const Request& request, Exchange& ex) {
    if (hub.mode() != Mode::Firmware || request.text || request.bytes.size() != kReplySize) return false;
    InfoArea& area = hub.config().info;
    const bool legacy = hub.config().legacy;
    // Each firmware generation knows only its own framing; the boot form is
    // the Quillet's alone.
    enum { Info, Boot, Sensors } kind;
    if (legacy && request.word == kLegacyInfoWord) {
        kind = Info;
    } else if (!legacy && request.word == kInfoWord) {
        kind = Info;
    } else if (!legacy && request.word == kBootWord && hub.config().kind == Kind::Quillet) {
        kind = Boot;
    } else if (!legacy && request.word == kSensorsWord) {
        kind = Sensors;
    } else {
        return false;
    }
    if (!all_zero_payload(request.bytes)) {
        ++area.malformed;
        return true;  // echoed, not answered
    }
    switch (kind) {
        case Info:
            ++area.info_requests;
            ex.reply = hub_info_reply(area, legacy);
            break;
        case Boot:
            ++area.boot_requests;
            ex.reply = hub_boot_reply(area);
            break;
        case Sensors:
            ++area.sensor_requests;
            ex.reply = area.sensor_block();
            break;
    }
    return true;
}

bool handle_info_text(HubModel& hub, const std::string& line, Exchange& ex) {
    if (hub.mode() != Mode::Firmware) return false;
    InfoArea& area = hub.config().info;
    area.console_lines.push_back(line);
    if (line != "? log") return false;
    const std::string stream = area.log_stream();
    const size_t piece = area.log_piece > 0 ? size_t(area.log_piece) : std::max<size_t>(stream.size(), 1);
    for (size_t at = 0; at < stream.size(); at += piece) {
        const std::string part = stream.substr(at, piece);
        std::vector<uint8_t> bytes(part.begin(), part.end());
        if (at == 0) {
            ex.reply = std::move(bytes);
        } else {
            ex.more.push_back({area.log_gap_ms, std::move(bytes)});
        }
    }
    return true;
}

}  // namespace sim
