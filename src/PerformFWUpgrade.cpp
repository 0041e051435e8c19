#include "src/PerformFWUpgrade.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kSource = "src/PerformFWUpgrade";
constexpr int64_t kReplyTimeoutMs = 45;
constexpr int64_t kHubBootMsgTimeoutMs = 15000;
constexpr int64_t kAfterHubBootMsg100ns = 327680;  // 32.768 ms
constexpr int64_t kAutoAddressingTimeoutMs = 12000;
constexpr uint32_t kTextOffset = 24;  // the HUB-boot message's text, and a request's block

constexpr const char* kAtmel = "PerformFWUpgrade::_upgrade_atmel";
constexpr const char* kST = "PerformFWUpgrade::_upgrade_st";

}  // namespace

int32_t PerformFWUpgrade::RunCommand() {
    device_type = connected_device_type();
    if (device_type == DEVICE_QUILLET && run_existing_fw) return 36;
    if (run_existing_fw) return _runExistingFW();
    if (!hub_upgrade) return _upgrade_atmel();
    if (device_type == DEVICE_QUILLET || device_type == DEVICE_TORVANE_ST) return _upgrade_st();
    if (device_type == DEVICE_TORVANE_ATMEL) return _upgrade_atmel();
    return 36;
}

// --- helpers ----------------------------------------------------------------

bool PerformFWUpgrade::_show_progress() {
    // Asked once per upgrade, not once per chunk.
    if (show_progress_ < 0) show_progress_ = port->platform().stderr_is_terminal() ? 1 : 0;
    return show_progress_ == 1;
}

void PerformFWUpgrade::_progress(const char* format, ...) {
    if (!_show_progress()) return;
    char text[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) port->platform().write_stderr(std::string_view(text, std::min<size_t>(size_t(n), sizeof text - 1)));
}

void PerformFWUpgrade::_sleep(uint32_t ms, const char* what) {
    _progress("Waiting %u.%u s %s...\n", ms / 1000, (ms % 1000) / 100, what);
    port->platform().sleep_ms(ms);
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

int32_t PerformFWUpgrade::_load_image(const char* who, char target, fwimage::ImageBuffer& image,
                                      fwimage::SinglePartImage* single, fwimage::TwoPartImage* two) {
    const char* path = hub_upgrade ? hub_info->path : sensors_info->path;
    if (std::memchr(path, 0, fwimage::kPathCapacity) == nullptr) {
        logger->Error("PerformFWUpgrade: Image path longer than %d characters!\n", int(fwimage::kPathCapacity) - 1);
        return 23;
    }
    // A file that cannot be read leaves the tag zero: refused by the tag check.
    const fwimage::ReadResult read = fwimage::read_image_file(path, image);
    if (!fwimage::tag_matches(image.file(), target) && read != fwimage::ReadResult::TooLarge) {
        logger->Error("%s: No valid file provided!\n", who);
        return 25;
    }
    std::string problem;
    if (read == fwimage::ReadResult::TooLarge) {
        problem = "file larger than " + std::to_string(fwimage::kMaxFileSize) + " bytes";
    } else if (single != nullptr) {
        problem = fwimage::check_single_part(image.file(), *single);
    } else {
        problem = fwimage::check_two_part(image.file(), *two);
    }
    if (!problem.empty()) {
        logger->Error("%s: No valid file provided!\n", who);
        logger->Error("PerformFWUpgrade: Invalid image - %s\n", problem.c_str());
        image.release();
        return 25;
    }
    return 0;
}

int PerformFWUpgrade::_sendFirmware(const fwimage::ImageBuffer& image, uint32_t data, uint32_t length, bool st_form) {
    const uint32_t chunks = fwimage::chunk_count(length);
    int code = EXCHANGE_OK;
    for (uint32_t k = 0; k < chunks && code == EXCHANGE_OK; ++k) {
        if (st_form) {
            _set_word(kStChunkWord);
        } else {
            _set_bootloader_form(kCodeChunk, 0);
        }
        put_le32(request() + 4, fwimage::chunk_length(length, k));
        // Always a full 512 bytes: the image was checked to hold the data, and
        // the buffer's spare 512 bytes cover the tail of the last chunk.
        std::memcpy(request() + kTextOffset, image.bytes.data() + data + size_t(k) * fwimage::kBlockSize,
                    fwimage::kBlockSize);
        _progress("\rSending firmware: chunk %u of %u", k + 1, chunks);
        code = _send_boot_request();
    }
    if (chunks > 0) _progress("\n");
    return code;
}

// The single-part image after the bootloader is ready: header and first
// block with the start trigger, the bootloader's wait, then the chunks.
// 0, 28 (start trigger) or 30 (a chunk); the image is released afterwards.
int32_t PerformFWUpgrade::_send_single_part(fwimage::ImageBuffer& image, const fwimage::SinglePartImage& layout,
                                            const char* wait_what) {
    _fill_header(layout.length, layout.data_signature, layout.fw_signature);
    put_le32(request() + 20, layout.image_word);
    std::memcpy(request() + kTextOffset, image.bytes.data() + layout.first_block, fwimage::kBlockSize);
    logger->Info("PerformFWUpgrade: length 0x%x\n", layout.length);
    logger->Info("PerformFWUpgrade: firmware signature 0x%x\n", layout.fw_signature);
    logger->Info("PerformFWUpgrade: data signature 0x%x\n", layout.data_signature);

    _set_bootloader_form(kCodeTrigger, 1);
    if (report_exchange_error(_send_boot_request(), "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()", kSource,
                              __LINE__)) {
        return 28;
    }
    _sleep(3000, wait_what);
    if (report_exchange_error(_sendFirmware(image, layout.data, layout.length, false),
                              "PerformFWUpgrade::_upgrade_atmel in _sendFirmware()", kSource, __LINE__)) {
        return 30;
    }
    image.release();
    return 0;
}

// --- HUB ---------------------------------------------------------------------

int32_t PerformFWUpgrade::_upgrade_atmel() {
    if (!valid || (hub_upgrade ? hub_info == nullptr : sensors_info == nullptr)) return 24;
    fwimage::ImageBuffer image;
    fwimage::SinglePartImage layout;
    const int32_t loaded =
        _load_image(kAtmel, fwimage::expected_target(hub_upgrade, device_type), image, &layout, nullptr);
    if (loaded != 0) return loaded;
    return hub_upgrade ? _upgrade_hub_atmel(image, layout) : _upgrade_sensors(image, layout);
}

int32_t PerformFWUpgrade::_upgrade_hub_atmel(fwimage::ImageBuffer& image, const fwimage::SinglePartImage& layout) {
    if (legacy_hub) {
        _set_bootloader_form(kCodeHubUpgrade, 0);
    } else {
        _set_word(kHubUpgradeWord);
    }
    if (report_exchange_error(_send_message(request(), kRequestSize, false),
                              "PerformFWUpgrade::_upgrade_atmel in _requestHUBUpgrade()", kSource, __LINE__)) {
        return 31;
    }

    if (const int32_t sent = _send_single_part(image, layout, "for the HUB bootloader to get ready")) return sent;
    _readHUBBootMsg();
    if (_getBootInfo() != 0) return 33;
    _set_bootloader_form(kCodeTrigger, 0);
    if (report_exchange_error(_send_boot_request(), "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()", kSource,
                              __LINE__)) {
        return 29;
    }
    return 0;
}

int32_t PerformFWUpgrade::_upgrade_st() {
    if (!valid || hub_info == nullptr) return 24;
    fwimage::ImageBuffer image;
    fwimage::TwoPartImage layout;
    const int32_t loaded = _load_image(kST, fwimage::expected_target(true, device_type), image, nullptr, &layout);
    if (loaded != 0) return loaded;

    if (legacy_hub) {
        _set_bootloader_form(kCodeHubUpgrade, 0);
    } else {
        _set_word(kHubUpgradeWord);
    }
    if (report_exchange_error(_send_message(request(), kRequestSize, false),
                              "PerformFWUpgrade::_upgrade_st in _requestHUBUpgrade()", kSource, __LINE__)) {
        return 31;
    }
    put_le32(request() + 20, layout.image_word);

    for (int32_t i = 0; i < layout.count; ++i) {
        const fwimage::ImagePart& part = layout.part(i);
        _fill_header(part.fw_length, part.data_signature, part.fw_signature);
        std::memcpy(request() + kTextOffset, image.bytes.data() + fwimage::TwoPartImage::kFirstBlock,
                    fwimage::kBlockSize);
        logger->Info("PerformFWUpgrade: firmware length 0x%x\n", part.fw_length);
        logger->Info("PerformFWUpgrade: data length 0x%x\n", part.data_length);
        logger->Info("PerformFWUpgrade: firmware signature 0x%x\n", part.fw_signature);
        logger->Info("PerformFWUpgrade: data signature 0x%x\n", part.data_signature);

        if (i < 2) {
            _set_word(kStStartWord);
            put_le32(request() + 4, uint32_t(1 - i));
        } else {
            // A further part goes out with the run word; bytes 4-7 keep what
            // the previous part's last chunk left there.
            _set_word(kStRunWord);
        }
        if (report_exchange_error(_send_boot_request(), "PerformFWUpgrade::_upgrade_st in _sendTrigger()", kSource,
                                  __LINE__)) {
            return 28;
        }
        _sleep(5000, "for the HUB bootloader to get ready");
        if (report_exchange_error(_sendFirmware(image, part.data, part.data_length, true),
                                  "PerformFWUpgrade::_upgrade_st in _sendFirmware()", kSource, __LINE__)) {
            return 30;
        }
        _readHUBBootMsg();
        if (_getBootInfo() != 0) return 33;
    }

    _set_word(kStRunWord);
    if (report_exchange_error(_send_boot_request(), "PerformFWUpgrade::_upgrade_st in _sendTrigger()", kSource,
                              __LINE__)) {
        return 29;
    }
    image.release();
    return 0;
}

int32_t PerformFWUpgrade::_getBootInfo() {
    if (device_type == DEVICE_TORVANE_ATMEL) {
        _set_bootloader_form(kCodeBootInfo, 0);
    } else {
        _set_word(kStBootInfoWord);
    }
    if (report_exchange_error(_send_message(request(), kBootRequestSize, true), "PerformFWUpgrade::_getBootInfo",
                              kSource, __LINE__)) {
        return 26;
    }
    if (report_exchange_error(_receive_message(reply_.data(), kReplySize, kReplyTimeoutMs),
                              "PerformFWUpgrade::_getBootInfo", kSource, __LINE__)) {
        return 27;
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
    _progress("Waiting up to 15 s for the HUB-boot message...\n");
    int code = EXCHANGE_OK;
    if (port->read_port(reply_.data(), kReplySize, kHubBootMsgTimeoutMs) == kReplySize) {
        // Printed up to its NUL, and never beyond the reply buffer.
        const char* text = reinterpret_cast<const char*>(reply_.data() + kTextOffset);
        const size_t room = kReplySize - kTextOffset;
        const void* nul = std::memchr(text, 0, room);
        const size_t length = nul != nullptr ? size_t(static_cast<const char*>(nul) - text) : room;
        logger->Info("HUB-boot message: %.*s", int(length), text);
    } else {
        code = legacy_hub ? EXCHANGE_SHORT : EXCHANGE_NO_FEEDBACK;
    }
    port->platform().timer_wait(kAfterHubBootMsg100ns);
    return code;
}

int32_t PerformFWUpgrade::_runExistingFW() {
    if (hub_upgrade) {
        auto trigger = [this] {
            if (device_type == DEVICE_TORVANE_ATMEL) {
                _set_bootloader_form(kCodeTrigger, 0);
            } else {
                _set_word(kStStartWord);
                put_le32(request() + 4, 0);
            }
            return _send_boot_request();
        };
        trigger();  // whether it came through shows in the boot information
        _readHUBBootMsg();
        _sleep(2000, "for the HUB firmware to start");
        if (_getBootInfo() != 0) return 33;
        if (report_exchange_error(trigger(), "PerformFWUpgrade::_runExistingFW in _sendTrigger()", kSource,
                                  __LINE__)) {
            return 29;
        }
        return 0;
    }

    if (legacy_hub) {
        _set_bootloader_form(kCodeHubBootMsg, 0);
        if (report_exchange_error(_send_message(request(), kRequestSize, false),
                                  "PerformFWUpgrade::_runExistingFW in _requestHUBBootMsg()", kSource, __LINE__)) {
            return 31;
        }
    }
    sensors_in_boot = true;
    _set_bootloader_form(kCodeTrigger, 0);
    if (report_exchange_error(_send_boot_request(), "PerformFWUpgrade::_runExistingFW in _sendTrigger()", kSource,
                              __LINE__)) {
        return 35;
    }
    _sleep(1000, "for the sensors' bootloader");
    _send_boot_request();  // the same trigger again; a miss here is not fatal
    _sleep(5000, "for the sensors to start");
    const int32_t addressed = _performAutoAddressing();
    sensors_in_boot = false;
    return addressed != 0 ? 34 : 0;
}

// --- sensors -------------------------------------------------------------------

int32_t PerformFWUpgrade::_upgrade_sensors(fwimage::ImageBuffer& image, const fwimage::SinglePartImage& layout) {
    if (!sensors_info->from_boot) {
        if (sensors_info->check_connected && device_type == DEVICE_TORVANE_ST && _checkSensorsConnected(false) != 0) {
            return 37;
        }
        if (legacy_hub) {
            _set_bootloader_form(kCodeSensorsUpgrade, 0);
        } else {
            _set_word(kSensorsUpgradeWord);
        }
        if (report_exchange_error(_send_message(request(), kRequestSize, true),
                                  "PerformFWUpgrade::_upgrade_atmel in _requestSensorsUpgrade()", kSource, __LINE__)) {
            return 31;
        }
        sensors_in_boot = true;
        _sleep(2000, "for the sensors to enter their bootloader");
    } else {
        if (sensors_info->check_connected && device_type == DEVICE_TORVANE_ST && _checkSensorsConnected(true) != 0) {
            return 37;
        }
        if (legacy_hub) {
            _set_bootloader_form(kCodeHubBootMsg, 0);
            if (report_exchange_error(_send_message(request(), kRequestSize, false),
                                      "PerformFWUpgrade::_upgrade_atmel in _requestHUBBootMsg()", kSource, __LINE__)) {
                return 31;
            }
        }
        sensors_in_boot = true;
        _set_bootloader_form(kCodeTrigger, 0);
        if (report_exchange_error(_send_boot_request(), "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()", kSource,
                                  __LINE__)) {
            return 35;
        }
        _sleep(1000, "for the sensors' bootloader");
    }

    if (const int32_t sent = _send_single_part(image, layout, "for the sensors' bootloader to get ready")) return sent;
    _sleep(10000, "for the sensors to restart");
    const int32_t addressed = _performAutoAddressing();
    sensors_in_boot = false;
    return addressed != 0 ? 34 : 0;
}

int32_t PerformFWUpgrade::_checkSensorsConnected(bool all_in_boot) {
    _set_word(kSensorCountWord);
    if (report_exchange_error(_send_message(request(), kRequestSize, true), "PerformFWUpgrade::_checkSensorsConnected",
                              kSource, __LINE__)) {
        return 26;
    }
    if (report_exchange_error(_receive_message(reply_.data(), kRequestSize, kReplyTimeoutMs),
                              "PerformFWUpgrade::_checkSensorsConnected", kSource, __LINE__)) {
        return 27;
    }
    const int count = reply_[0];
    if (all_in_boot) {
        if (count != 0) {
            logger->Error("PerformFWUpgrade::_checkSensorsConnected: At least %d sensors not in bootloader!\n", count);
            return 37;
        }
    } else if (count != 17 && count != 19) {
        logger->Error("PerformFWUpgrade::_checkSensorsConnected: %d sensors found! Some sensors missing.\n", count);
        return 37;
    }
    return 0;
}

int32_t PerformFWUpgrade::_performAutoAddressing() {
    static constexpr const char* kWho = "PerformFWUpgrade::_performAutoAddressing";
    if (legacy_hub) {
        _set_bootloader_form(kCodeAutoAddressing, 0);
    } else {
        _set_word(kAutoAddressingWord);
    }
    if (report_exchange_error(_send_message(request(), kBootRequestSize, true), kWho, kSource, __LINE__)) return 26;
    _progress("Waiting up to 12 s for auto addressing...\n");
    if (report_exchange_error(_receive_message(reply_.data(), kReplySize, kAutoAddressingTimeoutMs), kWho, kSource,
                              __LINE__)) {
        return 27;
    }
    const int n = reply_[2];
    logger->Info("Number of sensors in boot %d\n", n);
    if (n > kMaxEntries) {
        // Their entries would not fit: none is read.
        logger->Error("PerformFWUpgrade::_performAutoAddressing: %d sensors reported, at most %d can be received!\n", n,
                      kMaxEntries);
        return 32;
    }
    _sleep(legacy_hub ? 8000 : 2000, "for the sensor entries");
    const int length = n * kEntrySize;
    if (n > 0 && port->read_port(entries_.data(), length, kReplyTimeoutMs) != length) {
        report_exchange_error(legacy_hub ? EXCHANGE_SHORT : EXCHANGE_NO_FEEDBACK, kWho, kSource, __LINE__);
        return 32;
    }
    if (sensors_info != nullptr) {
        for (int i = 0; i < n; ++i) {
            const uint8_t* entry = entries_.data() + i * kEntrySize;
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
