#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

#include "app/branches.hpp"
#include "log/text.hpp"
#include "src/GetHUBInformation.hpp"
#include "src/GetHUBLogFile.hpp"
#include "src/GetSensorsInformation.hpp"

namespace {

std::string version(uint32_t v) {
    return version_text(v, VersionForm::Letter);
}
std::string interface_version(uint32_t v) {
    return version_text(v, VersionForm::Interface);
}

void print_hub_info(Run& run, const HUBInfo& info, bool boot_info) {
    if (boot_info) {
        run.out("HUB boot information:\n");
        run.out("\tHUB bootloader version v%s \n", version(info.unique_id[3]).c_str());
        run.out("\tHUB prod assy: 0x%.8x\n", info.unique_id[2]);
        return;
    }
    const std::string built = run.context.platform.format_local_time(info.build_time, kDeviceTimeFormat);
    const std::string produced = run.context.platform.format_local_time(info.prod_epoch, kDeviceTimeFormat);
    run.out("Unique ID number for HUB is: \n");
    run.out("\t0x%x%x%x%x \n", info.unique_id[0], info.unique_id[1], info.unique_id[2], info.unique_id[3]);
    run.out("\tHUB bootloader version v%s \n", version(info.bootloader_version).c_str());
    run.out("\tHUB firmware version v%s build on %s\n", version(info.fw_version).c_str(), built.c_str());
    run.out("\tUSB API version v%s \n", interface_version(info.usb_api_version).c_str());
    run.out("\tWIFI API version v%s \n", interface_version(info.wifi_api_version).c_str());
    run.out("\tBLUETOOTH API version v%s \n", interface_version(info.bluetooth_api_version).c_str());
    run.out("\tHUB serial number: %s\n", info.serial_number);
    run.out("Production data:\n");
    run.out("\tprod_assy 0x%x\n", info.prod_assy);
    run.out("\tprod_board_id 0x%x\n", info.prod_board_id);
    run.out("\tprod_date 0x%x\n", info.prod_date);
    run.out("\tprod_epoch %s\n", produced.c_str());
}

nlohmann::ordered_json info_data(const HUBInfo& info, bool boot_info) {
    if (boot_info) {
        return {{"bootloader_version", RunRecord::version(info.unique_id[3])},
                {"prod_assy", RunRecord::hex(info.unique_id[2])}};
    }
    // All four words in full, unlike the console's form, so that it splits back.
    const std::string id =
        format_string("0x%08x%08x%08x%08x", info.unique_id[0], info.unique_id[1], info.unique_id[2], info.unique_id[3]);
    return {{"unique_id", id},
            {"bootloader_version", RunRecord::version(info.bootloader_version)},
            {"firmware_version", RunRecord::version(info.fw_version)},
            {"firmware_built", RunRecord::utc(info.build_time)},
            {"usb_api_version", RunRecord::api_version(info.usb_api_version)},
            {"wifi_api_version", RunRecord::api_version(info.wifi_api_version)},
            {"bluetooth_api_version", RunRecord::api_version(info.bluetooth_api_version)},
            {"serial_number", info.serial_number},
            {"production",
             {{"assy", RunRecord::hex(info.prod_assy)},
              {"board_id", RunRecord::hex(info.prod_board_id)},
              {"date", RunRecord::hex(info.prod_date)},
              {"time", RunRecord::utc(info.prod_epoch)}}}};
}

}  // namespace

int branch_log(Run& run) {
    RunRecord& record = run.record;
    GetHUBLogFile command(run.context);
    USB_Logger* logger = &run.log();
    logger->Info("Creating object GetHUBLogFile:\n");
    static constexpr uint8_t kLogCommand[] = {'?', ' ', 'l', 'o', 'g', '\r', '\0'};
    command.request.fill(0);
    std::copy(std::begin(kLogCommand), std::end(kLogCommand), command.request.begin());
    // Too large for a comfortable stack frame on every platform.
    auto log_file = std::make_unique<HUBLogFile>();
    command.log_file = log_file.get();
    const int result = connect_and_run(command, run);
    if (result != 0) {
        logger->Error("Something went wrong reading LOG-file - error-code %d\n", result);
        return result;
    }
    record.data() = {{"length", log_file->length}, {"lines", log_text_lines(*log_file)}};
    logger->Info("Reading LOG-file done!\n");
    record.succeeded("the HUB's log (" + std::to_string(log_file->length) + " bytes) was copied into this log",
                     "Nothing on the HUB was changed");
    return 0;
}

int branch_hub_info(Run& run, bool boot_info) {
    RunRecord& record = run.record;
    GetHUBInformation command(run.context);
    USB_Logger* logger = &run.log();
    logger->Info("Creating object GetHUBInformation\n");
    HUBInfo info{};
    command.info = &info;
    command.boot_info = boot_info;
    const int result = connect_and_run(command, run);
    if (result != 0) {
        logger->Error("Something went wrong getting HUB info - error-code %d\n", result);
        return result;
    }
    print_hub_info(run, info, boot_info);
    record.data() = info_data(info, boot_info);
    if (!boot_info) record.hub_serial(info.serial_number);
    if (boot_info) {
        record.succeeded("the HUB's boot information was read", "Its bootloader is version " +
                                                                    RunRecord::version(info.unique_id[3]) +
                                                                    "; nothing on the HUB was changed");
    } else {
        record.succeeded("the HUB information was read",
                         "The HUB runs firmware " + RunRecord::version(info.fw_version) + " (bootloader " +
                             RunRecord::version(info.bootloader_version) + "); nothing on it was changed",
                         {{"firmware_version", RunRecord::version(info.fw_version)}});
    }
    return 0;
}

int branch_sensor_info(Run& run) {
    RunRecord& record = run.record;
    GetSensorsInformation command(run.context);
    USB_Logger* logger = &run.log();
    logger->Info("Creating object GetSensorsInformation\n");
    auto info = std::make_unique<SensorsInfo>();
    command.info = info.get();
    const int result = connect_and_run(command, run);
    if (result != 0) {
        logger->Error("Something went wrong reading Sensors information - error-code %d!!\n", result);
        return result;
    }
    nlohmann::ordered_json& sensors = record.data()["sensors"] = nlohmann::ordered_json::array();
    for (int i = 0; i < info->count; ++i) {
        const SensorRecord s = parse_sensor_record(SensorRecordBytes(info->records[i], kSensorRecordSize));
        sensors.push_back({{"address", s.address},
                           {"bootloader_version", RunRecord::version(s.bootloader_version)},
                           {"firmware_version", RunRecord::version(s.fw_version)},
                           {"last_upgrade_ok", s.boot_status == 0xE0},
                           {"signature", RunRecord::hex(s.signature)},
                           {"initialisation_ok", s.setup_status == 0},
                           {"calibration_id", RunRecord::hex(s.calibration_id)},
                           {"build_number", s.build_number},
                           {"calibration_date", RunRecord::utc(s.calibration_date)}});
    }
    record.succeeded("the firmware information of " + std::to_string(info->count) + " sensors was read",
                     "Nothing on the HUB was changed");
    return 0;
}
