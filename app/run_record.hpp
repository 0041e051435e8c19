// The machine-readable record of one run (ZEL_JSON=FILE): what ran, on which
// HUB, how it ended, and what the operation found, written when the run
// ends, also when it failed. docs/JSON.md describes every field.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "log/events.hpp"

class Command;
class USB_Logger;
struct RunStage;
namespace zel {
class Platform;
}

class RunRecord {
public:
    RunRecord(zel::Platform& platform, int argc, char** argv);

    // The HUB a command connected to: port, location, kind and framing.
    void hub(const Command& command);
    // Its serial number, as the run read it from the HUB; after
    // connect_and_run, which names the HUB anew.
    void hub_serial(const std::string& serial);
    // What the operation found; its layout is the operation's.
    nlohmann::ordered_json& data() { return record_["data"]; }

    // The verdict: the run's closing line, in a technician's words, and the
    // facts behind it. The last one given counts; finish() logs it after
    // every other line (INFO on success, ERROR on failure).
    //   "Done: <done>. <state>"
    void succeeded(const std::string& done, const std::string& state, nlohmann::ordered_json facts = {});
    //   "Failed (error-code N) while <doing>. <leaves>: <next>." (`next`
    //   empty: the same command again)
    void failed(int result, const RunStage& stage, nlohmann::ordered_json facts = {});
    // No HUB to work on: the usual causes, and how to see what is attached.
    void found_no_hub();
    // A verdict already logged: the report of an interruption.
    void interrupted(const std::string& text, const RunStage& stage);

    // Completes the record and replaces the file with it; a file that cannot
    // be written costs one warning on standard error and nothing else. The
    // event stream gets the verdict and, last, the end.
    void finish(int result, USB_Logger& logger);

    // The run's event stream (ZEL_EVENTS), begun with its start.
    zel::EventStream& events() { return events_; }

    // Texts of the device's words, as the reports print them.
    static std::string version(uint32_t v);                          // "2.1.3-A"
    static std::string api_version(uint32_t v);                      // "2.0.10"
    static std::string utc(int64_t seconds, int milliseconds = -1);  // "2024-12-04T10:00:00Z"
    static std::string hex(uint32_t word);                           // "0xa43201"

private:
    // An object's members as JSON text without the braces.
    static std::string fields(const nlohmann::ordered_json& object);
    void _write(int result);
    void _verdict(bool ok, std::string text, const std::string& state, const std::string& next,
                  nlohmann::ordered_json facts);

    zel::Platform& platform_;
    std::string path_;
    int64_t start_ticks_;
    nlohmann::ordered_json record_;
    std::string command_;       // the run's arguments, as a technician types them again
    bool verdict_due_ = false;  // set, and not logged yet
    zel::EventStream events_;
};
