// One fleet run, from the command line to the summary: prepared (the HUBs
// chosen, inputs judged, a folder for each HUB) in prepare.cpp, run (one
// run of the tool per HUB and step, a table or plain lines while they run,
// the summary and history after) in runner.cpp.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "app/fleet/hub_run.hpp"
#include "app/fleet/options.hpp"
#include "app/fleet/paths.hpp"
#include "src/FirmwareImage.hpp"

namespace zel::fleet {

struct ImageFile {
    std::string path;  // absolute
    std::string name;  // as given, without its folder
    std::string sha256;
    fwimage::ImageBuffer bytes;
};

class FleetRun {
public:
    FleetRun(Platform& platform, const Options& options) : platform_(platform), options_(options) {}
    int run();

private:
    bool is(const char* option) const { return std::string(options_.operation->option) == option; }
    // Choosing the HUBs, judging the inputs, making the folders (prepare.cpp).
    int _fail(int result, const std::string& text);
    int _prepare();
    int _judge_inputs();
    int _load(const std::string& given, ImageFile& image);
    void _choose(const std::vector<Hub>& attached);
    void _give_images();
    int _make_folders();
    // Running the tool on each HUB (runner.cpp).
    bool _identity_first() const;
    std::string _path(const HubRun& hub, const char* file) const { return hub.folder + separator(platform_) + file; }
    Json _read(const HubRun& hub, const char* file);
    void _start_queued(int64_t now);
    void _start(HubRun& hub, HubRun::Step step, int64_t now);
    void _ended(HubRun& hub, int status, int64_t now);
    void _operation_ended(HubRun& hub, int status, int64_t now);
    void _finish(HubRun& hub, int64_t now);
    void _watch(HubRun& hub, int64_t now);
    void _stop_all(int64_t now);
    void _show(int64_t now, bool force);
    std::string _again() const;
    int _result() const;

    Platform& platform_;
    const Options& options_;
    std::string tool_;
    std::vector<std::string> arguments_;  // of the operation's runs, but for -h's image
    ImageFile image_;                     // the image given after the operation
    std::vector<std::pair<HubKind, ImageFile>> kind_images_;
    std::deque<HubRun> hubs_;
    std::vector<std::string> missing_;
    std::string records_;
    std::string history_;
    bool history_warned_ = false;
    bool live_ = false;
    std::vector<std::string> shown_;  // the table as drawn last
    int64_t drawn_at_ = -1;
    std::string stopped_by_;
};

}  // namespace zel::fleet
