#include "src/PerformFWUpgrade.hpp"

#include "log/text.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr int64_t kReplyTimeoutMs = 45;
constexpr int64_t kHubBootMsgTimeoutMs = 15000;
constexpr int64_t kAfterHubBootMsg100ns = 327680;  // 32.768 ms
constexpr int64_t kAutoAddressingTimeoutMs = 12000;
// The documented waits of the upgrade, the same in both timing modes.
constexpr uint32_t kSinglePartEraseMs = 3000;     // after the start trigger of a single-part image
constexpr uint32_t kPartEraseMs = 5000;           // after the start trigger of each part of a two-part image
constexpr uint32_t kSensorsEnterBootMs = 2000;    // after the sensors' upgrade request
constexpr uint32_t kSensorsBootTriggerMs = 1000;  // after the trigger to sensors already in their bootloader
constexpr uint32_t kSensorsRestartMs = 10000;     // after the last chunk to the sensors
// Before the sensors' records follow the reply of auto addressing (fast:
// their first byte is waited for as long).
constexpr uint32_t kRecordsLegacyMs = 8000;
constexpr uint32_t kRecordsMs = 2000;
constexpr uint32_t kTextOffset = 24;  // the HUB-boot message's text, and a request's block

constexpr const char* kAtmel = "PerformFWUpgrade::_upgrade_atmel";
constexpr const char* kST = "PerformFWUpgrade::_upgrade_st";
constexpr const char* kHubLeftInBootloader = "The HUB stays in its bootloader";
constexpr const char* kHubNext = "run -h with the same image file again to complete the upgrade";
constexpr const char* kSensorsLeftInBootloader = "The sensors stay in their bootloader";
constexpr const char* kSensorsNext = "run -sb with the same image file again to complete the upgrade";

std::string with(const char* label, const char* step) {
    return std::string(label) + " in " + step;
}

}  // namespace

int32_t PerformFWUpgrade::RunCommand() {
    kind_ = hub_kind(connected_device_type());
    if (kind_ == nullptr) return results::upgrade::kNotSupported;
    if (!hub_upgrade) return _upgrade_atmel();
    switch (kind_->upgrade) {
        case UpgradeForm::SinglePart: return _upgrade_atmel();
        case UpgradeForm::TwoPart: return _upgrade_st();
    }
    return results::upgrade::kNotSupported;
}

// --- the image ----------------------------------------------------------------

const char* PerformFWUpgrade::_path() const {
    return hub_upgrade ? hub_info->path : sensors_info->path;
}

const char* PerformFWUpgrade::_who() const {
    const HubKindRow* kind = hub_kind(checked_for_);
    return hub_upgrade && kind != nullptr && kind->upgrade == UpgradeForm::TwoPart ? kST : kAtmel;
}

int32_t PerformFWUpgrade::check_image() {
    if (hub_upgrade ? hub_info == nullptr : sensors_info == nullptr) return results::upgrade::kNotValid;
    const PortEntry* entry = chosen_entry();
    const HubKind type = entry != nullptr ? entry->device_type : HubKind::None;
    if (image_checked_ && checked_for_ == type) return 0;
    image_checked_ = false;
    checked_for_ = type;
    // Without a HUB the sensor image is judged whole, a HUB image by its tag.
    const char target = fwimage::expected_target(hub_upgrade, type);
    std::string problem = fwimage::read_image_file(port->platform(), _path(), image_);
    if (problem.empty()) problem = fwimage::check_tag(image_.file(), target);
    const HubKindRow* kind = hub_kind(type);
    if (problem.empty() && !hub_upgrade) problem = fwimage::check_single_part(image_.file(), single_);
    if (problem.empty() && hub_upgrade && kind != nullptr) {
        switch (kind->upgrade) {
            case UpgradeForm::SinglePart: problem = fwimage::check_single_part(image_.file(), single_); break;
            case UpgradeForm::TwoPart: problem = fwimage::check_two_part(image_.file(), two_); break;
        }
    }
    if (!problem.empty()) {
        logger->Error("%s: No valid file provided!\n", _who());
        logger->Error("PerformFWUpgrade: Invalid image - %s\n", problem.c_str());
        image_.release();
        return results::upgrade::kBadImage;
    }
    image_checked_ = true;
    return 0;
}

// --- helpers ----------------------------------------------------------------

void PerformFWUpgrade::_wait(uint32_t ms, const char* what) {
    _stage(std::string("waiting ") + what);
    port->sleep_ms(ms, what);
}

int PerformFWUpgrade::_send_boot_request() {
    put_le32(message_.data(), kForwardingHeader);
    if (sensors_in_boot && !legacy_hub) return _send_message(message_.data(), kForwardedSize, true);
    return _send_message(request(), kBootRequestSize, true);
}

void PerformFWUpgrade::_fill_header(uint32_t fw_length, uint32_t data_signature, uint32_t fw_signature) {
    put_le32(request() + 8, fw_length);
    put_le32(request() + 12, data_signature);
    put_le32(request() + 16, fw_signature);
}

int PerformFWUpgrade::_sendFirmware(uint32_t data, uint32_t length, bool st_form, int part_no, int parts) {
    const std::string part =
        parts > 0 ? " of part " + std::to_string(part_no) + " of " + std::to_string(parts) : std::string();
    const uint32_t chunks = fwimage::chunk_count(length);
    int code = results::exchange::kOk;
    for (uint32_t k = 0; k < chunks && code == results::exchange::kOk; ++k) {
        if (st_form) {
            _set_word(kStChunkWord);
        } else {
            _set_bootloader_form(kCodeChunk, 0);
        }
        put_le32(request() + 4, fwimage::chunk_length(length, k));
        // Always a full 512 bytes: the image was checked to hold the data, and
        // the buffer's spare 512 bytes cover the tail of the last chunk.
        std::memcpy(request() + kTextOffset, image_.bytes.data() + data + size_t(k) * fwimage::kBlockSize,
                    fwimage::kBlockSize);
        _stage("sending firmware chunk " + std::to_string(k + 1) + " of " + std::to_string(chunks) + part,
               zel::Progress{.chunk = int(k + 1), .chunks = int(chunks), .part = part_no, .parts = parts});
        port->show("Sending firmware: chunk " + std::to_string(k + 1) + " of " + std::to_string(chunks) + part);
        code = _send_boot_request();
    }
    port->show("");
    return code;
}

// The single-part image after the bootloader is ready: header and first
// block with the start trigger, the bootloader's wait, then the chunks.
// 0, 28 (start trigger) or 30 (a chunk); the image is released afterwards.
int32_t PerformFWUpgrade::_send_single_part(const char* erase_wait) {
    _fill_header(single_.length, single_.data_signature, single_.fw_signature);
    put_le32(request() + 20, single_.image_word);
    std::memcpy(request() + kTextOffset, image_.bytes.data() + single_.first_block, fwimage::kBlockSize);
    logger->Info("PerformFWUpgrade: length 0x%x\n", single_.length);
    logger->Info("PerformFWUpgrade: firmware signature 0x%x\n", single_.fw_signature);
    logger->Info("PerformFWUpgrade: data signature 0x%x\n", single_.data_signature);

    _stage("starting the firmware transfer");
    _set_bootloader_form(kCodeTrigger, 1);
    if (report_exchange_error(_send_boot_request(), with(kAtmel, "_sendTrigger()").c_str()))
        return results::upgrade::kStartTriggerFailed;
    _wait(kSinglePartEraseMs, erase_wait);
    if (report_exchange_error(_sendFirmware(single_.data, single_.length, false, 0, 0),
                              with(kAtmel, "_sendFirmware()").c_str())) {
        return results::upgrade::kChunkFailed;
    }
    image_.release();
    return 0;
}

// --- HUB ---------------------------------------------------------------------

int32_t PerformFWUpgrade::_requestHUBUpgrade(const char* label) {
    _set_head(kHubUpgradeWord, kCodeHubUpgrade);
    _stage("sending the HUB into its bootloader", kHubLeftInBootloader, kHubNext);
    if (report_exchange_error(_send_message(request(), kRequestSize, false),
                              with(label, "_requestHUBUpgrade()").c_str())) {
        return results::upgrade::kEnterBootloaderFailed;
    }
    return 0;
}

int32_t PerformFWUpgrade::_upgrade_atmel() {
    if (!valid || (hub_upgrade ? hub_info == nullptr : sensors_info == nullptr)) return results::upgrade::kNotValid;
    if (const int32_t refused = check_image()) return refused;
    return hub_upgrade ? _upgrade_hub_atmel() : _upgrade_sensors();
}

int32_t PerformFWUpgrade::_upgrade_hub_atmel() {
    if (const int32_t failed = _requestHUBUpgrade(kAtmel)) return failed;
    if (const int32_t sent = _send_single_part("for the HUB's flash to be erased")) return sent;
    _readHUBBootMsg();
    if (_getBootInfo() != 0) return results::upgrade::kBootInfoFailed;
    _stage("telling the bootloader to start the new firmware");
    _set_bootloader_form(kCodeTrigger, 0);
    if (report_exchange_error(_send_boot_request(), with(kAtmel, "_sendTrigger()").c_str()))
        return results::upgrade::kFinalTriggerFailed;
    return 0;
}

int32_t PerformFWUpgrade::_upgrade_st() {
    if (!valid || hub_info == nullptr) return results::upgrade::kNotValid;
    if (const int32_t refused = check_image()) return refused;
    if (const int32_t failed = _requestHUBUpgrade(kST)) return failed;
    put_le32(request() + 20, two_.image_word);

    for (int32_t i = 0; i < two_.count; ++i) {
        const fwimage::ImagePart& part = two_.part(i);
        _fill_header(part.fw_length, part.data_signature, part.fw_signature);
        std::memcpy(request() + kTextOffset, image_.bytes.data() + fwimage::TwoPartImage::kFirstBlock,
                    fwimage::kBlockSize);
        logger->Info("PerformFWUpgrade: firmware length 0x%x\n", part.fw_length);
        logger->Info("PerformFWUpgrade: data length 0x%x\n", part.data_length);
        logger->Info("PerformFWUpgrade: firmware signature 0x%x\n", part.fw_signature);
        logger->Info("PerformFWUpgrade: data signature 0x%x\n", part.data_signature);

        _stage("starting the transfer of part " + std::to_string(i + 1) + " of " + std::to_string(two_.count),
               zel::Progress{.part = int(i + 1), .parts = int(two_.count)});
        if (i < 2) {
            _set_word(kStStartWord);
            put_le32(request() + 4, uint32_t(1 - i));
        } else {
            // A further part goes out with the run word; bytes 4-7 keep what
            // the previous part's last chunk left there.
            _set_word(kStRunWord);
        }
        if (report_exchange_error(_send_boot_request(), with(kST, "_sendTrigger()").c_str()))
            return results::upgrade::kStartTriggerFailed;
        _wait(kPartEraseMs, "for the HUB's flash to be erased");
        if (report_exchange_error(_sendFirmware(part.data, part.data_length, true, int(i + 1), int(two_.count)),
                                  with(kST, "_sendFirmware()").c_str())) {
            return results::upgrade::kChunkFailed;
        }
        _readHUBBootMsg();
        if (_getBootInfo() != 0) return results::upgrade::kBootInfoFailed;
    }

    _stage("telling the bootloader to start the new firmware");
    _set_word(kStRunWord);
    if (report_exchange_error(_send_boot_request(), with(kST, "_sendTrigger()").c_str()))
        return results::upgrade::kFinalTriggerFailed;
    image_.release();
    return 0;
}

int32_t PerformFWUpgrade::_getBootInfo() {
    _stage("reading the bootloader's report");
    switch (kind_->boot_info) {
        case BootInfoForm::BootloaderCode: _set_bootloader_form(kCodeBootInfo, 0); break;
        case BootInfoForm::RequestWord: _set_word(kStBootInfoWord); break;
    }
    switch (_exchange(request(), kBootRequestSize, reply_.data(), kReplySize, kReplyTimeoutMs,
                      "PerformFWUpgrade::_getBootInfo")) {
        case Exchanged::RequestFailed: return results::upgrade::kRequestFailed;
        case Exchanged::ReplyFailed: return results::upgrade::kReplyFailed;
        case Exchanged::Ok: break;
    }
    if (hub_info != nullptr) {
        hub_info->status = reply_[3];
        hub_info->bootloader_version = get_le32(reply_.data() + 4);
        hub_info->code = reply_[2];
        hub_info->fw_version = get_le32(reply_.data() + 20);
        hub_info->fw_signature = get_le32(reply_.data() + 16);
    }
    return 0;
}

int PerformFWUpgrade::_readHUBBootMsg() {
    _stage("waiting for the HUB-boot message");
    int code = results::exchange::kOk;
    if (port->read_port(reply_.data(), kReplySize, kHubBootMsgTimeoutMs, "for the HUB-boot message") == kReplySize) {
        // Printed up to its NUL, and never beyond the reply buffer.
        const std::string_view text = bounded_text(reply_.data() + kTextOffset, kReplySize - kTextOffset);
        logger->Info("HUB-boot message: %.*s", int(text.size()), text.data());
    } else {
        code = legacy_hub ? results::exchange::kShort : results::exchange::kNoFeedback;
    }
    port->pause(kAfterHubBootMsg100ns);
    return code;
}

// --- sensors -------------------------------------------------------------------

int32_t PerformFWUpgrade::_upgrade_sensors() {
    const bool check = sensors_info->check_connected && kind_->counts_sensors;
    if (check) {
        _stage("counting the sensors", "Nothing was sent to the sensors",
               sensors_info->from_boot ? "-sb takes sensors that are all in their bootloader: run -s with the same "
                                         "image file instead"
                                       : "connect every sensor, then run -s with the same image file again");
    }
    if (!sensors_info->from_boot) {
        if (check && _checkSensorsConnected(false) != 0) return results::upgrade::kSensorsNotReady;
        _set_head(kSensorsUpgradeWord, kCodeSensorsUpgrade);
        _stage("sending the sensors into their bootloader", kSensorsLeftInBootloader, kSensorsNext);
        if (report_exchange_error(_send_message(request(), kRequestSize, true),
                                  with(kAtmel, "_requestSensorsUpgrade()").c_str())) {
            return results::upgrade::kEnterBootloaderFailed;
        }
        sensors_in_boot = true;
        _wait(kSensorsEnterBootMs, "for the sensors to enter their bootloader");
    } else {
        if (check && _checkSensorsConnected(true) != 0) return results::upgrade::kSensorsNotReady;
        _stage("starting the sensors' bootloader", kSensorsLeftInBootloader, kSensorsNext);
        if (legacy_hub) {
            _set_bootloader_form(kCodeHubBootMsg, 0);
            if (report_exchange_error(_send_message(request(), kRequestSize, false),
                                      with(kAtmel, "_requestHUBBootMsg()").c_str())) {
                return results::upgrade::kEnterBootloaderFailed;
            }
        }
        sensors_in_boot = true;
        _set_bootloader_form(kCodeTrigger, 0);
        if (report_exchange_error(_send_boot_request(), with(kAtmel, "_sendTrigger()").c_str())) {
            return results::upgrade::kBootTriggerFailed;
        }
        _wait(kSensorsBootTriggerMs, "for the sensors' bootloader");
    }

    if (const int32_t sent = _send_single_part("for the sensors' flash to be erased")) return sent;
    _stage("waiting for the sensors to restart", "Some sensors may still be in their bootloader",
           "run -sinfo to see them, and -sb with the same image file to complete their upgrade");
    _wait(kSensorsRestartMs, "for the sensors to restart");
    const int32_t addressed = _performAutoAddressing();
    sensors_in_boot = false;
    return addressed != 0 ? results::upgrade::kAutoAddressingFailed : 0;
}

int32_t PerformFWUpgrade::_checkSensorsConnected(bool all_in_boot) {
    _set_word(kSensorCountWord);
    switch (_exchange(request(), kRequestSize, reply_.data(), kRequestSize, kReplyTimeoutMs,
                      "PerformFWUpgrade::_checkSensorsConnected")) {
        case Exchanged::RequestFailed: return results::upgrade::kRequestFailed;
        case Exchanged::ReplyFailed: return results::upgrade::kReplyFailed;
        case Exchanged::Ok: break;
    }
    const int count = reply_[0];
    if (all_in_boot) {
        if (count != 0) {
            logger->Error("PerformFWUpgrade::_checkSensorsConnected: At least %d sensors not in bootloader!\n", count);
            return results::upgrade::kSensorsNotReady;
        }
    } else if (count != 17 && count != 19) {
        logger->Error("PerformFWUpgrade::_checkSensorsConnected: %d sensors found! Some sensors missing.\n", count);
        return results::upgrade::kSensorsNotReady;
    }
    return 0;
}

int32_t PerformFWUpgrade::_performAutoAddressing() {
    static constexpr const char* kWho = "PerformFWUpgrade::_performAutoAddressing";
    _stage("collecting the sensors' reports");
    _set_head(kAutoAddressingWord, kCodeAutoAddressing);
    if (report_exchange_error(_send_message(request(), kBootRequestSize, true), kWho))
        return results::upgrade::kRequestFailed;
    if (report_exchange_error(_receive_message(reply_.data(), kReplySize, kAutoAddressingTimeoutMs,
                                               "for the sensors to address themselves"),
                              kWho)) {
        return results::upgrade::kReplyFailed;
    }
    const int n = reply_[2];
    logger->Info("Number of sensors in boot %d\n", n);
    if (n > kMaxEntries) {
        // Their entries would not fit: none is read.
        logger->Error("PerformFWUpgrade::_performAutoAddressing: %d sensors reported, at most %d can be received!\n", n,
                      kMaxEntries);
        return results::upgrade::kSensorEntriesMissing;
    }
    const uint32_t before_records_ms = legacy_hub ? kRecordsLegacyMs : kRecordsMs;
    const int length = n * kEntrySize;
    // Fast: the records are read as they come, their first byte waited for
    // as long as the documented sleep and read would.
    const bool fast = port->timing().fast;
    if (!fast) _wait(before_records_ms, "for the sensors' records");
    const int64_t first_byte_ms =
        fast ? before_records_ms + zel_usb_cdc_interface::silent_read_ms(length, kReplyTimeoutMs) : 0;
    const int got =
        n == 0 ? 0 : port->read_port_count(entries_.data(), length, kReplyTimeoutMs, nullptr, first_byte_ms);
    if (n > 0 && got != length) {
        report_exchange_error(legacy_hub ? results::exchange::kShort : results::exchange::kNoFeedback, kWho);
        return results::upgrade::kSensorEntriesMissing;
    }
    if (sensors_info != nullptr) {
        for (int i = 0; i < n; ++i) {
            const uint8_t* entry = entries_.data() + size_t(i) * kEntrySize;
            sensors_info->address[i] = entry[0];
            sensors_info->status[i] = entry[3];
            sensors_info->code[i] = entry[2];
            sensors_info->calibration_status[i] = get_le32(entry + 28);
            sensors_info->version[i] = get_le32(entry + 8);
            sensors_info->signature[i] = get_le32(entry + 4);
        }
        sensors_info->count = static_cast<uint8_t>(n);
    }
    return 0;
}
