// Writes a WiFi configuration to the HUB from the XML file named by the
// caller (-w). The result is the HUB's status.
#pragma once

#include "src/Command.hpp"
#include "src/NetworkConfiguration.hpp"

class WriteNetworkCommand final : public Command {
public:
    using Command::Command;

    static constexpr uint32_t kRequestWord = 0x00501900;
    static constexpr uint8_t kLegacyCode = 0x50;
    static constexpr int64_t kReplyTimeoutMs = 30000;

    char file_name[kMaxPathLength + 1] = {};
    uint8_t request[kRequestSize] = {};
    uint8_t reply[kRequestSize] = {};
    bool sent = false;  // the request was built and written (whatever came back)

    // Copies `path` into file_name; false (nothing copied), with the line to
    // log in `error`, when it does not fit.
    bool set_file_name(const char* path, std::string& error);

    // Reads and judges the XML file: 0, or results::write_network::kFileRefused
    // after logging why it cannot be used. Call it before Connect, so that an
    // unusable file opens no port; RunCommand does it itself otherwise.
    int32_t load_file();
    int32_t RunCommand() override;

private:
    // Fills the record of `request` from the file: true, or false after
    // logging why the file cannot be used (the request is then left as it
    // was). Each value a conversion changed is logged as a WARNING.
    bool _parse_XML_file(const char* name);

    bool loaded_ = false;
};
