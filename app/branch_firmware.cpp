#include <cstring>
#include <memory>

#include "app/branches.hpp"
#include "src/PerformFWUpgrade.hpp"

namespace {

// A version quadruple as printed: three numbers and a release letter.
struct Version {
    int major, minor, patch;
    char letter;
};
Version split(uint32_t v) {
    return {int(v >> 24), int((v >> 16) & 0xFF), int((v >> 8) & 0xFF), char(v & 0xFF)};
}

// What a bootloader's status word says.
const char* outcome(uint8_t status) {
    return status == 0xE0 ? "running" : status == 0xE3 ? "will be reset" : "failed";
}

// The path goes into a fixed field; one that does not fit is refused rather
// than cut, which could name another file.
bool refuse_long_path(const char* path, const char* failure_line) {
    if (fwimage::path_fits(path)) return false;
    USB_Logger* logger = USB_Logger::Instance();
    logger->Error("PerformFWUpgrade: Image path of %u characters is too long (at most %u)!\n",
                  unsigned(std::strlen(path)), unsigned(fwimage::kPathCapacity - 1));
    logger->Error(failure_line, 23);
    return true;
}

// An upgrade that has run: the command stays alive until the branch has
// reported, so its port closes after the report, as the run's log shows.
struct Upgrade {
    std::unique_ptr<PerformFWUpgrade> command;
    int result;
};

// Creates the upgrade with zero buffers, announces it, lets `attach` give it
// its record, connects and runs it; logs the failure line.
template <typename Attach>
Upgrade run_upgrade(RunRecord& record, const char* creation_line, const char* failure_line, bool run_existing_fw,
                    Attach attach) {
    auto command = std::make_unique<PerformFWUpgrade>();  // large buffers: off the stack
    USB_Logger* logger = USB_Logger::Instance();
    logger->Info("%s", creation_line);
    attach(*command);
    command->valid = true;
    command->sensors_in_boot = false;
    command->run_existing_fw = run_existing_fw;
    // The image is judged before the HUB is touched: a refused file opens no port.
    const int32_t refused = command->check_image();
    const int result = refused != 0 ? refused : connect_and_run(*command, record);
    if (result != 0) logger->Error(failure_line, result);
    return {std::move(command), result};
}

}  // namespace

int branch_hub_upgrade(RunRecord& record, const char* path) {
    static constexpr const char* kFailure = "Something went wrong with HUB firmware-upgrade - error-code %d!!\n";
    if (refuse_long_path(path, kFailure)) return PerformFWUpgrade::kPathTooLong;
    // The records are large: keep them off the stack.
    auto info = std::make_unique<HUBUpgradeInfo>();
    std::strcpy(info->path, path);
    info->run_existing_fw = false;

    USB_Logger* logger = USB_Logger::Instance();
    const Upgrade upgrade = run_upgrade(record, "Creating object PerformFWUpgrade - HUB upgrade\n", kFailure,
                                        info->run_existing_fw, [&](PerformFWUpgrade& c) {
                                            c.hub_info = info.get();
                                            c.hub_upgrade = true;
                                        });
    if (upgrade.result != 0) return upgrade.result;
    record.data()["hub"] = {{"status", RunRecord::hex(info->status)},
                            {"outcome", outcome(info->status)},
                            {"code", RunRecord::hex(info->code)},
                            {"bootloader_version", RunRecord::version(info->bootloader_version)},
                            {"firmware_version", RunRecord::version(info->fw_version)},
                            {"firmware_signature", RunRecord::hex(info->fw_signature)}};
    const Version boot = split(info->bootloader_version);
    const Version fw = split(info->fw_version);
    if (info->status == 0xE0) {
        logger->Info(
            "Hub is running OK ... Bootloader version %d.%d.%d-%c. Firmware signature 0x%x - version "
            "%d.%d.%d-%c\n",
            boot.major, boot.minor, boot.patch, boot.letter, info->fw_signature, fw.major, fw.minor, fw.patch,
            fw.letter);
    } else if (info->status == 0xE3) {
        logger->Info("Hub will be reset with firmware status 0x%x ... Bootloader version %d.%d.%d-%c\n", info->code,
                     boot.major, boot.minor, boot.patch, boot.letter);
    } else {
        logger->Info("Hub upgrade failed with code 0x%x... Firmware signature 0x%x - version %d.%d.%d-%c\n", info->code,
                     info->fw_signature, fw.major, fw.minor, fw.patch, fw.letter);
    }
    return 0;
}

int branch_sensor_upgrade(RunRecord& record, const char* path, bool from_boot) {
    static constexpr const char* kFailure = "Something went wrong with Sensors firmware-upgrade - error-code %d!!\n";
    if (refuse_long_path(path, kFailure)) return PerformFWUpgrade::kPathTooLong;
    auto info = std::make_unique<SensorsUpgradeInfo>();
    info->check_connected = true;
    std::strcpy(info->path, path);
    info->from_boot = from_boot;
    info->run_existing_fw = false;

    USB_Logger* logger = USB_Logger::Instance();
    const Upgrade upgrade = run_upgrade(record, "Creating object PerformFWUpgrade - Sensors upgrade\n", kFailure,
                                        info->run_existing_fw, [&](PerformFWUpgrade& c) {
                                            c.sensors_info = info.get();
                                            c.hub_upgrade = false;
                                        });
    if (upgrade.result != 0) return upgrade.result;
    nlohmann::ordered_json& sensors = record.data()["sensors"] = nlohmann::ordered_json::array();
    for (int i = 0; i < info->count; ++i) {
        sensors.push_back({{"address", info->address[i]},
                           {"status", RunRecord::hex(info->status[i])},
                           {"outcome", outcome(info->status[i])},
                           {"code", RunRecord::hex(info->code[i])},
                           {"calibration_status", RunRecord::hex(info->calibration_status[i])},
                           {"signature", RunRecord::hex(info->signature[i])},
                           {"version", RunRecord::version(info->version[i])}});
        const Version v = split(info->version[i]);
        if (info->status[i] == 0xE0) {
            logger->Info(
                "Sensor with addr 0x%x is running OK ... Calibration status 0x%x signature 0x%x - version "
                "%d.%d.%d-%c\n",
                info->address[i], info->calibration_status[i], info->signature[i], v.major, v.minor, v.patch, v.letter);
        } else if (info->status[i] == 0xE3) {
            logger->Info("Sensor with addr 0x%x will be reset with status 0x%x... It will remain on boot\n",
                         info->address[i], info->code[i]);
        } else {
            logger->Info(
                "Sensor with addr 0x%x upgrade failed with code 0x%x... Calibration status 0x%x signature "
                "0x%x - version %d.%d.%d-%c\n",
                info->address[i], info->code[i], info->calibration_status[i], info->signature[i], v.major, v.minor,
                v.patch, v.letter);
        }
    }
    return 0;
}
