#include "src/SimpleCommand.hpp"

#include <cstring>

namespace {
constexpr const char* kSource = "src/SimpleCommand";
constexpr const char* kOperation = "SimpleCommand::RunCommand";
}

int32_t SimpleCommand::RunCommand() {
    if (feedback_expected == 0) {
        const int code = _send_message(request, kRequestSize, false);
        return report_exchange_error(code, kOperation, kSource, __LINE__) ? 41 : 0;
    }
    int code = EXCHANGE_OK;
    if (port->write_port(request, kRequestSize) != kRequestSize) {
        code = EXCHANGE_WRITE_FAILED;
    } else {
        echo_pause();
        uint8_t echo[kRequestSize] = {};
        if (port->read_port(echo, kRequestSize, kEchoTimeoutMs) != kRequestSize) {
            code = EXCHANGE_SHORT;
        } else if (std::memcmp(echo, request, kRequestSize) != 0) {
            code = EXCHANGE_MISMATCH;
        }
    }
    if (report_exchange_error(code, kOperation, kSource, __LINE__)) return 41;
    const int length = reply_length <= kRequestSize ? static_cast<int>(reply_length) : kRequestSize;
    code = _receive_message(reply, length, 10000);
    if (report_exchange_error(code, kOperation, kSource, __LINE__)) return 42;
    const uint32_t reply_word = get_le32(reply);
    return reply_word == get_le32(request) ? 0 : static_cast<int32_t>(reply_word);
}
