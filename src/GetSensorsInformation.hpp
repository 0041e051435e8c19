// -sinfo: one request, and the HUB streams a block with a 60-byte record of
// firmware information for every sensor wired to it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "src/Command.hpp"

inline constexpr int kSensorRecordSize = 60;
inline constexpr int kSensorBlockHeader = 4;
inline constexpr int kMaxSensorRecords = 33;

// The fields of one record that the report shows (little-endian on the wire).
struct SensorRecord {
    uint8_t address = 0;
    uint32_t signature = 0;
    uint32_t fw_version = 0;
    uint32_t boot_status = 0;  // 0xE0: the last firmware upgrade succeeded
    uint32_t bootloader_version = 0;
    uint32_t calibration_date = 0;
    uint32_t calibration_id = 0;
    uint32_t setup_status = 0;  // 0: the sensor's initialisation succeeded
    uint32_t build_number = 0;
};

using SensorRecordBytes = std::span<const uint8_t, kSensorRecordSize>;

SensorRecord parse_sensor_record(SensorRecordBytes record);
// Whole records in a block of `length` bytes; a block too short for its
// header holds none.
int sensor_count_of_block(int length);

// Filled by the command: the records as received.
struct SensorsInfo {
    int32_t count = 0;
    uint8_t records[kMaxSensorRecords][kSensorRecordSize] = {};
};

class GetSensorsInformation final : public Command {
public:
    using Command::Command;

    static constexpr uint32_t kRequestWord = 0x00431500;
    static constexpr int64_t kBlockBudgetMs = 45;

    SensorsInfo* info = nullptr;

    int32_t RunCommand() override;

private:
    void _log_sensor(SensorRecordBytes record);
    // The block of records: 1250 bytes or what came of them.
    int _read_records();

    std::array<uint8_t, kRequestSize> request_{};
    uint8_t block_[kBlockSize] = {};
};
