// zel_floor: runs one operation of the tool in-process against the HUB model
// in virtual time and prints how long it took there. The virtual clock moves
// only by the tool's own sleeps and timers, by the bytes it writes at
// 3,000,000 baud, and by waiting for the model's bytes (echoes at the wire
// rate, replies after their delays, read time-outs), so the figure is the
// least time the protocol allows for the run, whatever the machine.
//
// usage: zel_floor [--kind atmel|quillet|st] [--legacy] [--drop-on-trigger]
//                  [--scenario FILE] [--fast] [--trace FILE] [--] TOOL-ARGUMENTS...
//
// The options mean what they mean to zel_hub_sim, so the same scenario gives
// the same model. --fast runs the tool with ZEL_TIMING=fast (set in the
// platform's environment, where the tool reads it). --trace writes the
// tool's wire trace (as ZEL_TRACE makes it) in virtual time, to set beside
// one of a real run. Output: "key value" lines (times in milliseconds).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/driver.hpp"
#include "log/USB_Logger.hpp"
#include "sim/model/hub_model.hpp"
#include "sim/server/scenario_file.hpp"
#include "sim/testkit/sim_platform.hpp"

namespace {

constexpr const char* kUsage =
    "usage: zel_floor [--kind atmel|quillet|st] [--legacy] [--drop-on-trigger] [--scenario FILE] [--fast]\n"
    "                 [--trace FILE] [--] ARGS...\n";
constexpr const char* kTraceName = "zel_floor.trace";

int usage(const std::string& problem) {
    std::fprintf(stderr, "zel_floor: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

double ms(int64_t ticks) {
    return double(ticks) / double(sim::kTicksPerMs);
}

// A firmware chunk as the tool writes it: the ST chunk word 0x00720100, the
// Atmel bootloader form AE xx '6' xx, or that form forwarded behind
// 00 15 17 00 to the sensors.
bool is_chunk(const std::vector<uint8_t>& w) {
    auto atmel = [&](size_t at) { return w.size() >= at + 4 && w[at] == 0xAE && w[at + 2] == '6'; };
    if (w.size() >= 4 && w[0] == 0x00 && w[1] == 0x01 && w[2] == 0x72 && w[3] == 0x00) return true;
    if (w.size() >= 8 && w[0] == 0x00 && w[1] == 0x15 && w[2] == 0x17 && w[3] == 0x00) return atmel(4);
    return atmel(0);
}

}  // namespace

int main(int argc, char** argv) {
    sim::HubConfig config;
    config.port_name = "ttyACM0";
    std::string kind, scenario, trace;
    bool legacy = false, drops = false, fast = false;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--") {
            ++first;
            break;
        }
        if (arg.rfind("--", 0) != 0) break;
        if ((arg == "--kind" || arg == "--scenario" || arg == "--trace") && first + 1 >= argc) {
            return usage(arg + " needs a value");
        }
        if (arg == "--kind") {
            kind = argv[++first];
        } else if (arg == "--scenario") {
            scenario = argv[++first];
        } else if (arg == "--trace") {
            trace = argv[++first];
        } else if (arg == "--legacy") {
            legacy = true;
        } else if (arg == "--drop-on-trigger") {
            drops = true;
        } else if (arg == "--fast") {
            fast = true;
        } else {
            return usage("unknown option " + arg);
        }
    }
    if (!scenario.empty()) {
        std::ifstream in(scenario, std::ios::binary);
        if (!in) return usage("cannot read " + scenario);
        std::ostringstream text;
        text << in.rdbuf();
        std::string error;
        if (!sim::scenario_file::parse(text.str(), config, error)) return usage(scenario + ": " + error);
    }
    if (!kind.empty()) {
        const auto k = sim::scenario_file::parse_kind(kind);
        if (!k) return usage("--kind needs atmel, quillet or st");
        config.kind = *k;
    }
    if (legacy) config.legacy = true;
    if (drops) config.sensor_trigger_drops = true;

    sim::SimPlatform platform;
    sim::HubModel& hub = platform.attach(config);
    if (!trace.empty()) platform.env["ZEL_TRACE"] = kTraceName;
    if (fast) platform.env["ZEL_TIMING"] = "fast";
    std::vector<std::string> words{"zel_usb_interface"};
    for (int i = first; i < argc; ++i) words.emplace_back(argv[i]);
    std::vector<char*> args;
    for (std::string& w : words) args.push_back(w.data());
    args.push_back(nullptr);

    // The virtual platform keeps its files in memory: hand it the real ones
    // the arguments name (images, configuration files).
    for (size_t i = 1; i < words.size(); ++i) {
        std::ifstream in(words[i], std::ios::binary);
        if (in) platform.files[words[i]].content.assign(std::istreambuf_iterator<char>(in), {});
    }
    const int code = run(int(words.size()), args.data(), platform);

    int64_t slept = 0, timed = 0;
    for (const sim::Wait& w : platform.waits) (w.kind == sim::Wait::Sleep ? slept : timed) += w.duration;
    size_t written = 0, read = 0;
    int64_t writing = 0;  // the platform moves the clock write by write
    for (const sim::TraceEntry& e : platform.trace) {
        if (e.to_hub) {
            written += e.bytes.size();
            writing += sim::wire_ticks(e.bytes.size());
        } else {
            read += e.bytes.size();
        }
    }
    // Everything that is not a sleep, a timer or the tool's own writes: the
    // model's echoes and replies arriving, and reads running into their
    // time-outs.
    const int64_t waiting = platform.now() - slept - timed - writing;
    // The firmware transfer: each run of chunks back to back, from its first
    // chunk's write to the read that completed its last chunk's echo. The
    // waits between the parts of an image are not part of it.
    size_t chunks = 0;
    int64_t transfer = 0;    // the runs that ended
    int64_t run_start = -1;  // -1: not in a run
    int64_t run_end = 0;
    for (size_t i = 0; i < platform.trace.size(); ++i) {
        const sim::TraceEntry& e = platform.trace[i];
        if (!e.to_hub) continue;
        if (!is_chunk(e.bytes)) {
            if (run_start >= 0) transfer += run_end - run_start;
            run_start = -1;
            continue;
        }
        ++chunks;
        if (run_start < 0) run_start = e.time;
        run_end = e.time;
        size_t echoed = 0;
        for (size_t j = i + 1; j < platform.trace.size() && !platform.trace[j].to_hub && echoed < e.bytes.size(); ++j) {
            echoed += platform.trace[j].bytes.size();
            run_end = platform.trace[j].time;
        }
    }
    if (run_start >= 0) transfer += run_end - run_start;
    if (!trace.empty()) {
        const sim::SimFile* text = platform.file(kTraceName);
        std::ofstream out(trace, std::ios::binary);
        if (text != nullptr) out << text->content;
        if (!out) std::fprintf(stderr, "zel_floor: cannot write %s\n", trace.c_str());
    }
    std::printf("exit %d\n", code);
    std::printf("virtual_ms %.4f\n", ms(platform.now()));
    std::printf("sleeps_ms %.4f\n", ms(slept));
    std::printf("timers_ms %.4f\n", ms(timed));
    std::printf("write_wire_ms %.4f\n", ms(writing));
    std::printf("reading_ms %.4f\n", ms(waiting));
    std::printf("bytes_written %zu\n", written);
    std::printf("bytes_read %zu\n", read);
    std::printf("requests %zu\n", hub.requests().size());
    std::printf("waits %zu\n", platform.waits.size());
    std::printf("chunks %zu\n", chunks);
    if (chunks > 0) std::printf("transfer_ms %.4f\n", ms(transfer));
    return 0;
}
