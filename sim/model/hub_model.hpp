// A model of the HUB as the tool sees it over the wire: the firmware, its
// bootloader and the sensors behind it. It is written from the protocol, not
// from the tool, so that it catches the tool's mistakes.
//
// The model is passive: the host writes bytes at a time `now` (100 ns
// ticks), the model frames them into requests, answers with time-stamped
// bytes, and may drop off the bus for a while. The same model serves the
// in-process virtual-time platform and the pseudo-terminal server.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/model/area_firmware.hpp"
#include "sim/model/area_info.hpp"
#include "sim/model/area_network.hpp"
#include "sim/model/area_selftest.hpp"

namespace sim {

enum class Kind : uint32_t { TorvaneAtmel = 1, Quillet = 2, TorvaneST = 3 };

inline constexpr int64_t kTicksPerMs = 10000;
// 3,000,000 baud, 10 bits per byte: 3.33 us per byte.
inline constexpr int64_t wire_ticks(size_t bytes) {
    return static_cast<int64_t>(bytes) * 100 / 3;
}

// What the model does wrong for one request.
struct Fault {
    enum Type {
        None,
        NoEcho,           // silence: no echo, no reply
        EchoByteChanged,  // echo with byte `index` changed, then the reply
        PartialEcho,      // only the first `count` bytes of the echo, no reply
        NoReply,          // the echo, then silence
        ShortReply,       // the echo, then the first `count` bytes of the reply
        StatusOnly,       // the echo, then the 4-byte `status` instead of the reply
        LateReply,        // the reply `delay_ms` later than usual
        Vanish,           // after the echo the HUB drops off for `delay_ms` (negative: for good)
        Stall,            // from this request on the HUB takes no more bytes, but stays on the bus
    };
    Type type = None;
    int index = 0;
    int count = 0;
    uint32_t status = 0;
    int64_t delay_ms = 0;
};

// Selects the request a fault applies to: the n-th request the HUB received
// (counting from 0, the probe included), or the n-th one with a given word.
struct FaultRule {
    int request_index = -1;
    std::optional<uint32_t> word;
    int occurrence = 0;  // with `word`: which one (0 = first; -1 = every one)
    Fault fault;
};

struct HubConfig {
    Kind kind = Kind::TorvaneST;
    bool legacy = false;  // firmware older than 2.0.0: no answer to the probe
    std::string port_name = "COM3";
    std::string port_name_after_reset;   // empty: the same name
    std::string location;                // the USB socket ("1-1.4"); empty: given by where it is attached
    bool open_denied = false;            // every open refused for permissions
    std::string holder;                  // the program that holds it while it refuses opens
    int64_t reset_absent_ms = 1500;      // how long a restart keeps it off the bus
    int refuse_opens = 0;                // refuses this many opens first
    int refuse_opens_after_restart = 0;  // and this many after each restart
    bool refusals_denied = false;        // those refusals are for permissions (not yet set), not as busy
    bool sensor_trigger_drops = false;   // the sensor triggers restart the HUB
    uint32_t probe_answer = 0x00000200;
    int64_t reply_delay_us = 500;  // processing time before a reply
    std::vector<FaultRule> faults;

    InfoArea info;
    FirmwareArea firmware;
    NetworkArea network;
    SelfTestArea selftest;
};

enum class Mode { Firmware, Bootloader };

struct Request {
    int index = 0;     // order of arrival, from 0
    int64_t time = 0;  // when its last byte arrived
    std::vector<uint8_t> bytes;
    uint32_t word = 0;  // bytes 0-3 little-endian (0 for single text bytes)
    bool text = false;  // a character typed to the text console
};

// A handler's answer to one request.
struct Exchange {
    std::vector<uint8_t> reply;  // sent after the echo
    // Further pieces, each sent `delay_ms` after the previous piece ended.
    struct Piece {
        int64_t delay_ms;
        std::vector<uint8_t> bytes;
    };
    std::vector<Piece> more;
    bool restart = false;  // drop off the bus after the echo
    bool restart_forever = false;
    std::optional<Mode> next_mode;  // the mode it comes back in (or switches to)
};

struct TimedByte {
    int64_t time;
    uint8_t value;
};

class HubModel {
public:
    explicit HubModel(HubConfig config);

    HubConfig& config() { return config_; }
    const HubConfig& config() const { return config_; }
    Mode mode() const { return mode_; }
    uint16_t vendor_id() const;
    uint16_t product_id() const;

    // --- the bus ---
    bool present(int64_t now) const;
    int64_t absent_until() const { return absent_until_; }
    // When it last dropped off the bus.
    int64_t left_at() const { return left_at_; }
    const std::string& port_name() const { return port_name_; }
    // How many times the HUB has left the bus (each gives its port a new life).
    int generation() const { return generation_; }
    // When it last came onto the bus (0: it was there from the start).
    int64_t arrived_at() const { return generation_ == 0 ? 0 : absent_until_; }
    // It has stopped taking bytes (a hung HUB that stays on the bus).
    bool stalled() const { return stalled_; }
    // An open attempt: false while refusing or absent.
    bool accept_open(int64_t now);

    // --- bytes ---
    void host_write(int64_t now, std::span<const uint8_t> bytes);
    // Bytes waiting for the host, in time order.
    std::deque<TimedByte>& output() { return output_; }
    // Drops what the host has not read (the port was closed).
    void discard_output() {
        output_.clear();
        partial_.clear();
    }

    // --- what happened ---
    const std::vector<Request>& requests() const { return requests_; }
    // Requests with a given word, in order.
    std::vector<const Request*> requests_with_word(uint32_t word) const;

    // For handlers: the request buffer length this HUB expects for a frame
    // starting with `head` (4 bytes).
    size_t frame_length(const uint8_t* head) const;

private:
    void _complete(int64_t now);
    void _answer(const Request& request, Exchange& exchange, int64_t now);
    const Fault* _fault_for(const Request& request);
    void _restart(int64_t at, int64_t absent_ms);
    void _queue(int64_t start, std::span<const uint8_t> bytes, int64_t* end);

    HubConfig config_;
    Mode mode_ = Mode::Firmware;
    std::string port_name_;
    int64_t absent_until_ = 0;
    int64_t left_at_ = 0;
    int generation_ = 0;
    bool stalled_ = false;
    int opens_to_refuse_ = 0;
    std::vector<uint8_t> partial_;
    std::string text_line_;
    std::deque<TimedByte> output_;
    std::vector<Request> requests_;
};

// The core of the firmware: the probe and the sensor triggers.
bool handle_core(HubModel& hub, const Request& request, Exchange& exchange);

}  // namespace sim
