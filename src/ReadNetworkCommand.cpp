#include "src/ReadNetworkCommand.hpp"

#include <cstring>
#include <span>

namespace {
constexpr const char* kSource = "src/ReadNetworkCommand";
constexpr const char* kOperation = "ReadNetworkCommand::RunCommand";
}  // namespace

bool ReadNetworkCommand::set_file_name(const char* path) {
    return copy_file_name(file_name, path);
}

int32_t ReadNetworkCommand::RunCommand() {
    if (legacy_hub) {
        request[0] = kLegacyMarker;
        request[1] = 0;
        request[2] = kLegacyCode;
        request[3] = 0;
    } else {
        put_le32(request, kRequestWord);
    }
    int code = _send_message(request, kRequestSize, true);
    if (report_exchange_error(code, kOperation, kSource, __LINE__)) return kRequestFailed;
    code = _receive_message(reply, kRequestSize, kReplyTimeoutMs);
    if (report_exchange_error(code, kOperation, kSource, __LINE__)) return kReplyFailed;

    if (use_XML_file) {
        uint8_t copy[kRequestSize];
        std::memcpy(copy, reply, sizeof copy);
        return _write_XML_file(copy);
    }
    if (configuration == nullptr) return kNoConfiguration;
    *configuration = network_from_message(std::span<const uint8_t, kRequestSize>(reply, kRequestSize));
    return 0;
}

int32_t ReadNetworkCommand::_write_XML_file(const uint8_t* message) {
    // A name that fills the field without its terminator is no name at all.
    if (std::memchr(file_name, 0, sizeof file_name) == nullptr) {
        logger->Error("Path of configuration file too long (at most %u characters).\n", unsigned(kMaxPathLength));
        return kFileNotWritten;
    }
    const NetworkConfiguration record = network_from_message(std::span<const uint8_t, kRequestSize>(message, kRequestSize));
    std::string error;
    if (!store_network_file(file_name, network_xml_text(record), error)) {
        logger->Error("%s", error.c_str());
        return kFileNotWritten;
    }
    return 0;
}
