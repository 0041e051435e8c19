#include "src/SimpleCommand.hpp"

namespace {
constexpr const char* kOperation = "SimpleCommand::RunCommand";
}

int32_t SimpleCommand::RunCommand() {
    const bool to_bootloader = get_le32(request) == kSensorBootloader;
    _stage("sending the sensors' trigger",
           to_bootloader ? "The sensors may be in their bootloader" : "The sensors may still be in their bootloader",
           to_bootloader ? "run -srf to start their firmware" : "run -srf again");
    const int code = _send_message(request, kRequestSize, false);
    return report_exchange_error(code, kOperation) ? results::trigger::kNotSent : 0;
}
