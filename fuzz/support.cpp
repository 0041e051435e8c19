#include "fuzz/support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/driver.hpp"
#include "tests/images.hpp"

namespace zfuzz {

namespace {

// Around the tool's read limits: 10 ms between bytes, 45 ms, 100 ms, 1 s,
// 2 s, 12 s, 15 s, 20 s, 30 s.
constexpr int64_t kGaps[] = {0,     1,     5,     9,     11,    20,    44,    46,   99,   101,
                             250,   500,   999,   1001,  1999,  2001,  4999,  5001, 7999, 8001,
                             11999, 12001, 14999, 15001, 19999, 20001, 29999, 30001};

// Longer than any run the tool can make by its documented waits: more means
// something waits without end.
constexpr int64_t kMaxVirtualTicks = int64_t(3600) * 1000 * sim::kTicksPerMs;

// Far more reads than any run makes; past it every read fails.
constexpr int kMaxReads = 200000;

}  // namespace

void fail(const char* what) {
    std::fprintf(stderr, "zel fuzz check failed: %s\n", what);
    std::abort();
}

sim::HubConfig hub_config(unsigned selector, bool legacy) {
    static constexpr sim::Kind kKinds[] = {sim::Kind::TorvaneAtmel, sim::Kind::Quillet, sim::Kind::TorvaneST};
    sim::HubConfig c;
    c.kind = kKinds[selector % 3];
    c.legacy = legacy && c.kind != sim::Kind::Quillet;
    return c;
}

int run_tool(sim::SimPlatform& platform, Args args) {
    platform.keep_trace = false;
    platform.env["ZEL_JSON"] = "run.json";  // the run record holds what the HUB sent, too
    args.insert(args.begin(), "zel_usb_interface");
    std::vector<char*> argv;
    for (std::string& w : args) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int code = ::run(int(args.size()), argv.data(), platform);
    static const bool show = std::getenv("ZEL_FUZZ_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "%s--- exit %d, %.3f s\n", platform.out.c_str(), code, platform.now_ms() / 1000);
    if (platform.open_handles() != 0) fail("a port handle is still open after the run");
    if (platform.now() > kMaxVirtualTicks) fail("the run took more than an hour of virtual time");
    if (platform.file("run.json") == nullptr) fail("the run left no run record");
    return code;
}

ReplyPlatform::ReplyPlatform(const uint8_t* data, size_t size) {
    const uint8_t* const end = data + size;
    auto byte = [&] { return data < end ? *data++ : uint8_t(0); };
    auto u16 = [&] {
        const size_t low = byte();
        return low | size_t(byte()) << 8;
    };
    setup = byte();
    setup2 = byte();
    while (data < end) {
        Reply r;
        const size_t length = u16();
        r.gap_ms = kGaps[byte() % std::size(kGaps)];
        const size_t split = u16();
        const size_t n = std::min<size_t>(length, size_t(end - data));
        r.bytes.assign(reinterpret_cast<const char*>(data), n);
        data += n;
        r.split = r.gap_ms == 0 ? n : std::min(split, n);
        replies.push_back(std::move(r));
    }
}

int ReplyPlatform::port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) {
    sim::HubModel& model = hub();
    std::deque<sim::TimedByte>& out = model.output();
    const size_t before = out.size();
    const int generation = model.generation();
    const int result = SimPlatform::port_write(h, data, length);
    // A request that restarted the HUB has no reply to replace.
    if (result < 0 || model.generation() != generation || replies.empty() || !match({data, length})) return result;
    // Keep the echo (as many bytes as were written); replace what follows it.
    const size_t echo_end = std::min(out.size(), before + length);
    int64_t t = (echo_end > before ? out[echo_end - 1].time : now()) + model.config().reply_delay_us * 10;
    out.erase(out.begin() + long(echo_end), out.end());
    const Reply r = std::move(replies.front());
    replies.pop_front();
    for (size_t i = 0; i < r.bytes.size(); ++i) {
        if (i == r.split && i > 0) t += r.gap_ms * sim::kTicksPerMs;
        t += sim::wire_ticks(1);
        out.push_back({t, uint8_t(r.bytes[i])});
    }
    return result;
}

// Whether a handle is open is the base's to know: its port_flush says so.
int StreamPlatform::port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) {
    if (!SimPlatform::port_flush(h)) return -1;
    pending_.assign(reinterpret_cast<const char*>(data), length);
    timer_wait(sim::wire_ticks(length));
    return int(length);
}

int StreamPlatform::port_read(zel::PortHandle h, uint8_t* data, uint32_t length) {
    if (!SimPlatform::port_flush(h) || ++reads_ > kMaxReads) return -1;
    if (gone_) {
        timer_wait(sim::kTicksPerMs);
        return -1;
    }
    if (data_ >= end_) return silence(length);
    size_t n = 0;
    switch (*data_++ % 4) {
        case 0:
            n = std::min<size_t>(length, pending_.size());
            std::copy_n(pending_.begin(), n, data);
            pending_.erase(0, n);
            break;
        case 1: {
            const size_t low = next();
            n = std::min({low | next() << 8, size_t(length), size_t(end_ - data_)});
            std::copy_n(data_, n, data);
            data_ += n;
            break;
        }
        case 2: break;
        default: gone_ = data_ >= end_; return -1;
    }
    if (n == 0) return silence(length);
    timer_wait(sim::wire_ticks(n));
    return int(n);
}

int StreamPlatform::silence(uint32_t length) {
    timer_wait((10 * int64_t(length) + 10) * sim::kTicksPerMs);
    return 0;
}

// The images of the tests (tests/images.hpp), as file texts.
std::string single_part_image(char variant, char target, uint32_t length) {
    const t::Bytes b = t::SinglePart{.variant = variant, .target = target, .length = length}.bytes();
    return {b.begin(), b.end()};
}

std::string two_part_image(char target, int32_t count, uint32_t length_a, uint32_t length_b) {
    const t::Bytes b = t::TwoPart{.target = target, .count = count, .length_a = length_a, .length_b = length_b}.bytes();
    return {b.begin(), b.end()};
}

const std::string kNetworkXml =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<NETWORK><SSID>BenchNet-5G</SSID><PSK>correct horse battery</PSK>"
    "<UNITY_ADDR>U7</UNITY_ADDR><CHANNEL_NO>36</CHANNEL_NO><SERVERIP>192.168.1.10</SERVERIP>"
    "<DEVICEIP>192.168.1.20</DEVICEIP><GATEWAY>192.168.1.1</GATEWAY><PORT>5555</PORT>"
    "<DHCP><Manual value=\"true\"/><Automatic value=\"false\"/></DHCP>"
    "<SECURITY_TYPE><RSI_OPEN value=\"false\"/><RSI_WPA2 value=\"true\"/></SECURITY_TYPE>"
    "<BAND><RSI_BAND_2_4GHZ value=\"false\"/><RSI_BAND_5GHZ value=\"true\"/></BAND></NETWORK>\n";

}  // namespace zfuzz
