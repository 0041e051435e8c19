#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/branches.hpp"
#include "log/text.hpp"
#include "src/PerformFWUpgrade.hpp"

namespace {

// A version word as the reports print it.
std::string printed(uint32_t version) {
    return version_text(version, VersionForm::Letter);
}

// What a bootloader's status word says.
const char* outcome(uint8_t status) {
    return status == 0xE0 ? "running" : status == 0xE3 ? "will be reset" : "failed";
}

// The path goes into a fixed field; one that does not fit is refused rather
// than cut, which could name another file.
bool refuse_long_path(Run& run, const char* option, const char* path, const char* failure_line) {
    if (fits_field(path, fwimage::kPathCapacity)) return false;
    USB_Logger* logger = &run.log();
    logger->Error("PerformFWUpgrade: Image path of %u characters is too long (at most %u)!\n",
                  unsigned(std::strlen(path)), unsigned(fwimage::kPathCapacity - 1));
    logger->Error(failure_line, results::upgrade::kPathTooLong);
    run.record.failed(results::upgrade::kPathTooLong,
                      {"reading the image file", "Nothing was sent to the HUB",
                       "run " + std::string(option) + " again with a shorter path to the image file"});
    return true;
}

// "0x11", "0x11 and 0x12", "0x11, 0x12 and 0x13".
std::string addresses(const std::vector<int>& list) {
    std::string text;
    for (size_t i = 0; i < list.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + format_string("0x%x", unsigned(list[i]));
    }
    return text;
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
Upgrade run_upgrade(Run& run, const char* option, const char* creation_line, const char* failure_line, Attach attach) {
    auto command = std::make_unique<PerformFWUpgrade>(run.context);  // large buffers: off the stack
    USB_Logger* logger = &run.log();
    logger->Info("%s", creation_line);
    attach(*command);
    command->valid = true;
    command->sensors_in_boot = false;
    // The image is judged before the HUB is touched: a refused file opens no port.
    const int32_t refused = command->check_image();
    if (refused != 0) {
        run.record.failed(refused, {"reading the image file", "Nothing was sent to the HUB",
                                    "run " + std::string(option) + " with an image file made for this HUB"});
    }
    const int result = refused != 0 ? refused : connect_and_run(*command, run);
    if (result != 0) logger->Error(failure_line, result);
    return {std::move(command), result};
}

}  // namespace

int branch_hub_upgrade(Run& run, const char* path) {
    RunRecord& record = run.record;
    static constexpr const char* kFailure = "Something went wrong with HUB firmware-upgrade - error-code %d!!\n";
    if (refuse_long_path(run, "-h", path, kFailure)) return results::upgrade::kPathTooLong;
    // The records are large: keep them off the stack.
    auto info = std::make_unique<HUBUpgradeInfo>();
    std::strcpy(info->path, path);

    USB_Logger* logger = &run.log();
    const Upgrade upgrade =
        run_upgrade(run, "-h", "Creating object PerformFWUpgrade - HUB upgrade\n", kFailure, [&](PerformFWUpgrade& c) {
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
    const std::string boot = printed(info->bootloader_version);
    const std::string fw = printed(info->fw_version);
    const nlohmann::ordered_json firmware = {{"firmware_version", RunRecord::version(info->fw_version)},
                                             {"firmware_signature", RunRecord::hex(info->fw_signature)}};
    if (info->status == 0xE0) {
        logger->Info("Hub is running OK ... Bootloader version %s. Firmware signature 0x%x - version %s\n",
                     boot.c_str(), info->fw_signature, fw.c_str());
        record.succeeded("the HUB firmware was upgraded",
                         "The HUB runs firmware " + RunRecord::version(info->fw_version) + ", signature " +
                             RunRecord::hex(info->fw_signature),
                         firmware);
        return 0;
    }
    if (info->status == 0xE3) {
        logger->Info("Hub will be reset with firmware status 0x%x ... Bootloader version %s\n", info->code,
                     boot.c_str());
        record.succeeded("the HUB firmware was upgraded",
                         "Its bootloader " + RunRecord::version(info->bootloader_version) +
                             " reported firmware status " + RunRecord::hex(info->code) +
                             " and resets the HUB: run -hinfo to see the firmware it runs then");
        return 0;
    }
    logger->Info("Hub upgrade failed with code 0x%x... Firmware signature 0x%x - version %s\n", info->code,
                 info->fw_signature, fw.c_str());
    // The bootloader has said the upgrade failed: no success, whatever the exchanges did.
    logger->Error(kFailure, results::upgrade::kBootloaderReportedFailure);
    record.failed(results::upgrade::kBootloaderReportedFailure,
                  {"upgrading the HUB firmware",
                   "The HUB's bootloader reported a failed upgrade (status " + RunRecord::hex(info->status) +
                       ", code " + RunRecord::hex(info->code) + "); the HUB may be left in its bootloader",
                   "run -h with the same image file again"},
                  firmware);
    return results::upgrade::kBootloaderReportedFailure;
}

int branch_sensor_upgrade(Run& run, const char* path, bool from_boot) {
    RunRecord& record = run.record;
    static constexpr const char* kFailure = "Something went wrong with Sensors firmware-upgrade - error-code %d!!\n";
    const char* option = from_boot ? "-sb" : "-s";
    if (refuse_long_path(run, option, path, kFailure)) return results::upgrade::kPathTooLong;
    auto info = std::make_unique<SensorsUpgradeInfo>();
    info->check_connected = true;
    std::strcpy(info->path, path);
    info->from_boot = from_boot;

    USB_Logger* logger = &run.log();
    const Upgrade upgrade = run_upgrade(run, option, "Creating object PerformFWUpgrade - Sensors upgrade\n", kFailure,
                                        [&](PerformFWUpgrade& c) {
                                            c.sensors_info = info.get();
                                            c.hub_upgrade = false;
                                        });
    if (upgrade.result != 0) return upgrade.result;
    nlohmann::ordered_json& sensors = record.data()["sensors"] = nlohmann::ordered_json::array();
    std::vector<int> running, failed, in_boot;
    std::string version;  // of the first sensor that runs the new firmware
    for (int i = 0; i < info->count; ++i) {
        sensors.push_back({{"address", info->address[i]},
                           {"status", RunRecord::hex(info->status[i])},
                           {"outcome", outcome(info->status[i])},
                           {"code", RunRecord::hex(info->code[i])},
                           {"calibration_status", RunRecord::hex(info->calibration_status[i])},
                           {"signature", RunRecord::hex(info->signature[i])},
                           {"version", RunRecord::version(info->version[i])}});
        const std::string v = printed(info->version[i]);
        if (info->status[i] == 0xE0) {
            logger
                ->Info("Sensor with addr 0x%x is running OK ... Calibration status 0x%x signature 0x%x - version %s\n",
                       info->address[i], info->calibration_status[i], info->signature[i], v.c_str());
            if (running.empty()) {
                version = RunRecord::version(info->version[i]) + ", signature " + RunRecord::hex(info->signature[i]);
            }
            running.push_back(info->address[i]);
        } else if (info->status[i] == 0xE3) {
            logger->Info("Sensor with addr 0x%x will be reset with status 0x%x... It will remain on boot\n",
                         info->address[i], info->code[i]);
            in_boot.push_back(info->address[i]);
        } else {
            logger->Info(
                "Sensor with addr 0x%x upgrade failed with code 0x%x... Calibration status 0x%x signature "
                "0x%x - version %s\n",
                info->address[i], info->code[i], info->calibration_status[i], info->signature[i], v.c_str());
            failed.push_back(info->address[i]);
        }
    }
    const nlohmann::ordered_json facts = {{"sensors_ok", running},
                                          {"sensors_failed", failed},
                                          {"sensors_in_bootloader", in_boot}};
    std::string state = std::to_string(running.size()) + " of " + std::to_string(info->count) +
                        " sensors run the new firmware" + (version.empty() ? "" : " " + version);
    if (info->count == 0) {
        record.succeeded("the image was sent to the sensors",
                         "No sensor reported back after its restart: run -sinfo to see the sensors", facts);
        return 0;
    }
    if (failed.empty() && in_boot.empty()) {
        record.succeeded("the sensors' firmware was upgraded", state, facts);
        return 0;
    }
    // A sensor that failed, or that stays in its bootloader, is no success.
    if (!in_boot.empty()) {
        state += "; " + std::string(in_boot.size() == 1 ? "sensor " : "sensors ") + addresses(in_boot) +
                 (in_boot.size() == 1 ? " stays in its" : " stay in their") + " bootloader";
    }
    if (!failed.empty()) {
        state += "; the upgrade of " + std::string(failed.size() == 1 ? "sensor " : "sensors ") + addresses(failed) +
                 " failed";
    }
    logger->Error(kFailure, results::upgrade::kSensorsReportedFailure);
    record.failed(results::upgrade::kSensorsReportedFailure,
                  {"upgrading the sensors", state,
                   in_boot.empty() ? "run -s with the same image file again"
                                   : "run -sb with the same image file to complete their upgrade"},
                  facts);
    return results::upgrade::kSensorsReportedFailure;
}
