#include "src/SimpleCommand.hpp"

#include <cstring>

namespace {
constexpr const char* kOperation = "SimpleCommand::RunCommand";
}

int32_t SimpleCommand::RunCommand() {
    const bool to_bootloader = get_le32(request) == kSensorBootloader;
    _stage("sending the sensors' trigger",
           to_bootloader ? "The sensors may be in their bootloader" : "The sensors may still be in their bootloader",
           to_bootloader ? "run -srf to start their firmware" : "run -srf again");
    if (feedback_expected == 0) {
        const int code = _send_message(request, kRequestSize, false);
        return report_exchange_error(code, kOperation) ? 41 : 0;
    }
    const int length = reply_length <= kRequestSize ? static_cast<int>(reply_length) : kRequestSize;
    switch (_exchange(request, kRequestSize, reply, length, 10000, kOperation)) {
        case Exchanged::RequestFailed: return 41;
        case Exchanged::ReplyFailed: return 42;
        case Exchanged::Ok: break;
    }
    const uint32_t reply_word = get_le32(reply);
    return reply_word == get_le32(request) ? 0 : static_cast<int32_t>(reply_word);
}
