// What the harnesses share: virtual-time platforms whose HUB answers from
// the fuzzer's bytes, a checked run of the real driver, and the files the
// runs hand the tool. Built without coverage or sanitizers (fuzz/CMakeLists.txt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "sim/testkit/sim_platform.hpp"

namespace zfuzz {

using Args = std::vector<std::string>;

[[noreturn]] void fail(const char* what);

// A HUB of kind 0 (Atmel Torvane), 1 (Quillet) or 2 (ST Torvane), by
// `selector % 3`; a Quillet is never legacy.
sim::HubConfig hub_config(unsigned selector, bool legacy);

// Runs "zel_usb_interface <args>" and checks what every run must leave
// behind: no port open, virtual time bounded, its run record (ZEL_JSON)
// written. ZEL_FUZZ_SHOW=1 prints what the tool printed and returned.
int run_tool(sim::SimPlatform& platform, Args args);

// Reply harness input: two setup bytes (each harness says what they mean),
// then reply records until the input ends:
//   u16 length (LE), u8 gap code, u16 split (LE), then `length` bytes
// (cut at the input's end). Record n replaces everything the HUB would have
// sent after the echo of the n-th request `match` accepts: the first `split`
// bytes after the HUB's usual processing delay, the rest after a silence
// picked by the gap code around the tool's read limits. Matching requests
// beyond the records get the model's own reply.
struct Reply {
    std::string bytes;
    size_t split = 0;
    int64_t gap_ms = 0;
};

class ReplyPlatform : public sim::SimPlatform {
public:
    ReplyPlatform(const uint8_t* data, size_t size);
    uint8_t setup = 0, setup2 = 0;
    std::deque<Reply> replies;
    bool (*match)(std::span<const uint8_t> written) = nullptr;

    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override;
};

// The driver harness's platform: no HUB answers, every read of the tool
// takes the next operation of the input:
//   op % 4 == 0  echo: the bytes of the last write not yet echoed (up to
//                the length asked for; silence when none is left)
//   op % 4 == 1  data: u16 count (LE), then that many bytes (cut to the
//                length asked for and to the input's end)
//   op % 4 == 2  silence for the read's whole time limit
//   op % 4 == 3  the device fails the read (-1)
// Past the input's end every read is silence, so the tool's loops, all
// bounded by time, end; but when the last operation was a failure the
// device is gone, and every later read fails (1 ms each, as a system call
// would take some time), so a loop that waits on a gone device shows.
class StreamPlatform : public sim::SimPlatform {
public:
    StreamPlatform(const uint8_t* data, size_t size) : data_(data), end_(data + size) {}
    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override;
    int port_read(zel::PortHandle h, uint8_t* data, uint32_t length) override;

private:
    size_t next() { return data_ < end_ ? *data_++ : 0; }
    int silence(uint32_t length);
    const uint8_t* data_;
    const uint8_t* end_;
    bool gone_ = false;
    std::string pending_;
    int reads_ = 0;
};

// Image files as an upgrade takes them, firmware bytes in a pattern:
// single-part ('B' or 'F' variant) and two-part with `count` parts.
std::string single_part_image(char variant, char target, uint32_t length);
std::string two_part_image(char target, int32_t count, uint32_t length_a, uint32_t length_b);

// A configuration file -w accepts.
extern const std::string kNetworkXml;

}  // namespace zfuzz
