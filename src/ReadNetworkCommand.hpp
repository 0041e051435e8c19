// Reads the HUB's WiFi configuration into the XML file named by the caller
// (-r).
#pragma once

#include "src/Command.hpp"
#include "src/NetworkConfiguration.hpp"

class ReadNetworkCommand final : public Command {
public:
    using Command::Command;

    static constexpr uint32_t kRequestWord = 0x00491900;
    static constexpr uint8_t kLegacyCode = 0x49;
    static constexpr int64_t kReplyTimeoutMs = 45;

    char file_name[kMaxPathLength + 1] = {};
    uint8_t request[kRequestSize] = {};
    uint8_t reply[kRequestSize] = {};

    // Copies `path` into file_name; false (nothing copied), with the line to
    // log in `error`, when it does not fit.
    bool set_file_name(const char* path, std::string& error);

    int32_t RunCommand() override;

private:
    // Writes the record of a 104-byte reply to file_name; 0, or
    // results::read_network::kFileNotWritten after logging why the file could
    // not be written (an old file stays as it was).
    int32_t _write_XML_file(const uint8_t* message);
};
