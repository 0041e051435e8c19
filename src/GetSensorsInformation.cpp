#include "src/GetSensorsInformation.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "log/text.hpp"
#include "src/GetHUBInformation.hpp"

namespace {
constexpr const char* kSource = "src/GetSensorsInformation";
constexpr const char* kOperation = "GetSensorsInformation::RunCommand";
// Where the reports of this command have always placed their failures.
constexpr int kRequestLine = 28;
constexpr int kEmptyBlockLine = 35;

static_assert((kBlockSize - kSensorBlockHeader) / kSensorRecordSize <= kMaxSensorRecords,
              "one block never holds more records than the result has room for");
}  // namespace

SensorRecord parse_sensor_record(SensorRecordBytes record) {
    const uint8_t* r = record.data();
    SensorRecord s;
    s.address = r[0];
    s.signature = get_le32(r + 4);
    s.fw_version = get_le32(r + 8);
    s.boot_status = get_le32(r + 12);
    s.bootloader_version = get_le32(r + 16);
    s.calibration_date = get_le32(r + 24);
    s.calibration_id = get_le32(r + 28);
    s.setup_status = get_le32(r + 48);
    s.build_number = get_le32(r + 52);
    return s;
}

int sensor_count_of_block(int length) {
    // 1 to 3 bytes would come out as -1 by plain arithmetic: no records.
    if (length < kSensorBlockHeader) return 0;
    return (length - kSensorBlockHeader) / kSensorRecordSize;
}

void GetSensorsInformation::_log_sensor(SensorRecordBytes record) {
    const SensorRecord s = parse_sensor_record(record);
    const std::string calibrated = port->platform().format_local_time(s.calibration_date, kDeviceTimeFormat);
    logger->Info("Sensor with addr 0x%x:\n", s.address);
    logger->Info("    Bootloader version %s\n", version_text(s.bootloader_version, VersionForm::Letter).c_str());
    logger->Info("    Boot status %s\n", s.boot_status == 0xE0 ? "OK!" : "failure during last upgrade!");
    logger->Info("    Firmware version %s\n", version_text(s.fw_version, VersionForm::Letter).c_str());
    logger->Info("    Signature 0x%x\n", s.signature);
    logger->Info("    Setup status %s\n", s.setup_status == 0 ? "OK!" : "failure during initialisation!");
    logger->Info("    Calibration ID 0x%x\n", s.calibration_id);
    logger->Info("    Build number: dec=%d - hex=0x%x\n", static_cast<int>(s.build_number), s.build_number);
    logger->Info("    Date of calibration: %s\n", calibrated.c_str());
}

int GetSensorsInformation::_read_records() {
    if (!port->timing().fast) return _read_block(block_, kBlockBudgetMs);
    // As the documented block read, but once whole records have come, a
    // silence ends it rather than a read that runs out its time-out.
    auto whole = [](int n) { return n >= kSensorBlockHeader && (n - kSensorBlockHeader) % kSensorRecordSize == 0; };
    const int64_t quiet_ms = port->timing().records_quiet_ms;
    int received = 0;
    while (received < kBlockSize) {
        const bool was_whole = whole(received);
        const int got = was_whole
                            ? port->read_while_coming(block_ + received, kBlockSize - received, quiet_ms, quiet_ms)
                            : port->read_once(block_ + received, kBlockSize - received);
        if (got <= 0) break;
        received += got;
        if (was_whole && whole(received)) break;  // it fell silent after whole records
    }
    if (received != kBlockSize) {
        logger->Warning("zel_usb_cdc_interface::read_port(): Warning! Length missmatch %d == %d\n", received,
                        kBlockSize);
    }
    return received;
}

int32_t GetSensorsInformation::RunCommand() {
    // The request has no legacy form.
    if (legacy_hub) return results::sensor_info::kLegacyHub;

    _stage("reading the sensor information", "Nothing on the HUB was changed");
    request_.fill(0);
    put_le32(request_.data(), kRequestWord);
    const int code = _send_message(request_.data(), kRequestSize, true);
    if (report_exchange_error(code, kOperation, kSource, kRequestLine)) return results::sensor_info::kRequestFailed;

    std::memset(block_, 0, sizeof block_);
    const int length = std::clamp(_read_records(), 0, kBlockSize);
    if (length == 0) {
        logger->Error("GetSensorsInformation class: error calling \"%s\" at %s:%d.\n", kOperation, kSource,
                      kEmptyBlockLine);
        logger->Error("what(): _read_port() failed - zero bytes received\n");
        return results::sensor_info::kNoData;
    }

    const int count = sensor_count_of_block(length);
    logger->Info("Collected firmware information for %d sensors\n", count);
    for (int i = 0; i < count; ++i) {
        _log_sensor(SensorRecordBytes(block_ + kSensorBlockHeader + size_t(i) * kSensorRecordSize, kSensorRecordSize));
    }
    if (info != nullptr) {
        info->count = count;
        std::memcpy(info->records, block_ + kSensorBlockHeader, size_t(count) * kSensorRecordSize);
    }
    return 0;
}
