// The firmware upgrade: the HUB's own firmware (through its bootloader, in
// the Atmel or the ST form) or all sensors' firmware (through the HUB, into
// the sensors' bootloader), from one image file.
#pragma once

#include <array>
#include <cstdint>

#include "src/Command.hpp"
#include "src/FirmwareImage.hpp"

// What the HUB's bootloader reported after the upgrade; the path goes in.
struct HUBUpgradeInfo {
    uint32_t bootloader_version = 0;
    uint32_t fw_version = 0;
    uint32_t fw_signature = 0;
    char path[fwimage::kPathCapacity] = {};
    uint8_t status = 0;  // 0xE0 running OK, 0xE3 will be reset, else failed
    uint8_t code = 0;
};

// One slot per sensor entry of auto addressing; the path goes in.
struct SensorsUpgradeInfo {
    static constexpr int kSlots = 50;

    uint32_t calibration_status[kSlots] = {};
    uint32_t version[kSlots] = {};
    uint32_t signature[kSlots] = {};
    char path[fwimage::kPathCapacity] = {};
    uint8_t address[kSlots] = {};
    uint8_t status[kSlots] = {};  // 0xE0 running OK, 0xE3 stays in its bootloader, else failed
    uint8_t code[kSlots] = {};
    uint8_t count = 0;
    bool from_boot = false;
    bool check_connected = true;
};

class PerformFWUpgrade final : public Command {
public:
    using Command::Command;

    static constexpr int kBootRequestSize = 536;
    static constexpr int kForwardedSize = 540;
    static constexpr int kReplySize = 536;
    static constexpr int kEntrySize = 60;
    static constexpr int kMaxEntries = 33;

    // Request words and bootloader codes.
    static constexpr uint32_t kHubUpgradeWord = 0x00471A00;
    static constexpr uint32_t kSensorsUpgradeWord = 0x00481500;
    static constexpr uint32_t kSensorCountWord = 0x00191500;
    static constexpr uint32_t kAutoAddressingWord = 0x00511500;
    static constexpr uint32_t kForwardingHeader = 0x00171500;
    static constexpr uint32_t kStStartWord = 0x00710100;
    static constexpr uint32_t kStChunkWord = 0x00720100;
    static constexpr uint32_t kStRunWord = 0x00730100;
    static constexpr uint32_t kStBootInfoWord = 0x00740100;
    static constexpr uint8_t kCodeHubUpgrade = 'G';
    static constexpr uint8_t kCodeSensorsUpgrade = 'H';
    static constexpr uint8_t kCodeHubBootMsg = 'p';
    static constexpr uint8_t kCodeTrigger = '9';
    static constexpr uint8_t kCodeChunk = '6';
    static constexpr uint8_t kCodeBootInfo = '7';
    static constexpr uint8_t kCodeAutoAddressing = 'Q';

    HUBUpgradeInfo* hub_info = nullptr;
    SensorsUpgradeInfo* sensors_info = nullptr;
    bool hub_upgrade = false;
    bool valid = false;
    bool sensors_in_boot = false;

    // Reads the image and judges it for the HUB that Connect will open (any
    // HUB image when none was found): 0, or 25 with the lines that say what
    // is wrong. Call it before Connect, so that a refused file costs no
    // exchange; RunCommand does it itself otherwise.
    int32_t check_image();
    int32_t RunCommand() override;

private:
    // The header occupies bytes 0-3 and the request bytes 4-539, so a
    // forwarded request is one contiguous write. Bytes a request does not
    // name keep what earlier requests wrote: the bootloaders see exactly the
    // bytes the protocol fixes, including the stale ones.
    uint8_t* request() { return message_.data() + 4; }
    void _set_word(uint32_t word) { put_le32(request(), word); }
    // Byte 1 of the bootloader form is left as it was.
    void _set_bootloader_form(uint8_t code, uint8_t parameter) {
        request()[0] = kLegacyMarker;
        request()[2] = code;
        request()[3] = parameter;
    }
    // A HUB request in the HUB's framing (the bootloader form, parameter 0,
    // on a legacy HUB).
    void _set_head(uint32_t word, uint8_t legacy_code) {
        _frame(request(), word, legacy_code);
        if (legacy_hub) request()[3] = 0;
    }
    // Sends the 536-byte request with its echo checked, behind the
    // forwarding header while the sensors sit in their bootloader behind a
    // current HUB.
    int _send_boot_request();

    int32_t _upgrade_atmel();
    int32_t _upgrade_hub_atmel();
    int32_t _upgrade_sensors();
    int32_t _upgrade_st();
    int32_t _getBootInfo();
    int _readHUBBootMsg();
    int32_t _checkSensorsConnected(bool all_in_boot);
    int32_t _performAutoAddressing();
    // The upgrade request that sends the HUB into its bootloader: 0 or 31.
    int32_t _requestHUBUpgrade(const char* label);
    // Sends a data block in chunks (ST or bootloader form): an exchange code.
    // `parts` 0: a single-part image.
    int _sendFirmware(uint32_t data, uint32_t length, bool st_form, int part_no, int parts);
    int32_t _send_single_part(const char* erase_wait);
    // The path of the image and what the report names this path.
    const char* _path() const;
    const char* _who() const;
    // A documented wait, named for a terminal and for an interruption's report.
    void _wait(uint32_t ms, const char* what);
    void _fill_header(uint32_t fw_length, uint32_t data_signature, uint32_t fw_signature);

    fwimage::ImageBuffer image_;
    fwimage::SinglePartImage single_;
    fwimage::TwoPartImage two_;
    bool image_checked_ = false;
    HubKind checked_for_ = HubKind::None;  // the kind the image was judged for
    const HubKindRow* kind_ = nullptr;     // of the connected HUB

    std::array<uint8_t, kForwardedSize> message_{};
    std::array<uint8_t, kReplySize> reply_{};
    std::array<uint8_t, size_t(kMaxEntries) * kEntrySize> entries_{};
};
