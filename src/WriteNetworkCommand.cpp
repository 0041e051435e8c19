#include "src/WriteNetworkCommand.hpp"

#include <array>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {
constexpr const char* kOperation = "WriteNetworkCommand::RunCommand";
}  // namespace

bool WriteNetworkCommand::set_file_name(const char* path, std::string& error) {
    return copy_file_name(file_name, path, error);
}

bool WriteNetworkCommand::_parse_XML_file(const char* name) {
    std::array<char, kXmlBufferSize> buffer;
    std::string error;
    const std::span<uint8_t, kRequestSize> message(request, kRequestSize);
    NetworkConfiguration record = network_from_message(message);
    std::vector<std::string> warnings;
    if (!load_network_file(port->platform(), name, buffer, error) ||
        !read_network_xml(buffer.data(), record, error, warnings)) {
        logger->Error("%s", error.c_str());
        return false;
    }
    for (const std::string& warning : warnings) logger->Warning("%s", warning.c_str());
    network_to_message(record, message);
    return true;
}

int32_t WriteNetworkCommand::load_file() {
    // Nothing reaches the HUB unless the whole file was usable.
    if (!_parse_XML_file(file_name)) return results::write_network::kFileRefused;
    loaded_ = true;
    return 0;
}

int32_t WriteNetworkCommand::RunCommand() {
    if (!loaded_) {
        if (const int32_t refused = load_file()) return refused;
    }
    _frame(request, kRequestWord, kLegacyCode);
    // A current HUB answers with the bare status word; a legacy one with a
    // whole message carrying it behind the marker.
    const int reply_length = legacy_hub ? kRequestSize : 4;
    _stage("writing the WiFi configuration", "The HUB may or may not have taken the new WiFi configuration",
           "read it back with -r to check");
    sent = true;
    switch (_exchange(request, kRequestSize, reply, reply_length, kReplyTimeoutMs, kOperation)) {
        case Exchanged::RequestFailed: return results::write_network::kRequestFailed;
        case Exchanged::ReplyFailed: return results::write_network::kReplyFailed;
        case Exchanged::Ok: break;
    }
    return static_cast<int32_t>(get_le32(legacy_hub ? reply + 4 : reply));
}
