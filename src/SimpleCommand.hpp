// A request without payload: the two sensor triggers.
#pragma once

#include "src/Command.hpp"

class SimpleCommand final : public Command {
public:
    static constexpr uint32_t kRunSensorFirmware = 0x00181500;
    static constexpr uint32_t kSensorBootloader = 0x00481500;

    uint32_t reply_length = 0;
    uint8_t request[kRequestSize] = {};
    uint8_t reply[kRequestSize] = {};
    uint64_t feedback_expected = 0;

    int32_t RunCommand() override;
};
