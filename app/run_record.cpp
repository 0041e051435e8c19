#include "app/run_record.hpp"

#include <chrono>
#include <cstdio>

#include "log/USB_Logger.hpp"
#include "platform/platform.hpp"
#include "src/Command.hpp"

RunRecord::RunRecord(zel::Platform& platform, int argc, char** argv)
    : platform_(platform), path_(platform.environment("ZEL_JSON")), start_ticks_(platform.tick_count()) {
    const int64_t utc_ticks = platform.utc_now_ticks();
    record_ = {{"tool", "zel_usb_interface"},
               {"version", USB_Logger::kVersion},
               {"operation", argc > 1 ? argv[1] : ""},
               {"arguments", nlohmann::ordered_json::array()},
               {"started", utc(utc_ticks / 10'000'000, int(utc_ticks / 10'000 % 1000))},
               {"hub", nullptr},
               {"data", nlohmann::ordered_json::object()}};
    for (int i = 1; i < argc; ++i) record_["arguments"].push_back(argv[i]);
}

void RunRecord::hub(const Command& command) {
    const PortEntry* entry = command.chosen_entry();
    if (entry == nullptr) return;
    record_["hub"] = {{"port", entry->name},
                      {"location", entry->location},
                      {"kind", device_kind_name(entry->device_type)},
                      {"framing", command.is_legacy() ? "legacy" : "current"}};
}

void RunRecord::finish(int result) {
    if (path_.empty()) return;
    record_["duration_s"] = double(platform_.tick_count() - start_ticks_) / 1e7;
    record_["result"] = result;
    record_["exit_code"] = platform_.exit_status(result);
    const std::string text = record_.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    const zel::FileWrite written = platform_.replace_file(path_, text, false, false);
    if (written != zel::FileWrite::Replaced && written != zel::FileWrite::WrittenInPlace) {
        platform_.write_stderr("WARNING: cannot write the run record " + path_ + " (ZEL_JSON)\n");
    }
}

std::string RunRecord::version(uint32_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u-", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF);
    const char letter = char(v & 0xFF);
    return std::string(text) + (letter >= 0x20 && letter < 0x7F ? std::string(1, letter) : "");
}

std::string RunRecord::api_version(uint32_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", v >> 24, (v >> 16) & 0xFF, v & 0xFFFF);
    return text;
}

std::string RunRecord::utc(int64_t seconds, int milliseconds) {
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{at - day};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", int(date.year()), unsigned(date.month()),
                  unsigned(date.day()), int(time.hours().count()), int(time.minutes().count()),
                  int(time.seconds().count()));
    char fraction[16] = "";
    if (milliseconds >= 0) std::snprintf(fraction, sizeof fraction, ".%03d", milliseconds);
    return std::string(text) + fraction + "Z";
}

std::string RunRecord::hex(uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", word);
    return text;
}
