#include "app/run_record.hpp"

#include <chrono>

#include "log/USB_Logger.hpp"
#include "log/text.hpp"
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
    for (int i = 1; i < argc; ++i) {
        record_["arguments"].push_back(argv[i]);
        command_ += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    events_ = zel::EventStream(platform, platform.environment("ZEL_EVENTS"));
    nlohmann::ordered_json start = {{"time", record_["started"]},        {"tool", record_["tool"]},
                                    {"version", record_["version"]},     {"operation", record_["operation"]},
                                    {"arguments", record_["arguments"]}, {"pid", platform.process_id()}};
    events_.write("start", fields(start));
}

std::string RunRecord::fields(const nlohmann::ordered_json& object) {
    const std::string text = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return text.size() > 2 ? text.substr(1, text.size() - 2) : std::string();
}

void RunRecord::_verdict(bool ok, std::string text, const std::string& state, const std::string& next,
                         nlohmann::ordered_json facts) {
    nlohmann::ordered_json verdict = {{"ok", ok}, {"text", text}, {"hub_state", state}, {"next", next}};
    for (auto& [key, value] : facts.items()) verdict[key] = std::move(value);
    record_["verdict"] = std::move(verdict);
    verdict_due_ = true;
}

void RunRecord::succeeded(const std::string& done, const std::string& state, nlohmann::ordered_json facts) {
    _verdict(true, "Done: " + done + ". " + state + ".", state, "", std::move(facts));
}

void RunRecord::failed(int result, const RunStage& stage, nlohmann::ordered_json facts) {
    const std::string next = stage.next.empty() ? "run " + command_ + " again" : stage.next;
    _verdict(false,
             "Failed (error-code " + std::to_string(result) + ") while " + stage.doing + ". " + stage.leaves + ": " +
                 next + ".",
             stage.leaves, next, std::move(facts));
}

void RunRecord::found_no_hub() {
    _verdict(false,
             "No HUB found. Check the HUB's power and its USB cable; on Linux, that you may use its port (the "
             "tool's udev rule, or the dialout group); and that no other program holds the port. "
             "zel_usb_interface -list shows the HUBs the system sees.",
             "No HUB was found", "run zel_usb_interface -list", {});
}

void RunRecord::interrupted(const std::string& text, const RunStage& stage) {
    _verdict(false, text, stage.leaves, stage.next, {});
    verdict_due_ = false;
}

void RunRecord::hub(const Command& command) {
    const PortEntry* entry = command.chosen_entry();
    if (entry == nullptr) return;
    record_["hub"] = {{"port", entry->name},
                      {"location", entry->location},
                      {"kind", hub_kind_name(entry->device_type)},
                      {"framing", command.is_legacy() ? "legacy" : "current"}};
}

void RunRecord::hub_serial(const std::string& serial) {
    if (record_["hub"].is_object() && !serial.empty()) record_["hub"]["serial"] = serial;
}

void RunRecord::finish(int result, USB_Logger& logger) {
    if (verdict_due_) {
        const nlohmann::ordered_json& verdict = record_["verdict"];
        const std::string text = verdict["text"].get<std::string>() + "\n";
        if (verdict["ok"].get<bool>()) {
            logger.Info("%s", text.c_str());
        } else {
            logger.Error("%s", text.c_str());
        }
        verdict_due_ = false;
    }
    if (record_.contains("verdict")) events_.write("verdict", fields(record_["verdict"]));
    _write(result);
    events_.write("end", fields({{"result", result}, {"exit_code", platform_.exit_status(result)}}));
}

void RunRecord::_write(int result) {
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
    return version_text(v, VersionForm::RecordLetter);
}

std::string RunRecord::api_version(uint32_t v) {
    return version_text(v, VersionForm::Interface);
}

std::string RunRecord::utc(int64_t seconds, int milliseconds) {
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{at - day};
    return format_string("%04d-%02u-%02uT%02d:%02d:%02d", int(date.year()), unsigned(date.month()),
                         unsigned(date.day()), int(time.hours().count()), int(time.minutes().count()),
                         int(time.seconds().count())) +
           (milliseconds >= 0 ? format_string(".%03d", milliseconds) : "") + "Z";
}

std::string RunRecord::hex(uint32_t word) {
    return format_string("0x%x", word);
}
