#include "src/GetHUBInformation.hpp"

#include <cstring>
#include <string>

#include "log/text.hpp"

namespace {
constexpr const char* kSource = "src/GetHUBInformation";
constexpr const char* kOperation = "GetHUBInformation::RunCommand";
// Where the reports of this command have always placed their failures.
constexpr int kRequestLine = 53;
constexpr int kReplyLine = 57;

namespace R = hub_info_reply;
static_assert(R::kBuildTime + 4 <= kRequestSize && R::kSerial + HUBInfo::kSerialChars <= kRequestSize,
              "every field lies inside the reply");
}  // namespace

void parse_hub_info(const std::array<uint8_t, kRequestSize>& reply, HUBInfo& info) {
    const uint8_t* r = reply.data();
    for (int i = 0; i < 4; ++i) info.unique_id[i] = get_le32(r + R::kUniqueId + size_t(4) * i);
    info.fw_version = get_le32(r + R::kFwVersion);
    info.bootloader_version = get_le32(r + R::kBootloaderVersion);
    info.usb_api_version = get_le32(r + R::kUsbApi);
    info.wifi_api_version = get_le32(r + R::kWifiApi);
    info.bluetooth_api_version = get_le32(r + R::kBluetoothApi);
    std::memcpy(info.serial_number, r + R::kSerial, HUBInfo::kSerialChars);
    info.serial_number[HUBInfo::kSerialChars] = '\0';
    info.prod_assy = get_le32(r + R::kProdAssy);
    info.prod_board_id = get_le32(r + R::kProdBoardId);
    info.prod_date = get_le32(r + R::kProdDate);
    info.prod_epoch = get_le32(r + R::kProdEpoch);
    info.build_time = get_le32(r + R::kBuildTime);
}

void GetHUBInformation::_build_request() {
    request_.fill(0);
    // Only some kinds know the boot request; the others get the normal one
    // and the boot report is read from the same words of its reply.
    const HubKindRow* kind = hub_kind(connected_device_type());
    const bool boot = boot_info && kind != nullptr && kind->boot_request;
    _frame(request_.data(), boot ? kBootInfoRequest : kInfoRequest, kLegacyCode);
}

void GetHUBInformation::_log_short_report() {
    const uint8_t* r = reply_.data();
    if (boot_info) {
        const uint32_t boot_version = get_le32(r + R::kBootBootloaderVersion);
        logger->Info("HUB boot information:\n");
        logger->Info("\tHUB bootloader version v%s \n", version_text(boot_version, VersionForm::Letter).c_str());
        logger->Info("\tHUB prod assy: 0x%.8x\n", get_le32(r + R::kBootProdAssy));
        return;
    }
    const uint32_t boot_version = get_le32(r + R::kBootloaderVersion);
    const uint32_t fw_version = get_le32(r + R::kFwVersion);
    const uint32_t usb = get_le32(r + R::kUsbApi);
    const uint32_t wifi = get_le32(r + R::kWifiApi);
    const std::string built = port->platform().format_local_time(get_le32(r + R::kBuildTime), kDeviceTimeFormat);
    logger->Info("Unique ID number for HUB is: \n");
    logger->Info("\t0x%x%x%x%x \n", get_le32(r + R::kUniqueId), get_le32(r + R::kUniqueId + 4),
                 get_le32(r + R::kUniqueId + 8), get_le32(r + R::kUniqueId + 12));
    logger->Info("\tHUB bootloader version v%s \n", version_text(boot_version, VersionForm::Letter).c_str());
    logger->Info("\tHUB firmware version v%s build on %s\n", version_text(fw_version, VersionForm::Letter).c_str(),
                 built.c_str());
    logger->Info("\tUSB API version v%s \n", version_text(usb, VersionForm::Interface).c_str());
    logger->Info("\tWIFI API version v%s \n", version_text(wifi, VersionForm::Interface).c_str());
}

int32_t GetHUBInformation::RunCommand() {
    _stage("reading the HUB information", "Nothing on the HUB was changed");
    _build_request();
    int code = _send_message(request_.data(), kRequestSize, true);
    if (report_exchange_error(code, kOperation, kSource, kRequestLine)) return results::hub_info::kRequestFailed;

    reply_.fill(0);
    code = _receive_message(reply_.data(), kRequestSize, kReplyTimeoutMs);
    if (report_exchange_error(code, kOperation, kSource, kReplyLine)) {
        logger->Warning("No answer from HUB - Unique ID and firmware versions set to zero\n");
        return results::hub_info::kReplyFailed;
    }

    _log_short_report();
    if (info != nullptr) parse_hub_info(reply_, *info);
    return 0;
}
