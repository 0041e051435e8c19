#include "app/fleet/history.hpp"

#include <chrono>
#include <cstdio>
#include <map>

#include "app/fleet/fleet.hpp"
#include "app/fleet/paths.hpp"
#include "app/fleet/report.hpp"
#include "app/run_record.hpp"
#include "platform/platform.hpp"

namespace zel::fleet {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
// A history grows by a few hundred bytes a HUB run: this is decades of a studio.
constexpr uint64_t kMaxHistoryBytes = uint64_t{1} << 30;

nlohmann::ordered_json text_or_null(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

// Seconds since 1970 of "2026-12-05T09:07:03.112Z"; -1 when it is none.
int64_t utc_seconds(const std::string& text) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2uT%2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second) != 6)
        return -1;
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
    if (!date.ok()) return -1;
    return int64_t{std::chrono::sys_days{date}.time_since_epoch().count()} * 86400 + int64_t{hour} * 3600 +
           int64_t{minute} * 60 + second;
}

struct Latest {
    std::string kind, location, firmware, operation, when, result;
};

}  // namespace

std::string default_history_path(Platform& platform) {
    const char sep = separator(platform);
    std::string base = platform.environment("LOCALAPPDATA");
    if (base.empty()) base = platform.environment("XDG_DATA_HOME");
    if (base.empty() && !platform.environment("HOME").empty())
        base = platform.environment("HOME") + sep + ".local" + sep + "share";
    if (base.empty()) return "";
    return base + sep + "zel_usb_interface" + sep + "history.jsonl";
}

std::string history_line(const HubRun& hub, const Options& options, int64_t utc_ticks) {
    nlohmann::ordered_json line;
    const int64_t seconds = utc_ticks / kTicksPerSecond;
    line["time"] = RunRecord::utc(seconds, int(utc_ticks % kTicksPerSecond / 10'000));
    line["serial"] = text_or_null(hub.serial);
    line["kind"] = hub.hub.kind;
    line["port"] = hub.hub.port;
    line["location"] = hub.hub.location;
    line["operation"] = options.operation->option;
    nlohmann::ordered_json arguments = nlohmann::ordered_json::array({options.operation->option});
    for (const std::string& argument : options.arguments) arguments.push_back(argument);
    line["arguments"] = arguments;
    line["image"] = hub.image_name.empty()
                        ? nlohmann::ordered_json()
                        : nlohmann::ordered_json{{"file", hub.image_name}, {"sha256", hub.image_sha256}};
    line["firmware_before"] = text_or_null(hub.firmware_before);
    line["firmware_after"] = text_or_null(hub.firmware_after);
    line["sensor_firmware"] = text_or_null(hub.sensor_firmware);
    line["result"] = hub.result;
    line["exit_code"] = hub.exit_status;
    line["verdict"] = hub.verdict.is_object() ? hub.verdict : nlohmann::ordered_json{{"text", hub.how_it_ended()}};
    line["records"] = hub.folder;
    // Texts from a run may hold bytes that are not UTF-8: replaced, never thrown.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool append_history(Platform& platform, const std::string& path, const std::string& line) {
    const std::string folder = path.substr(0, path.size() - leaf_name(platform, path).size());
    if (!folder.empty() && !make_directories(platform, folder.substr(0, folder.size() - 1))) return false;
    // One write of a whole line, at the end of the file: a reader sees it
    // whole or not at all, however many fleets append at once.
    return platform.append_to_file(path, line);
}

int print_history(Platform& platform, const std::string& path) {
    std::string text;
    if (platform.file_status(path).kind == FileStatus::Missing) {
        platform.write_stdout("No HUB in the history yet (" + path + ").\n");
        return 0;
    }
    if (!platform.read_file(path, kMaxHistoryBytes, true, text) || text.size() > kMaxHistoryBytes) {
        platform.write_stderr("zel_fleet: cannot read the history " + path + "\n");
        return results::fleet::kBadArguments;
    }
    std::map<std::string, Latest> hubs;  // by serial; a HUB whose serial was never read by its location
    for (size_t at = 0, end = 0; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const Json line = parse_json(text.substr(at, end - at));
        if (!line.is_object()) continue;
        const std::string serial = text_field(line, "serial");
        Latest& hub = hubs[serial.empty() ? "-\t" + text_field(line, "location") : serial];
        hub.kind = text_field(line, "kind");
        hub.location = text_field(line, "location");
        hub.operation = text_field(line, "operation");
        const int64_t when = utc_seconds(text_field(line, "time"));
        hub.when = when >= 0 ? platform.format_local_time(uint32_t(when), "%Y-%m-%d %H:%M:%S") : "-";
        hub.result = std::to_string(number_field(line, "result", -1));
        for (const char* key : {"firmware_before", "firmware_after"}) {
            if (!text_field(line, key).empty()) hub.firmware = text_field(line, key);
        }
    }
    if (hubs.empty()) {
        platform.write_stdout("No HUB in the history yet (" + path + ").\n");
        return 0;
    }
    std::vector<std::vector<std::string>> rows = {
        {"serial", "kind", "location", "firmware", "last operation", "when", "result"}};
    for (const auto& [key, hub] : hubs) {
        rows.push_back({key.rfind("-\t", 0) == 0 ? "-" : key, hub.kind, hub.location.empty() ? "-" : hub.location,
                        hub.firmware.empty() ? "-" : hub.firmware, hub.operation, hub.when, hub.result});
    }
    std::string out;
    for (const std::string& row : aligned(rows)) out += row + "\n";
    platform.write_stdout(out);
    return 0;
}

}  // namespace zel::fleet
