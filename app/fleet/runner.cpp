// The fleet running: one run of the tool per HUB and step, started and
// waited for, with a table or plain lines while they run, and the summary
// and history after.
#include <algorithm>

#include "app/fleet/fleet.hpp"
#include "app/fleet/fleet_run.hpp"
#include "app/fleet/history.hpp"
#include "app/fleet/report.hpp"
#include "log/USB_Logger.hpp"
#include "platform/platform.hpp"

namespace zel::fleet {
namespace {

constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
// The table is redrawn, and the runs' files looked at, at most this often.
constexpr uint32_t kTickMs = 250;
// A run of the tool ends every wait of its own within seconds; one that
// writes nothing for this long, beyond a wait it announced, is stopped.
constexpr int64_t kQuietLimit = 300 * kTicksPerSecond;
// A run asked to stop ends at its next wait; one still there after this is
// ended by force.
constexpr int64_t kStopGrace = 10 * kTicksPerSecond;
constexpr uint64_t kMaxRecordBytes = uint64_t{16} << 20;
constexpr uint64_t kMaxEventBytes = uint64_t{8} << 20;

// What each HUB's folder holds besides the tool's log.
constexpr const char* kConsole = "console.txt";  // the standard output and error of its runs
constexpr const char* kIdentity = "identity.json";
constexpr const char* kRecord = "record.json";
constexpr const char* kEvents = "events.jsonl";
constexpr const char* kAfter = "after.json";

std::string quoted(const std::string& word) {
    return word.find_first_of(" \t\"'") == std::string::npos && !word.empty() ? word : "\"" + word + "\"";
}

}  // namespace

bool FleetRun::_identity_first() const {
    // A plain -hinfo reads the identity itself.
    return !(is("-hinfo") && options_.arguments.empty()) || !options_.serials.empty();
}

Json FleetRun::_read(const HubRun& hub, const char* file) {
    std::string text;
    if (!platform_.read_file(_path(hub, file), kMaxRecordBytes, false, text) || text.size() > kMaxRecordBytes)
        return {};
    return parse_json(text);
}

void FleetRun::_start_queued(int64_t now) {
    size_t running = size_t(std::count_if(hubs_.begin(), hubs_.end(), [](const HubRun& hub) { return !!hub.child; }));
    for (HubRun& hub : hubs_) {
        if (hub.step != HubRun::Step::Queued) continue;
        if (!stopped_by_.empty()) {
            hub.outcome = "Not started: nothing was sent to it.";
            _finish(hub, now);
            continue;
        }
        if (options_.jobs > 0 && running >= size_t(options_.jobs)) break;
        _start(hub, _identity_first() ? HubRun::Step::Identity : HubRun::Step::Operation, now);
        running += hub.child ? 1 : 0;
    }
}

void FleetRun::_start(HubRun& hub, HubRun::Step step, int64_t now) {
    ChildSpec spec;
    spec.program = tool_;
    spec.directory = hub.folder;
    spec.output = _path(hub, kConsole);
    // The HUB by its USB location where the system tells it: that lasts
    // across a restart under another port name.
    spec.environment = {{"ZEL_PORT", hub.hub.location.empty() ? hub.hub.port : hub.hub.location}};
    if (step == HubRun::Step::Operation) {
        spec.arguments = hub.arguments;
        spec.environment.emplace_back("ZEL_JSON", _path(hub, kRecord));
        spec.environment.emplace_back("ZEL_EVENTS", _path(hub, kEvents));
    } else {
        spec.arguments = {"-hinfo"};
        spec.environment.emplace_back("ZEL_JSON", _path(hub, step == HubRun::Step::Identity ? kIdentity : kAfter));
    }
    if (!options_.timing.empty()) spec.environment.emplace_back("ZEL_TIMING", options_.timing);
    std::string why;
    hub.child = platform_.start_child(spec, why);
    hub.step = step;
    if (hub.started < 0) hub.started = now;
    hub.quiet_since = now;
    if (!hub.child) {
        hub.outcome = "zel_usb_interface could not be started: " + why + ".";
        _finish(hub, now);
        return;
    }
    hub.ran = hub.ran || step == HubRun::Step::Operation;
}

void FleetRun::_ended(HubRun& hub, int status, int64_t now) {
    hub.child.reset();
    hub.stop_sent = -1;
    if (hub.step == HubRun::Step::Operation) {
        _operation_ended(hub, status, now);
        return;
    }
    const Json record = _read(hub, hub.step == HubRun::Step::Identity ? kIdentity : kAfter);
    const Json& data = field(record, "data");
    if (hub.step == HubRun::Step::After) {
        if (number_field(record, "result", -1) == 0) hub.firmware_after = text_field(data, "firmware_version");
        _finish(hub, now);
        return;
    }
    hub.serial = text_field(data, "serial_number");
    hub.firmware_before = text_field(data, "firmware_version");
    const std::vector<std::string>& serials = options_.serials;
    if (!serials.empty() && std::find(serials.begin(), serials.end(), hub.serial) == serials.end()) {
        hub.left_out = hub.serial.empty() ? "its serial number could not be read" : "another serial number";
        _finish(hub, now);
        return;
    }
    if (!stopped_by_.empty() || hub.hung) {
        hub.verdict = field(record, "verdict");
        if (hub.outcome.empty()) hub.outcome = "Stopped while its identity was read; the operation did not run.";
        _finish(hub, now);
        return;
    }
    _start(hub, HubRun::Step::Operation, now);
}

void FleetRun::_operation_ended(HubRun& hub, int status, int64_t now) {
    hub.exit_status = status;
    const Json record = _read(hub, kRecord);
    hub.verdict = field(record, "verdict");
    hub.result = number_field(record, "result", status);
    if (!record.is_object() && hub.outcome.empty())
        hub.outcome = "Its run ended with exit status " + std::to_string(status) + " and wrote no run record.";
    // A HUB that came back from a restart under another name.
    const std::string port = text_field(field(record, "hub"), "port");
    if (!port.empty()) hub.hub.port = port;
    const Json& data = field(record, "data");
    if (is("-hinfo") && options_.arguments.empty()) {
        hub.serial = text_field(data, "serial_number");
        hub.firmware_before = text_field(data, "firmware_version");
    } else if (is("-h")) {
        hub.firmware_after = text_field(hub.verdict, "firmware_version");
    } else if (options_.operation->upgrade) {
        for (const Json& sensor : field(data, "sensors")) {
            const std::string version = text_field(sensor, "version");
            if (text_field(sensor, "outcome") != "running" || version.empty() ||
                hub.sensor_firmware.find(version) != std::string::npos)
                continue;
            hub.sensor_firmware += (hub.sensor_firmware.empty() ? "" : ", ") + version;
        }
    }
    // Without the firmware in its verdict, a second look tells what the HUB runs now.
    if (is("-h") && hub.firmware_after.empty() && stopped_by_.empty() && !hub.hung) {
        _start(hub, HubRun::Step::After, now);
        return;
    }
    _finish(hub, now);
}

void FleetRun::_finish(HubRun& hub, int64_t now) {
    hub.step = HubRun::Step::Done;
    hub.finished = now;
    if (hub.ran && !history_.empty() &&
        !append_history(platform_, history_, history_line(hub, options_, platform_.utc_now_ticks())) &&
        !history_warned_) {
        history_warned_ = true;
        platform_.write_stderr("zel_fleet: WARNING: cannot write the history " + history_ + "\n");
    }
    if (!live_) platform_.write_stdout(finished_line(hub, *options_.operation));
}

void FleetRun::_watch(HubRun& hub, int64_t now) {
    const FileStatus output = platform_.file_status(_path(hub, kConsole));
    if (output.size != hub.output_size) {
        hub.output_size = output.size;
        hub.quiet_since = now;
    }
    const std::string events = _path(hub, kEvents);
    const FileStatus stream = platform_.file_status(events);
    std::string text;
    if (hub.step == HubRun::Step::Operation && stream.size > hub.events_taken && hub.events_taken < kMaxEventBytes &&
        platform_.read_file(events, kMaxEventBytes, false, text)) {
        hub.events_taken = take_events(text, hub.events_taken, now, hub.progress);
        hub.quiet_since = now;
    }
    const int64_t announced = hub.progress.waiting.empty() ? 0 : std::max<int64_t>(hub.progress.wait_ends - now, 0);
    if (hub.stop_sent < 0 && now - hub.quiet_since > kQuietLimit + announced) {
        hub.hung = true;
        hub.outcome =
            "It gave no sign of life for " + std::to_string(kQuietLimit / kTicksPerSecond) + " s and was stopped.";
        hub.child->interrupt();
        hub.stop_sent = now;
    } else if (hub.stop_sent >= 0 && !hub.killed && now - hub.stop_sent > kStopGrace) {
        hub.child->kill();
        hub.killed = true;
    }
}

void FleetRun::_stop_all(int64_t now) {
    stopped_by_ = platform_.interruption();
    for (HubRun& hub : hubs_) {
        if (!hub.child || hub.stop_sent >= 0) continue;
        hub.child->interrupt();
        hub.stop_sent = now;
    }
}

void FleetRun::_show(int64_t now, bool force) {
    if (!live_ || (!force && drawn_at_ >= 0 && now - drawn_at_ < kTickMs * kTicksPerMs)) return;
    std::vector<std::string> lines = live_table(hubs_, *options_.operation, now);
    const size_t done = size_t(std::count_if(hubs_.begin(), hubs_.end(), [](const HubRun& hub) {
        return hub.left_out.empty() && hub.step == HubRun::Step::Done;
    }));
    const size_t chosen =
        size_t(std::count_if(hubs_.begin(), hubs_.end(), [](const HubRun& hub) { return hub.left_out.empty(); }));
    lines.push_back(std::to_string(done) + " of " + std::to_string(chosen) + " done; " +
                    (stopped_by_.empty() ? "Ctrl-C stops every run" : "stopping every run (" + stopped_by_ + ")"));
    drawn_at_ = now;
    if (lines == shown_) return;
    platform_.redraw_stdout(lines, shown_.size());
    shown_ = std::move(lines);
}

std::string FleetRun::_again() const {
    // Those whose verdict says to run the same operation again, or says
    // nothing; the others' lines name what they need.
    const std::string same = std::string("run ") + options_.operation->option + " ";
    std::string hubs;
    for (const HubRun& hub : hubs_) {
        const std::string next = text_field(hub.verdict, "next");
        if (!hub.left_out.empty() || hub.succeeded() || !(next.empty() || next.rfind(same, 0) == 0)) continue;
        hubs +=
            hub.hub.location.empty() ? " --port " + quoted(hub.hub.port) : " --location " + quoted(hub.hub.location);
    }
    if (hubs.empty()) return "";
    std::string command = std::string("zel_fleet ") + options_.operation->option;
    for (const std::string& argument : options_.arguments) command += " " + quoted(argument);
    for (const auto& [key, path] : options_.images)
        command.append(" --image ").append(quoted(key)).append("=").append(quoted(path));
    if (!options_.timing.empty()) command += " --timing " + options_.timing;
    if (!options_.records.empty()) command += " --records " + quoted(options_.records);
    return command + hubs;
}

int FleetRun::_result() const {
    if (!stopped_by_.empty()) return results::fleet::kInterrupted;
    bool any = false;
    bool failed = !missing_.empty();
    for (const HubRun& hub : hubs_) {
        if (!hub.left_out.empty()) continue;
        any = true;
        failed = failed || !hub.succeeded();
    }
    return !any ? results::fleet::kNoHub : failed ? results::fleet::kSomeFailed : results::fleet::kAllDone;
}

int FleetRun::run() {
    if (const int refused = _prepare()) return refused;
    const size_t left_out =
        size_t(std::count_if(hubs_.begin(), hubs_.end(), [](const HubRun& hub) { return !hub.left_out.empty(); }));
    platform_.write_stdout("zel_fleet: " + std::string(options_.operation->option) + " on " +
                           std::to_string(hubs_.size() - left_out) + (hubs_.size() - left_out == 1 ? " HUB" : " HUBs") +
                           (left_out > 0 ? " (" + std::to_string(left_out) + " left out)" : "") + ", records in " +
                           records_ + "\n");
    for (HubRun& hub : hubs_) {
        if (!hub.left_out.empty() && !live_) platform_.write_stdout(finished_line(hub, *options_.operation));
    }
    int64_t now = platform_.tick_count();
    for (;;) {
        if (stopped_by_.empty() && !platform_.interruption().empty()) _stop_all(now);
        _start_queued(now);
        std::vector<ChildProcess*> running;
        for (HubRun& hub : hubs_) {
            if (hub.child) running.push_back(hub.child.get());
        }
        if (running.empty()) break;
        _show(now, false);
        platform_.wait_children(running, kTickMs);
        now = platform_.tick_count();
        for (HubRun& hub : hubs_) {
            int status = 0;
            if (!hub.child) continue;
            if (hub.child->ended(status)) {
                _ended(hub, status, now);
            } else {
                _watch(hub, now);
            }
        }
    }
    _show(now, true);
    for (const std::string& serial : options_.serials) {
        if (std::none_of(hubs_.begin(), hubs_.end(), [&](const HubRun& hub) { return hub.serial == serial; }))
            missing_.push_back("serial " + serial);
    }
    Ending ending{missing_, stopped_by_, _again(), records_};
    platform_.write_stdout(summary(hubs_, *options_.operation, ending));
    return _result();
}

int run_fleet(const std::vector<std::string>& arguments, Platform& platform) {
    Options options;
    const std::string problem = parse_options(arguments, options);
    if (!problem.empty()) {
        platform.write_stderr("zel_fleet: " + problem + "\nzel_fleet without arguments shows its usage.\n");
        return results::fleet::kBadArguments;
    }
    switch (options.mode) {
        case Options::Mode::Usage: platform.write_stdout(usage_text()); return 0;
        case Options::Mode::Version:
            platform.write_stdout(std::string("zel_fleet ") + USB_Logger::kVersion + "\n");
            return 0;
        case Options::Mode::History: {
            const std::string path =
                options.history.empty() ? default_history_path(platform) : absolute_path(platform, options.history);
            if (path.empty()) {
                platform.write_stderr(
                    "zel_fleet: no history file: neither LOCALAPPDATA, XDG_DATA_HOME nor HOME is set\n");
                return results::fleet::kBadArguments;
            }
            return print_history(platform, path);
        }
        case Options::Mode::Run: break;
    }
    return FleetRun(platform, options).run();
}

}  // namespace zel::fleet
