// The whole tool: the real driver runs one option, chosen by the input's
// first byte, in virtual time against a port whose every read is answered
// from the fuzzer's bytes; nothing the tool reads comes from a model.
//
// Input: byte 0 the option (mod 14, see kOptions), byte 1 the HUB kind
// (bits 0-1), a variant of the option's file (bits 2-3) and the -rs
// arguments (bits 4-7); then one operation per read of the tool:
//   op % 4 == 0  echo: the bytes of the last write not yet echoed (up to
//                the length asked for; nothing when none is left)
//   op % 4 == 1  data: u16 count (LE), then that many bytes (cut to the
//                length asked for and to the input's end)
//   op % 4 == 2  silence: nothing, after the read's whole time limit
//   op % 4 == 3  the device fails the read (-1)
// Once the input is used up every read is silence, so the tool's loops,
// all bounded by time, end.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"

namespace {
using namespace zfuzz;

constexpr int kOptions = 14;
// Far more reads than any run makes; past it every read fails.
constexpr int kMaxReads = 200000;

int64_t read_time_limit(uint32_t length) { return (10 * int64_t(length) + 10) * sim::kTicksPerMs; }

class StreamPlatform : public sim::SimPlatform {
public:
    explicit StreamPlatform(Input& in) : in_(in) {}

    zel::PortHandle port_create(const std::string& name) override {
        const zel::PortHandle h = SimPlatform::port_create(name);
        if (h != zel::kInvalidPort) open_.insert(h);
        return h;
    }
    void port_close(zel::PortHandle h) override {
        open_.erase(h);
        SimPlatform::port_close(h);
    }
    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override {
        if (open_.count(h) == 0) return -1;
        pending_.assign(data, data + length);
        advance(sim::wire_ticks(length));
        return int(length);
    }
    int port_read(zel::PortHandle h, uint8_t* data, uint32_t length) override {
        if (open_.count(h) == 0 || ++reads_ > kMaxReads) return -1;
        if (in_.empty()) return silence(length);
        switch (in_.byte() % 4) {
            case 0: {
                const size_t n = std::min<size_t>(length, pending_.size());
                if (n == 0) return silence(length);
                std::copy_n(pending_.begin(), n, data);
                pending_.erase(pending_.begin(), pending_.begin() + long(n));
                advance(sim::wire_ticks(n));
                return int(n);
            }
            case 1: {
                const std::span<const uint8_t> bytes = in_.take(std::min<size_t>(in_.u16(), length));
                if (bytes.empty()) return silence(length);
                std::copy(bytes.begin(), bytes.end(), data);
                advance(sim::wire_ticks(bytes.size()));
                return int(bytes.size());
            }
            case 2: return silence(length);
            default: return -1;
        }
    }

private:
    int silence(uint32_t length) {
        advance(read_time_limit(length));
        return 0;
    }

    Input& in_;
    std::set<zel::PortHandle> open_;
    std::vector<uint8_t> pending_;
    int reads_ = 0;
};

// Records a run against the model as the operations that replay it (seeds).
class RecordingPlatform : public sim::SimPlatform {
public:
    Bytes ops;

    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override {
        const int result = SimPlatform::port_write(h, data, length);
        if (result > 0) pending_.assign(data, data + length);
        return result;
    }
    int port_read(zel::PortHandle h, uint8_t* data, uint32_t length) override {
        const int got = SimPlatform::port_read(h, data, length);
        if (got < 0) {
            ops.push_back(3);
        } else if (got == 0) {
            ops.push_back(2);
        } else if (size_t(got) == std::min<size_t>(length, pending_.size()) &&
                   std::equal(data, data + got, pending_.begin())) {
            ops.push_back(0);
            pending_.erase(pending_.begin(), pending_.begin() + got);
        } else {
            ops.push_back(1);
            ops.push_back(uint8_t(got));
            ops.push_back(uint8_t(got >> 8));
            ops.insert(ops.end(), data, data + got);
        }
        return got;
    }

private:
    std::vector<uint8_t> pending_;
};

struct Files {
    std::string hub_image[3];        // by kind selector: one chunk per part
    std::string hub_image_long[3];   // several chunks per part
    std::string sensor_image, sensor_image_long;
    std::string wrong_target;        // a sensor image offered to -h, a HUB image to -s
    std::string hub_for_sensors;
    std::string missing;
    std::string xml, broken_xml;
    std::string read_target;
};

const Files& files() {
    static const Files f = [] {
        Files f;
        f.hub_image[0] = write_work_file("atmel.tfh", single_part_image('B', 'H', 300));
        f.hub_image[1] = write_work_file("quillet.tfh", two_part_image('H', 2, 200, 300));
        f.hub_image[2] = write_work_file("st.tfh", two_part_image('I', 2, 200, 300));
        f.hub_image_long[0] = write_work_file("atmel-long.tfh", single_part_image('F', 'H', 1600));
        f.hub_image_long[1] = write_work_file("quillet-long.tfh", two_part_image('H', 3, 1100, 700));
        f.hub_image_long[2] = write_work_file("st-long.tfh", two_part_image('I', 2, 1100, 1024));
        f.sensor_image = write_work_file("sensors.tfs", single_part_image('B', 'S', 400));
        f.sensor_image_long = write_work_file("sensors-long.tfs", single_part_image('F', 'S', 1500));
        f.wrong_target = f.sensor_image;
        f.hub_for_sensors = f.hub_image[0];
        f.missing = work_dir() + "/missing.tfh";
        const std::string xml = network_xml_file();
        f.xml = write_work_file("config.xml", Bytes(xml.begin(), xml.end()));
        const std::string broken = xml.substr(0, xml.size() / 2);
        f.broken_xml = write_work_file("broken.xml", Bytes(broken.begin(), broken.end()));
        f.read_target = work_dir() + "/read.xml";
        return f;
    }();
    return f;
}

std::vector<std::string> arguments(uint8_t option, uint8_t setup) {
    const Files& f = files();
    const unsigned kind = (setup & 3) % 3;
    const unsigned variant = (setup >> 2) & 3;
    auto pick = [variant](const std::string& normal, const std::string& longer, const std::string& wrong,
                          const std::string& missing) {
        const std::string* choice[] = {&normal, &longer, &wrong, &missing};
        return *choice[variant];
    };
    switch (option % kOptions) {
        case 0: return {"-log"};
        case 1: return {"-hinfo"};
        case 2: return {"-hinfo", "-boot"};
        case 3: return {"-sinfo"};
        case 4: return {"-h", pick(f.hub_image[kind], f.hub_image_long[kind], f.wrong_target, f.missing)};
        case 5: return {"-s", pick(f.sensor_image, f.sensor_image_long, f.hub_for_sensors, f.missing)};
        case 6: return {"-sb", pick(f.sensor_image, f.sensor_image_long, f.hub_for_sensors, f.missing)};
        case 7: return {"-srf"};
        case 8: return {"-sfb"};
        case 9: return {"-r", f.read_target};
        case 10: return {"-w", pick(f.xml, f.xml, f.broken_xml, f.missing)};
        case 11: {
            const std::string channel = std::to_string(((setup >> 4) & 7) * 5 + 1);
            if (setup & 0x80) return {"-rs", channel};
            return {"-rs", channel, std::to_string(variant)};
        }
        case 12: return {"-stest"};
        default: return variant == 0 ? std::vector<std::string>{} : std::vector<std::string>{"-x", "-y"};
    }
}

Seeds seeds() {
    struct Seed {
        const char* name;
        uint8_t option, setup;
    };
    static constexpr Seed kSeeds[] = {
        {"log-st", 0, 2},        {"hinfo-atmel", 1, 0},  {"hinfo-boot-quillet", 2, 1}, {"sinfo-st", 3, 2},
        {"h-atmel", 4, 0},       {"h-st", 4, 2},         {"h-quillet", 4, 1},          {"s-st", 5, 2},
        {"s-atmel-long", 5, 4},  {"sb-quillet", 6, 1},   {"srf-st", 7, 2},             {"sfb-atmel", 8, 0},
        {"r-st", 9, 2},          {"w-quillet", 10, 1},   {"rs-st-dual", 11, 2 | 2 << 2 | 1 << 4},
        {"stest-quillet", 12, 1}, {"stest-st", 12, 2},   {"usage", 13, 0},
    };
    Seeds out;
    for (const Seed& s : kSeeds) {
        RecordingPlatform platform;
        sim::HubConfig c = hub_config(s.setup & 3, false);
        if (s.option == 6) {
            for (sim::UpgradeSensor& sensor : c.firmware.sensors) sensor.in_boot = true;
        }
        platform.attach(std::move(c));
        run_tool(platform, arguments(s.option, s.setup));
        Bytes input{s.option, s.setup};
        input.insert(input.end(), platform.ops.begin(), platform.ops.end());
        out.emplace_back(s.name, std::move(input));
    }
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    maybe_make_seeds(seeds);
    files();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t option = in.byte();
    const uint8_t setup = in.byte();
    StreamPlatform platform(in);
    platform.keep_trace = false;
    platform.attach(hub_config(setup & 3, false));
    run_tool(platform, arguments(option, setup));
    return 0;
}
