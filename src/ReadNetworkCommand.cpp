#include "src/ReadNetworkCommand.hpp"

#include <cstring>
#include <span>

namespace {
constexpr const char* kOperation = "ReadNetworkCommand::RunCommand";
}  // namespace

bool ReadNetworkCommand::set_file_name(const char* path, std::string& error) {
    return copy_file_name(file_name, path, error);
}

int32_t ReadNetworkCommand::RunCommand() {
    _stage("reading the WiFi configuration", "Nothing on the HUB was changed, and no file was written");
    _frame(request, kRequestWord, kLegacyCode);
    switch (_exchange(request, kRequestSize, reply, kRequestSize, kReplyTimeoutMs, kOperation)) {
        case Exchanged::RequestFailed: return results::read_network::kRequestFailed;
        case Exchanged::ReplyFailed: return results::read_network::kReplyFailed;
        case Exchanged::Ok: break;
    }

    _stage("writing the XML file", "Nothing on the HUB was changed, and the file was left as it was",
           "run -r again with a file you may write");
    uint8_t copy[kRequestSize];
    std::memcpy(copy, reply, sizeof copy);
    return _write_XML_file(copy);
}

int32_t ReadNetworkCommand::_write_XML_file(const uint8_t* message) {
    const NetworkConfiguration record =
        network_from_message(std::span<const uint8_t, kRequestSize>(message, kRequestSize));
    std::string error;
    if (!store_network_file(port->platform(), file_name, network_xml_text(record), error)) {
        logger->Error("%s", error.c_str());
        return results::read_network::kFileNotWritten;
    }
    return 0;
}
