// The HUB model's firmware-upgrade side: the HUB's bootloader (Atmel form
// with 0xAE requests, ST form with the words 0x0071..0x0074), and the
// sensors' bootloader behind the HUB (forwarded behind 00 15 17 00 by a
// current HUB, passed on as they are by a legacy one), with the sensor
// count and auto addressing.
//
// Like a real bootloader it checks what it receives: the request form of
// its family, the order (start trigger, then chunks, then the final
// trigger), each chunk's declared length against what is still due, and
// that nothing arrives while it is still erasing or restarting. Every
// breach is recorded in `violations` and the request is otherwise ignored.
// It reassembles the chunks of each start trigger so tests can compare them
// with the image file. The bootloader takes the firmware length of the
// start trigger (bytes 8-11) as the number of bytes it will receive.
//
// A run trigger before any start trigger (Atmel '9' 0, ST 0x00710100 with
// selector 0) asks for the installed firmware: the first makes the
// bootloader check it and send the HUB-boot message, the next starts it.
//
// The firmware in flash is what the boot information reports: the running
// one until a part of the image is complete, then the image's (its last
// complete part's signature and the new version). The final trigger after
// a whole image, with the boot status 0xE0, makes the HUB run it: its
// information reports the new version from then on. An incomplete image
// leaves it reporting the old one. Likewise each sensor that auto
// addressing reports as running after a whole image (0xE0) takes the
// image's signature and the new sensor version, in its entries and in its
// -sinfo record (matched by address).
//
// An ST bootloader cannot tell a further part's start trigger from the final
// trigger (both are 0x00730100): it treats the word as a start trigger until
// `st_parts` parts have started, and as the final trigger after that.
//
// Scenario keys (numbers decimal or 0x hex; flags yes/no, on/off, true/false,
// 1/0; texts take \r \n \t \\ \xNN):
//   firmware.atmel_erase_ms = 3000      no chunk taken this soon after a start trigger
//   firmware.st_erase_ms = 5000
//   firmware.boot_message = TEXT        the HUB-boot message (512 bytes or more: no NUL)
//   firmware.boot_message_enabled = 1   0: no HUB-boot message after the last chunk
//   firmware.boot_message_ms = 250      its delay after the last chunk's echo
//   firmware.boot_status = 0xE0         boot information: status, code, versions
//   firmware.boot_code = 0
//   firmware.bootloader_version = 0x01020042
//   firmware.fw_version = W             default: the firmware in flash (below)
//   firmware.fw_signature = W           default: the firmware in flash (below)
//   firmware.new_version = W            the version an image installs (default: the
//                                       next minor release, 2.3.1-R -> 2.4.0-R)
//   firmware.new_sensor_version = W     the same for each upgraded sensor (default:
//                                       its own version's next minor release)
//   firmware.st_parts = 2               parts an ST bootloader takes before 0x00730100 runs
//   firmware.sensors = N                sensors wired to the HUB, with default records
//                                       (0-64, default 17, as info.sensors); set it
//                                       before any firmware.sensor.* key
//   firmware.sensors_in_boot = K        the first K of them start in their bootloader
//   firmware.sensor.I.FIELD = value     FIELD: address, signature, version,
//                                       calibration_status, status (0: by the
//                                       transfer), code, in_boot
//   firmware.sensor_count = N           the sensor-count reply (default: sensors running firmware)
//   firmware.addressing_count = N       n of auto addressing (default: sensors in bootloader)
//   firmware.entries_ms = 500           delay of the entries after the auto-addressing reply
//   firmware.entries_cut = B            bytes left off the end of the entries
//   firmware.sensor_boot_ms = 2000      sensors busy after the upgrade request,
//   firmware.sensor_trigger_ms = 1000   after a boot trigger,
//   firmware.sensor_erase_ms = 3000     after a start trigger,
//   firmware.sensor_restart_ms = 10000  after their last chunk
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/model/settings.hpp"

namespace sim {

class HubModel;
struct Request;
struct Exchange;

// One start trigger and the chunks that followed it, as a bootloader got them.
struct ReceivedPart {
    uint32_t trigger_word = 0;  // bytes 0-3 of the start trigger, as sent
    uint32_t selector = 0;      // bytes 4-7 of the start trigger
    uint32_t fw_length = 0;     // bytes 8-11: the bytes the bootloader expects
    uint32_t data_signature = 0;
    uint32_t fw_signature = 0;
    uint32_t image_word = 0;
    std::vector<uint8_t> first_block;     // bytes 24-535 of the start trigger
    std::vector<uint8_t> data;            // the chunks' declared bytes, in order
    std::vector<uint32_t> chunk_lengths;  // declared lengths, in order
    int64_t triggered_at = 0;
    bool complete = false;
};

struct UpgradeSensor {
    uint8_t address = 0;
    uint32_t signature = 0;  // of the firmware it runs
    uint32_t version = 0;    // reported in its auto-addressing entry
    uint32_t calibration_status = 0;
    bool in_boot = false;
    // The status of its entry; 0: 0xE0 when a whole image arrived, else 0xE3.
    uint8_t status = 0;
    uint8_t code = 0;
};

struct FirmwareArea {
    static constexpr int kMaxSensors = 64;

    // --- the HUB's bootloader ---
    int64_t atmel_erase_ms = 3000;
    int64_t st_erase_ms = 5000;
    std::string boot_message = "HUB bootloader: image written, checksum OK\r\n";
    bool boot_message_enabled = true;
    int64_t boot_message_ms = 250;
    uint8_t boot_status = 0xE0;
    uint8_t boot_code = 0x00;
    uint32_t bootloader_version = 0x01020042;  // 1.2.0-B
    std::optional<uint32_t> fw_version;        // what the boot information says, whatever is in flash
    std::optional<uint32_t> fw_signature;
    std::optional<uint32_t> new_version;
    std::optional<uint32_t> new_sensor_version;
    uint32_t running_signature = 0;  // of the firmware the HUB runs (0: not known)
    int st_parts = 2;

    // --- the sensors ---
    std::vector<UpgradeSensor> sensors = default_sensors(kDefaultSensorCount);
    int sensor_count = -1;
    int addressing_count = -1;
    int64_t entries_ms = 500;
    int entries_cut = 0;
    int64_t sensor_boot_ms = 2000;
    int64_t sensor_trigger_ms = 1000;
    int64_t sensor_erase_ms = 3000;
    int64_t sensor_restart_ms = 10000;

    // --- what it received ---
    std::vector<ReceivedPart> hub_parts;
    std::vector<ReceivedPart> sensor_parts;
    int hub_upgrade_requests = 0;
    int final_triggers = 0;
    int run_installed_requests = 0;  // run triggers before any image
    int boot_info_requests = 0;
    int boot_messages_sent = 0;
    int sensor_count_requests = 0;
    int sensor_upgrade_requests = 0;
    int hub_boot_msg_requests = 0;
    int sensor_boot_triggers = 0;
    int forwarded = 0;    // 540-byte requests passed on by a current HUB
    int unforwarded = 0;  // 536-byte sensor requests passed on by a legacy HUB
    int addressing_requests = 0;
    int hub_installs = 0;  // whole images the HUB went on to run
    std::vector<std::string> violations;

    // --- the transfer in progress: the parts received since the last upgrade
    // request, and the sensor parts since the last auto addressing ---
    size_t hub_first_part = 0;
    bool installed_reported = false;  // a run trigger before any image was answered
    size_t sensor_first_part = 0;

    // --- busy until (virtual 100 ns ticks) ---
    int64_t hub_ready_at = 0;
    int64_t sensors_ready_at = 0;

    static std::vector<UpgradeSensor> default_sensors(int count);
};

// The next minor release of a version quadruple (2.3.1-R -> 2.4.0-R), the
// default version of what an upgrade installs.
uint32_t next_release(uint32_t version);

// The 536-byte HUB-boot message and the boot-information reply as sent;
// `running_version` is the version of the firmware the HUB runs.
std::vector<uint8_t> hub_boot_message(const FirmwareArea& area);
std::vector<uint8_t> boot_info_reply(const FirmwareArea& area, uint32_t running_version, bool marker);
// The 60 bytes of one auto-addressing entry.
std::vector<uint8_t> addressing_entry(const UpgradeSensor& sensor, uint8_t status, uint8_t code);

// Takes one "key = value" setting of a scenario file; false when the key
// is not this area's (or the value does not fit it).
bool configure_firmware(FirmwareArea& area, const std::string& key, const std::string& value);

// Handles one request when it belongs to this area; false otherwise.
bool handle_firmware(HubModel& hub, const Request& request, Exchange& exchange);

}  // namespace sim
