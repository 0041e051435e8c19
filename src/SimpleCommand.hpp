// A request without payload: the two sensor triggers. The HUB restarts on
// either, so nothing is read back: the port is opened again instead.
#pragma once

#include "src/Command.hpp"

class SimpleCommand final : public Command {
public:
    using Command::Command;

    static constexpr uint32_t kRunSensorFirmware = 0x00181500;
    static constexpr uint32_t kSensorBootloader = 0x00481500;

    uint8_t request[kRequestSize] = {};

    int32_t RunCommand() override;
};
