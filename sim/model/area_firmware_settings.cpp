// The firmware area's scenario settings (zel_hub_sim --set, scenario files)
// and its default sensors.
#include <string>
#include <string_view>

#include "sim/model/area_firmware.hpp"
#include "sim/model/settings.hpp"

namespace sim {

namespace {

using settings::parse_number;

bool configure_sensor(FirmwareArea& a, std::string_view rest, const std::string& value) {
    size_t index = 0;
    std::string_view field;
    if (!settings::parse_indexed(rest, a.sensors.size(), index, field)) return false;
    UpgradeSensor& s = a.sensors[index];
    if (field == "address") return parse_number(value, s.address);
    if (field == "signature") return parse_number(value, s.signature);
    if (field == "version") return parse_number(value, s.version);
    if (field == "calibration_status") return parse_number(value, s.calibration_status);
    if (field == "status") return parse_number(value, s.status);
    if (field == "code") return parse_number(value, s.code);
    if (field == "in_boot") return settings::parse_bool(value, s.in_boot);
    return false;
}

}  // namespace

std::vector<UpgradeSensor> FirmwareArea::default_sensors(int count) {
    std::vector<UpgradeSensor> all;
    for (int i = 0; i < count; ++i) {
        UpgradeSensor s;
        s.address = uint8_t(0x10 + i);
        s.signature = 0x5E000000u + uint32_t(i);
        s.version = 0x01050042;  // 1.5.0-B
        s.calibration_status = 0x0C000000u | uint32_t(i);
        all.push_back(s);
    }
    return all;
}

bool configure_firmware(FirmwareArea& a, const std::string& key, const std::string& value) {
    static const std::string kPrefix = "firmware.";
    if (key.rfind(kPrefix, 0) != 0) return false;
    const std::string name = key.substr(kPrefix.size());
    // Times and counts are never negative (-1 in a count field means "not set").
    if (name == "atmel_erase_ms") return parse_number(value, a.atmel_erase_ms, 0);
    if (name == "st_erase_ms") return parse_number(value, a.st_erase_ms, 0);
    if (name == "boot_message_ms") return parse_number(value, a.boot_message_ms, 0);
    if (name == "st_parts") return parse_number(value, a.st_parts, 0);
    if (name == "sensor_count") return parse_number(value, a.sensor_count, 0);
    if (name == "addressing_count") return parse_number(value, a.addressing_count, 0);
    if (name == "entries_ms") return parse_number(value, a.entries_ms, 0);
    if (name == "entries_cut") return parse_number(value, a.entries_cut, 0);
    if (name == "sensor_boot_ms") return parse_number(value, a.sensor_boot_ms, 0);
    if (name == "sensor_trigger_ms") return parse_number(value, a.sensor_trigger_ms, 0);
    if (name == "sensor_erase_ms") return parse_number(value, a.sensor_erase_ms, 0);
    if (name == "sensor_restart_ms") return parse_number(value, a.sensor_restart_ms, 0);
    if (name == "boot_message") return settings::unescape(value, a.boot_message);
    if (name == "boot_message_enabled") return settings::parse_bool(value, a.boot_message_enabled);
    if (name == "boot_status") return parse_number(value, a.boot_status);
    if (name == "boot_code") return parse_number(value, a.boot_code);
    if (name == "bootloader_version") return parse_number(value, a.bootloader_version);
    if (name == "fw_version") return parse_number(value, a.fw_version);
    if (name == "fw_signature") return parse_number(value, a.fw_signature);
    if (name == "new_version") return parse_number(value, a.new_version);
    if (name == "new_sensor_version") return parse_number(value, a.new_sensor_version);
    if (name == "sensors") {
        int n = 0;
        if (!parse_number(value, n, 0, FirmwareArea::kMaxSensors)) return false;
        a.sensors = FirmwareArea::default_sensors(n);
        return true;
    }
    if (name == "sensors_in_boot") {
        int k = 0;
        if (!parse_number(value, k, 0)) return false;
        for (size_t i = 0; i < a.sensors.size(); ++i) a.sensors[i].in_boot = int(i) < k;
        return true;
    }
    if (name.rfind("sensor.", 0) == 0) return configure_sensor(a, std::string_view(name).substr(7), value);
    return false;
}

}  // namespace sim
