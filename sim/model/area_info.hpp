// The HUB model's handling of the device-information requests: the HUB
// information (current and legacy framing, and the Quillet's boot form), the
// sensor block and the log text typed for on the HUB's text console.
//
// Scenario keys (numbers in decimal or 0x hex; texts take \r \n \t \\ \xNN):
//   info.unique_id = W0 W1 W2 W3        the four words of the identifier
//   info.fw_version = 0x02030152        version quadruples (2.3.1-R)
//   info.bootloader_version = ...
//   info.usb_api_version = ...          interface versions (major.minor.patch16)
//   info.wifi_api_version = ...
//   info.bluetooth_api_version = ...
//   info.serial = TEXT                  at most 12 bytes; shorter is padded with zeros
//   info.legacy_marker = 0xAE           first byte of a legacy reply (a faulty HUB: other)
//   info.prod_assy / info.prod_board_id / info.prod_date = word
//   info.prod_epoch / info.build_time = seconds since 1970 (UTC)
//   info.sensors = N                    sensors wired to the HUB (0-64, default 17), with
//                                       default records; set it before any info.sensor.* key
//   info.sensor.I.FIELD = value         FIELD: address, signature, fw_version,
//                                       boot_status, bootloader_version,
//                                       calibration_date, calibration_id,
//                                       setup_status, build_number
//   info.sensor_block_length = L        the block cut or padded to L bytes (0: 4 + 60 N)
//   info.log_prefix = TEXT              sent before the log text (default \r\n)
//   info.log_text = TEXT                the HUB's log
//   info.log_repeat = N                 the log text N times over (default 1)
//   info.log_piece = B                  stream the log in pieces of B bytes (0: one piece)
//   info.log_gap_ms = MS                silence between two pieces
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/settings.hpp"

namespace sim {

class HubModel;
struct Request;
struct Exchange;

struct SensorModel {
    uint8_t address = 0;
    uint32_t signature = 0;
    uint32_t fw_version = 0;
    uint32_t boot_status = 0xE0;
    uint32_t bootloader_version = 0;
    uint32_t calibration_date = 0;
    uint32_t calibration_id = 0;
    uint32_t setup_status = 0;
    uint32_t build_number = 0;
};

// A plausible sensor for position i on the HUB.
SensorModel default_sensor(int i);

struct InfoArea {
    static constexpr int kMaxSensors = 64;
    static constexpr size_t kSerialSize = 12;

    // --- what the HUB reports ---
    std::array<uint32_t, 4> unique_id{0x00390027, 0x3436510b, 0x32383530, 0x0000a1b2};
    uint32_t fw_version = 0x02030152;          // 2.3.1-R
    uint32_t bootloader_version = 0x01020042;  // 1.2.0-B
    uint32_t usb_api_version = 0x02000001;     // 2.0.1
    uint32_t wifi_api_version = 0x01040000;    // 1.4.0
    uint32_t bluetooth_api_version = 0x01000003;
    std::string serial = "TV2412000317";
    uint8_t legacy_marker = 0xAE;
    uint32_t prod_assy = 0x00a43201;
    uint32_t prod_board_id = 0x0000b0a3;
    uint32_t prod_date = 0x20241105;
    uint32_t prod_epoch = 1730800800;  // 2024-11-05 10:00 UTC
    uint32_t build_time = 1733306400;  // 2024-12-04 10:00 UTC

    std::vector<SensorModel> sensors = default_sensors(kDefaultSensorCount);
    int sensor_block_length = 0;

    std::string log_prefix = "\r\n";
    std::string log_text =
        "HUB log\r\n"
        "00:00:00.012 boot: firmware 2.3.1-R\r\n"
        "00:00:00.250 sensors: " +
        std::to_string(kDefaultSensorCount) +
        " found\r\n"
        "00:00:01.104 wifi: connected\r\n";
    int log_repeat = 1;
    int log_piece = 0;
    int64_t log_gap_ms = 0;

    // --- what the HUB received ---
    int info_requests = 0;  // normal HUB information, either framing
    int boot_requests = 0;
    int sensor_requests = 0;
    int malformed = 0;                       // this area's words with a payload that is not all zero
    std::vector<std::string> console_lines;  // every line typed, without its CR

    // The bytes of one sensor block / of the log stream, as sent.
    std::vector<uint8_t> sensor_block() const;
    std::string log_stream() const;

    static std::vector<SensorModel> default_sensors(int count);
};

// The 104-byte reply to a HUB information request in the given framing.
std::vector<uint8_t> hub_info_reply(const InfoArea& area, bool legacy);
// The 104-byte reply to the Quillet's boot request.
std::vector<uint8_t> hub_boot_reply(const InfoArea& area);
// The 60 bytes of one sensor record.
std::vector<uint8_t> sensor_record_bytes(const SensorModel& sensor);

// Takes one "key = value" setting of a scenario file; false when the key
// is not this area's (or the value does not fit it).
bool configure_info(InfoArea& area, const std::string& key, const std::string& value);

// Handles one request when it belongs to this area; false otherwise.
bool handle_info(HubModel& hub, const Request& request, Exchange& exchange);
// Handles a text command typed to the HUB (the line without its CR).
bool handle_info_text(HubModel& hub, const std::string& line, Exchange& exchange);

}  // namespace sim
