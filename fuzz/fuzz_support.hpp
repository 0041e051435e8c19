// What the libFuzzer harnesses share: reading the fuzz input, a virtual-time
// platform whose HUB model answers chosen requests with the fuzzer's bytes,
// running the real driver in-process, files the runs need, and writing seed
// corpora.
//
// Reply harness input: byte 0 and byte 1 set the run up (HUB kind, framing,
// option; each harness says how), then reply records until the input ends:
//   u16 length (LE), u8 gap code, u16 split (LE), then `length` bytes
// (cut at the input's end). Record n replaces everything the HUB would have
// sent after the echo of the n-th matching request: the first `split` bytes
// come after the HUB's usual processing delay, the rest after a silence of
// gap_ms(gap code). Matching requests beyond the records are answered by the
// model as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/testkit/sim_platform.hpp"

namespace zfuzz {

using Bytes = std::vector<uint8_t>;

// Reads the input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - at_; }
    uint8_t byte() { return empty() ? 0 : data_[at_++]; }
    uint16_t u16() {
        const uint16_t lo = byte();
        return uint16_t(lo | uint16_t(byte()) << 8);
    }
    std::span<const uint8_t> take(size_t n) {
        n = std::min(n, left());
        std::span<const uint8_t> s(data_ + at_, n);
        at_ += n;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// --- reply records -------------------------------------------------------

struct Reply {
    Bytes bytes;
    size_t split = 0;     // bytes of the first piece; the rest follow the gap
    int64_t gap_ms = 0;
};

// The silences a gap code stands for: around the tool's read limits
// (10 ms between bytes, 45 ms, 100 ms, 1 s, 2 s, 12 s, 15 s, 20 s, 30 s).
int64_t gap_ms(uint8_t code);
uint8_t gap_code(int64_t ms);  // the code of the nearest gap

std::vector<Reply> read_replies(Input& in);
void append_reply(Bytes& out, const Reply& reply);

// --- requests ---------------------------------------------------------------

// Which writes of the tool get a fuzzed reply.
using Match = std::function<bool(std::span<const uint8_t> written)>;
inline uint32_t word_of(std::span<const uint8_t> b) {
    return b.size() < 4 ? 0 : uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
// The legacy / bootloader form: AE xx CODE xx.
inline bool is_form(std::span<const uint8_t> b, uint8_t code) {
    return b.size() >= 4 && b[0] == 0xAE && b[2] == code;
}

// A SimPlatform whose HUB answers matching requests with reply records.
// With `recording` set it replaces nothing and keeps what the model sent
// instead (how the seeds are made).
class ReplyPlatform : public sim::SimPlatform {
public:
    Match match;
    std::deque<Reply> replies;
    bool recording = false;
    std::vector<Reply> recorded;

    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override;
};

// A HUB of kind 0 (Torvane Atmel), 1 (Quillet) or 2 (Torvane ST), by
// `selector % 3`; a Quillet is never legacy.
sim::HubConfig hub_config(unsigned selector, bool legacy);

// Runs "zel_usb_interface <args>" on the platform, with a fresh logger, and
// checks what every run must leave behind (no port left open, virtual time
// bounded); aborts the process with a message when not.
int run_tool(sim::SimPlatform& platform, const std::vector<std::string>& args);

// --- files --------------------------------------------------------------------

// A private folder of this process (removed at exit).
const std::string& work_dir();
// Writes a file into work_dir() and returns its path.
std::string write_work_file(const std::string& name, const Bytes& bytes);
// A path the process can use to read `bytes` as a file (a memory file,
// rewritten on each call).
const char* memory_file(const uint8_t* data, size_t size);

// Image files as the upgrade expects them: single-part ('B' or 'F' variant),
// and two-part with `count` parts. Firmware bytes follow a pattern.
Bytes single_part_image(char variant, char target, uint32_t length, uint32_t header_offset = 40);
Bytes two_part_image(char target, int32_t count, uint32_t length_a, uint32_t length_b);
// A valid XML configuration file.
std::string network_xml_file();

// --- harness skeletons ----------------------------------------------------------

// A harness over one or more reply parsers: `run` sets the HUB up on the
// platform from the two setup bytes, sets `match`, and runs the tool.
struct ReplyHarness {
    void (*run)(ReplyPlatform& platform, uint8_t setup, uint8_t setup2);
    // Seeds: a name and the two setup bytes; the records are what the model
    // answers in that run.
    std::vector<std::pair<std::string, std::pair<uint8_t, uint8_t>>> seeds;
};
int run_reply_harness(const ReplyHarness& harness, const uint8_t* data, size_t size);

using Seeds = std::vector<std::pair<std::string, Bytes>>;
Seeds reply_harness_seeds(const ReplyHarness& harness);
// When ZEL_FUZZ_MAKE_SEEDS names a folder, writes the seeds there and exits.
void maybe_make_seeds(const std::function<Seeds()>& make);

[[noreturn]] void fail(const char* what);

}  // namespace zfuzz

// The two entry points of a reply harness.
#define ZEL_REPLY_HARNESS(harness)                                                         \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                   \
        ::zfuzz::maybe_make_seeds([] { return ::zfuzz::reply_harness_seeds(harness); });   \
        return 0;                                                                          \
    }                                                                                      \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {              \
        return ::zfuzz::run_reply_harness(harness, data, size);                            \
    }
