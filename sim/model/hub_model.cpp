#include "sim/model/hub_model.hpp"

#include <algorithm>

#include "sim/model/wire.hpp"

namespace sim {

namespace {
constexpr uint8_t kMarker = 0xAE;
}  // namespace

HubModel::HubModel(HubConfig config)
    : config_(std::move(config)), port_name_(config_.port_name), opens_to_refuse_(config_.refuse_opens) {}

uint16_t HubModel::vendor_id() const {
    return config_.kind == Kind::TorvaneAtmel ? 0x03EB : 0x0483;
}

uint16_t HubModel::product_id() const {
    switch (config_.kind) {
        case Kind::TorvaneAtmel: return 0x2404;
        case Kind::Quillet: return 0x5740;
        case Kind::TorvaneST: return 0xA432;
    }
    return 0;
}

bool HubModel::present(int64_t now) const {
    return absent_until_ >= 0 && now >= absent_until_;
}

bool HubModel::accept_open(int64_t now) {
    if (!present(now)) return false;
    if (opens_to_refuse_ > 0) {
        --opens_to_refuse_;
        return false;
    }
    return true;
}

std::vector<const Request*> HubModel::requests_with_word(uint32_t word) const {
    std::vector<const Request*> found;
    for (const Request& r : requests_) {
        if (!r.text && r.word == word) found.push_back(&r);
    }
    return found;
}

size_t HubModel::frame_length(const uint8_t* head) const {
    if (mode_ == Mode::Bootloader) return 536;
    const uint32_t word = le32(head);
    if (word == 0x00171500) return 540;  // forwarded to the sensors' bootloader
    if (word == 0x00511500) return 536;  // auto addressing
    if (head[0] == kMarker) {
        // Sensor bootloader requests through a legacy HUB travel unforwarded.
        switch (head[2]) {
            case 0x39:
            case 0x36:
            case 0x51: return 536;
            default: return 104;
        }
    }
    return 104;
}

void HubModel::host_write(int64_t now, std::span<const uint8_t> bytes) {
    if (!present(now) || stalled_) return;
    for (size_t i = 0; i < bytes.size() && !stalled_; ++i) {
        const uint8_t b = bytes[i];
        const int64_t at = now + wire_ticks(i + 1);
        if (partial_.empty() && b != 0x00 && b != kMarker) {
            // A character typed to the text console: echoed at once.
            Request r;
            r.index = static_cast<int>(requests_.size());
            r.time = at;
            r.bytes = {b};
            r.word = b;
            r.text = true;
            requests_.push_back(r);
            const Fault* fault = _fault_for(requests_.back());
            if (fault != nullptr && fault->type == Fault::Stall) {
                stalled_ = true;
                return;
            }
            if (fault == nullptr || fault->type != Fault::NoEcho) output_.push_back({at + wire_ticks(1), b});
            if (fault != nullptr && fault->type == Fault::Vanish) {
                _restart(at + wire_ticks(1), fault->delay_ms);
                return;
            }
            if (b == '\r') {
                Exchange ex;
                const std::string line = text_line_;
                text_line_.clear();
                if (handle_info_text(*this, line, ex)) _answer(requests_.back(), ex, at + wire_ticks(1));
            } else {
                text_line_.push_back(static_cast<char>(b));
            }
            continue;
        }
        partial_.push_back(b);
        if (partial_.size() >= 4 && partial_.size() == frame_length(partial_.data())) _complete(at);
    }
}

void HubModel::_complete(int64_t now) {
    Request r;
    r.index = static_cast<int>(requests_.size());
    r.time = now;
    r.bytes = std::move(partial_);
    partial_.clear();
    r.word = le32(r.bytes.data());
    requests_.push_back(std::move(r));
    const Request& request = requests_.back();

    Exchange ex;
    const bool handled = handle_core(*this, request, ex) || handle_info(*this, request, ex) ||
                         handle_firmware(*this, request, ex) || handle_network(*this, request, ex) ||
                         handle_selftest(*this, request, ex);
    (void)handled;  // an unknown request is echoed and not answered
    _answer(request, ex, now);
}

const Fault* HubModel::_fault_for(const Request& request) {
    for (const FaultRule& rule : config_.faults) {
        if (rule.request_index >= 0 && rule.request_index == request.index) return &rule.fault;
        if (rule.word && *rule.word == request.word && !request.text) {
            if (rule.occurrence < 0) return &rule.fault;
            int seen = 0;
            for (const Request& r : requests_) {
                if (!r.text && r.word == request.word && r.index < request.index) ++seen;
            }
            if (seen == rule.occurrence) return &rule.fault;
        }
    }
    return nullptr;
}

void HubModel::_queue(int64_t start, std::span<const uint8_t> bytes, int64_t* end) {
    for (size_t i = 0; i < bytes.size(); ++i) output_.push_back({start + wire_ticks(i + 1), bytes[i]});
    if (end != nullptr) *end = start + wire_ticks(bytes.size());
}

void HubModel::_answer(const Request& request, Exchange& ex, int64_t now) {
    const Fault* fault = _fault_for(request);
    const Fault::Type type = fault != nullptr ? fault->type : Fault::None;
    if (type == Fault::Stall) {
        stalled_ = true;
        return;
    }
    if (ex.next_mode && !ex.restart) mode_ = *ex.next_mode;
    if (type == Fault::NoEcho) return;

    int64_t t = now;
    if (!request.text) {
        std::vector<uint8_t> echo = request.bytes;
        if (type == Fault::EchoByteChanged && fault->index >= 0 && size_t(fault->index) < echo.size()) {
            echo[size_t(fault->index)] ^= 0x5A;
        }
        if (type == Fault::PartialEcho) echo.resize(std::min(echo.size(), size_t(std::max(fault->count, 0))));
        _queue(t, echo, &t);
        if (type == Fault::PartialEcho) return;
    }
    if (type == Fault::Vanish) {
        // A request that restarts the HUB still takes effect: it only comes
        // back later (or never).
        if (ex.restart && ex.next_mode) mode_ = *ex.next_mode;
        _restart(t, fault->delay_ms);
        return;
    }
    if (ex.restart) {
        if (ex.next_mode) mode_ = *ex.next_mode;
        _restart(t, ex.restart_forever ? -1 : config_.reset_absent_ms);
        return;
    }
    if (type == Fault::NoReply) return;

    t += config_.reply_delay_us * 10;
    if (type == Fault::LateReply) t += fault->delay_ms * kTicksPerMs;
    if (type == Fault::StatusOnly) {
        uint8_t status[4] = {uint8_t(fault->status), uint8_t(fault->status >> 8), uint8_t(fault->status >> 16),
                             uint8_t(fault->status >> 24)};
        _queue(t, status, nullptr);
        return;
    }
    std::vector<uint8_t> reply = ex.reply;
    if (type == Fault::ShortReply) reply.resize(std::min(reply.size(), size_t(std::max(fault->count, 0))));
    _queue(t, reply, &t);
    if (type == Fault::ShortReply) return;
    for (const Exchange::Piece& piece : ex.more) _queue(t + piece.delay_ms * kTicksPerMs, piece.bytes, &t);
}

void HubModel::_restart(int64_t at, int64_t absent_ms) {
    ++generation_;
    left_at_ = at;
    opens_to_refuse_ = config_.refuse_opens_after_restart;
    partial_.clear();
    text_line_.clear();
    // A HUB that drops off takes its port with it: nothing it sent before,
    // and nothing on its way, can be read once it is gone.
    output_.clear();
    absent_until_ = absent_ms < 0 ? -1 : at + absent_ms * kTicksPerMs;
    if (!config_.port_name_after_reset.empty()) port_name_ = config_.port_name_after_reset;
}

bool handle_core(HubModel& hub, const Request& request, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    if (hub.mode() != Mode::Firmware || b.size() != 104) return false;
    if (std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; })) {
        // The probe: a current HUB answers with 4 bytes; a legacy one stays silent.
        if (!hub.config().legacy) {
            const uint32_t a = hub.config().probe_answer;
            ex.reply = {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)};
        }
        return true;
    }
    if (request.word == 0x00181500 || request.word == 0x00481500) {
        // The sensor triggers; some HUBs restart with their sensors.
        if (hub.config().sensor_trigger_drops) ex.restart = true;
        return request.word == 0x00181500 || hub.config().sensor_trigger_drops;
    }
    return false;
}

}  // namespace sim
