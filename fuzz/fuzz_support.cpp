#include "fuzz/fuzz_support.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/driver.hpp"
#include "log/USB_Logger.hpp"
#include "platform/platform.hpp"
#include "src/NetworkConfiguration.hpp"

namespace zfuzz {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kGaps[] = {0,    1,    5,    9,     11,    20,    44,    46,    99,    101,
                             250,  500,  999,  1001,  1999,  2001,  4999,  5001,  7999,  8001,
                             11999, 12001, 14999, 15001, 19999, 20001, 29999, 30001};
constexpr size_t kGapCount = sizeof kGaps / sizeof kGaps[0];

// Longer than any run the tool can make by the documented waits: more
// means something waits without end.
constexpr int64_t kMaxVirtualTicks = int64_t(3600) * 1000 * sim::kTicksPerMs;

void put16(Bytes& out, size_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

}  // namespace

void fail(const char* what) {
    std::fprintf(stderr, "zel fuzz check failed: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

int64_t gap_ms(uint8_t code) { return kGaps[code % kGapCount]; }

uint8_t gap_code(int64_t ms) {
    size_t best = 0;
    for (size_t i = 1; i < kGapCount; ++i) {
        if (std::llabs(kGaps[i] - ms) < std::llabs(kGaps[best] - ms)) best = i;
    }
    return uint8_t(best);
}

std::vector<Reply> read_replies(Input& in) {
    std::vector<Reply> replies;
    while (!in.empty()) {
        Reply r;
        const uint16_t length = in.u16();
        r.gap_ms = gap_ms(in.byte());
        const uint16_t split = in.u16();
        const std::span<const uint8_t> bytes = in.take(length);
        r.bytes.assign(bytes.begin(), bytes.end());
        r.split = std::min<size_t>(split, r.bytes.size());
        if (r.gap_ms == 0) r.split = r.bytes.size();
        replies.push_back(std::move(r));
    }
    return replies;
}

void append_reply(Bytes& out, const Reply& r) {
    put16(out, r.bytes.size());
    const bool gap = r.split < r.bytes.size() && r.gap_ms > 0;
    out.push_back(gap ? gap_code(r.gap_ms) : 0);
    put16(out, gap ? r.split : r.bytes.size());
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
}

int ReplyPlatform::port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) {
    sim::HubModel& model = hub();
    std::deque<sim::TimedByte>& out = model.output();
    const size_t before = out.size();
    const int generation = model.generation();
    const int result = SimPlatform::port_write(h, data, length);
    // A request that restarted the HUB has no reply to replace.
    if (result < 0 || model.generation() != generation || !match || !match({data, length})) return result;
    if (!recording && replies.empty()) return result;

    // What this write made the HUB send: its echo (as many bytes as were
    // written), then the reply and any later pieces.
    const size_t echo_end = std::min(out.size(), before + length);
    if (recording) {
        Reply r;
        for (size_t i = echo_end; i < out.size(); ++i) {
            if (i > echo_end && r.split == 0 && out[i].time - out[i - 1].time > sim::wire_ticks(1) + sim::kTicksPerMs) {
                r.split = r.bytes.size();
                r.gap_ms = (out[i].time - out[i - 1].time - sim::wire_ticks(1)) / sim::kTicksPerMs;
            }
            r.bytes.push_back(out[i].value);
        }
        if (r.split == 0) r.split = r.bytes.size();
        recorded.push_back(std::move(r));
        return result;
    }

    int64_t t = echo_end > before ? out[echo_end - 1].time : now();
    out.erase(out.begin() + long(echo_end), out.end());
    const Reply r = std::move(replies.front());
    replies.pop_front();
    t += model.config().reply_delay_us * 10;
    for (size_t i = 0; i < r.bytes.size(); ++i) {
        if (i == r.split && i > 0) t += r.gap_ms * sim::kTicksPerMs;
        t += sim::wire_ticks(1);
        out.push_back({t, r.bytes[i]});
    }
    return result;
}

sim::HubConfig hub_config(unsigned selector, bool legacy) {
    static constexpr sim::Kind kKinds[] = {sim::Kind::TorvaneAtmel, sim::Kind::Quillet, sim::Kind::TorvaneST};
    sim::HubConfig c;
    c.kind = kKinds[selector % 3];
    c.legacy = legacy && c.kind != sim::Kind::Quillet;
    return c;
}

int run_tool(sim::SimPlatform& platform, const std::vector<std::string>& args) {
    USB_Logger::Discard();
    std::vector<std::string> words{"zel_usb_interface"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int code = ::run(static_cast<int>(words.size()), argv.data(), platform);
    USB_Logger::Discard();
    zel::set_active_platform(nullptr);
    // ZEL_FUZZ_SHOW=1: what each run printed and returned (to look at an input).
    static const bool show = std::getenv("ZEL_FUZZ_SHOW") != nullptr;
    if (show) {
        std::string line;
        for (const std::string& w : words) line += w + " ";
        std::fprintf(stderr, "--- %s\n%s--- exit code %d, %.3f s virtual\n", line.c_str(), platform.out.c_str(), code,
                     double(platform.now()) / 1e7);
    }
    if (platform.open_handles() != 0) fail("a port handle is still open after the run");
    if (platform.now() > kMaxVirtualTicks) fail("the run took more than an hour of virtual time");
    return code;
}

// --- files ----------------------------------------------------------------------

const std::string& work_dir() {
    // Kept for the whole process: the exit handler that removes the folder
    // runs after the destructors of statics made before it was registered.
    static const std::string* const dir = [] {
        std::string pattern = (fs::temp_directory_path() / "zel_fuzz_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a temporary folder");
        return new std::string(pattern);
    }();
    static const bool registered = [] {
        return std::atexit([] {
            std::error_code ec;
            fs::remove_all(*dir, ec);
        }) == 0;
    }();
    (void)registered;
    return *dir;
}

std::string write_work_file(const std::string& name, const Bytes& bytes) {
    const std::string path = work_dir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) fail("cannot write a work file");
    return path;
}

const char* memory_file(const uint8_t* data, size_t size) {
    static int fd = -1;
    static char path[64];
    if (fd < 0) {
        fd = memfd_create("zel_fuzz_input", 0);
        if (fd < 0) fail("memfd_create failed");
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    if (ftruncate(fd, 0) != 0) fail("ftruncate of the memory file failed");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("writing the memory file failed");
        done += size_t(n);
    }
    return path;
}

namespace {
void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
Bytes pattern(size_t n, uint8_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8) * 13);
    return v;
}
}  // namespace

Bytes single_part_image(char variant, char target, uint32_t length, uint32_t header_offset) {
    Bytes f = pattern(size_t(header_offset) + 16 + 512 + length + 7, 0x31);
    std::memcpy(f.data(), "ZELS", 4);
    f[4] = uint8_t(variant);
    f[5] = uint8_t(target);
    put32(f, 12, header_offset);
    put32(f, header_offset, 0x1D0C0B0A);
    put32(f, header_offset + 4, 0xF1F2F3F4);
    put32(f, header_offset + 8, 0xD1D2D3D4);
    put32(f, header_offset + 12, length);
    return f;
}

Bytes two_part_image(char target, int32_t count, uint32_t length_a, uint32_t length_b) {
    Bytes f = pattern(596 + size_t(length_b) + length_a + 3, 0x47);
    std::memcpy(f.data(), "ZELS", 4);
    f[4] = 'F';
    f[5] = uint8_t(target);
    put32(f, 8, 0x2E0D0C0B);
    put32(f, 32, 0xB1B2B3B4);
    put32(f, 52, uint32_t(count));
    put32(f, 56, 0xA1A2A3A4);
    put32(f, 60, 0xB5B6B7B8);
    put32(f, 64, 0xA5A6A7A8);
    put32(f, 68, length_b);
    put32(f, 72, length_a);
    put32(f, 76, length_b);
    put32(f, 80, length_a);
    return f;
}

std::string network_xml_file() {
    NetworkConfiguration c{};
    std::memcpy(c.SSID, "BenchNet-5G", 11);
    std::memcpy(c.PSK, "correct horse battery", 21);
    std::memcpy(c.UNITY_ADDR, "U7", 2);
    c.CHANNEL_NO = 36;
    c.SERVERIP = 0x0A01A8C0;  // 192.168.1.10
    c.DEVICEIP = 0x1401A8C0;  // 192.168.1.20
    c.GATEWAY = 0x0101A8C0;   // 192.168.1.1
    c.PORT = 5555;
    c.DHCP = 0;
    c.SECURITY_TYPE = 2;
    c.BAND = 1;
    return network_xml_text(c);
}

// --- harness skeletons ------------------------------------------------------------

int run_reply_harness(const ReplyHarness& harness, const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t setup = in.byte();
    const uint8_t setup2 = in.byte();
    ReplyPlatform platform;
    platform.keep_trace = false;
    for (Reply& r : read_replies(in)) platform.replies.push_back(std::move(r));
    harness.run(platform, setup, setup2);
    return 0;
}

Seeds reply_harness_seeds(const ReplyHarness& harness) {
    Seeds seeds;
    for (const auto& [name, setup] : harness.seeds) {
        ReplyPlatform platform;
        platform.recording = true;
        harness.run(platform, setup.first, setup.second);
        Bytes input{setup.first, setup.second};
        for (const Reply& r : platform.recorded) append_reply(input, r);
        seeds.emplace_back(name, std::move(input));
    }
    return seeds;
}

void maybe_make_seeds(const std::function<Seeds()>& make) {
    const char* dir = std::getenv("ZEL_FUZZ_MAKE_SEEDS");
    if (dir == nullptr || *dir == '\0') return;
    fs::create_directories(dir);
    for (const auto& [name, bytes] : make()) {
        const fs::path path = fs::path(dir) / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out) fail("cannot write a seed");
        std::printf("seed %s (%zu bytes)\n", path.c_str(), bytes.size());
    }
    std::exit(0);
}

}  // namespace zfuzz
