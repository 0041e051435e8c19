// Before any HUB is touched: the tool beside the fleet, the inputs judged,
// the HUBs found and chosen, an image for each, and the folders made.
#include <algorithm>
#include <cctype>

#include "app/fleet/fleet.hpp"
#include "app/fleet/fleet_run.hpp"
#include "app/fleet/history.hpp"
#include "app/fleet/sha256.hpp"
#include "platform/platform.hpp"

namespace zel::fleet {
namespace {
constexpr int64_t kTicksPerSecond = 10'000'000;
}  // namespace

int FleetRun::_fail(int result, const std::string& text) {
    platform_.write_stderr("zel_fleet: " + text + "\n");
    return result;
}

int FleetRun::_load(const std::string& given, ImageFile& image) {
    image.path = absolute_path(platform_, given);
    image.name = leaf_name(platform_, given);
    const std::string problem = fwimage::read_image_file(platform_, image.path.c_str(), image.bytes);
    if (!problem.empty())
        return _fail(results::fleet::kBadArguments, "the image " + given + " cannot be used: " + problem);
    image.sha256 = sha256_hex(image.bytes.file());
    return 0;
}

int FleetRun::_judge_inputs() {
    arguments_ = {options_.operation->option};
    const bool hub_image = options_.operation->first == Argument::HubImage;
    const std::vector<std::string>& given = options_.arguments;
    switch (options_.operation->first) {
        case Argument::NotOffered: return 0;
        case Argument::HubImage:
        case Argument::Image:
            if (!given.empty()) {
                if (const int refused = _load(given[0], image_)) return refused;
                const std::string problem = hub_image ? std::string() : sensor_image_problem(image_.bytes.file());
                if (!problem.empty())
                    return _fail(results::fleet::kBadArguments, "the image " + given[0] + " is refused: " + problem);
            }
            for (const auto& [key, path] : options_.images) {
                ImageFile& image = kind_images_.emplace_back(kind_type(key), ImageFile{}).second;
                if (const int refused = _load(path, image)) return refused;
                const std::string problem = hub_image_problem(image.bytes.file(), kind_type(key));
                if (!problem.empty()) {
                    std::string text = "the image ";
                    text.append(path).append(" does not fit the kind ").append(key).append(": ").append(problem);
                    return _fail(results::fleet::kBadArguments, text);
                }
            }
            if (!hub_image) arguments_.push_back(image_.path);
            return 0;
        case Argument::InputFile:
            arguments_.push_back(absolute_path(platform_, given[0]));
            if (platform_.file_status(arguments_.back()).kind != FileStatus::Regular)
                return _fail(results::fleet::kBadArguments, "there is no file " + given[0]);
            return 0;
        case Argument::OutputFile:
            arguments_.push_back(leaf_name(platform_, given[0]));
            if (arguments_.back().empty()) return _fail(results::fleet::kBadArguments, given[0] + " names no file");
            return 0;
        case Argument::None:
        case Argument::Text: arguments_.insert(arguments_.end(), given.begin(), given.end()); return 0;
    }
    return 0;
}

void FleetRun::_choose(const std::vector<Hub>& attached) {
    auto port_is = [this](const std::string& asked, const Hub& hub) {
        return asked == hub.port || asked == leaf_name(platform_, hub.port);
    };
    for (const Hub& hub : attached) {
        bool wanted = options_.ports.empty() && options_.locations.empty();
        for (const std::string& port : options_.ports) wanted = wanted || port_is(port, hub);
        for (const std::string& location : options_.locations) wanted = wanted || location == hub.location;
        if (wanted) hubs_.emplace_back().hub = hub;
    }
    for (const std::string& port : options_.ports) {
        if (std::none_of(attached.begin(), attached.end(), [&](const Hub& hub) { return port_is(port, hub); }))
            missing_.push_back("port " + port);
    }
    for (const std::string& location : options_.locations) {
        if (std::none_of(attached.begin(), attached.end(), [&](const Hub& hub) { return location == hub.location; }))
            missing_.push_back("location " + location);
    }
}

// -h: each HUB gets the image given for its kind, else the one given after
// -h where it fits HUBs of its kind; the others are left out. The other
// upgrades give every HUB the same image.
void FleetRun::_give_images() {
    for (HubRun& hub : hubs_) {
        hub.arguments = arguments_;
        const ImageFile* image = image_.path.empty() ? nullptr : &image_;
        if (options_.operation->first == Argument::HubImage) {
            const auto own = std::find_if(kind_images_.begin(), kind_images_.end(),
                                          [&](const auto& kind) { return kind.first == hub.hub.device_type; });
            if (own != kind_images_.end()) {
                image = &own->second;
            } else if (image == nullptr) {
                hub.left_out = "no image for its kind (--image " + kind_key(hub.hub.device_type) + "=IMAGE)";
            } else if (const std::string problem = hub_image_problem(image->bytes.file(), hub.hub.device_type);
                       !problem.empty()) {
                hub.left_out = "the image " + image->name + " does not fit it: " + problem;
                image = nullptr;
            }
            if (image != nullptr) hub.arguments.push_back(image->path);
        }
        if (image != nullptr && options_.operation->upgrade) {
            hub.image_name = image->name;
            hub.image_sha256 = image->sha256;
        }
        if (!hub.left_out.empty()) hub.step = HubRun::Step::Done;
    }
}

int FleetRun::_make_folders() {
    const char sep = separator(platform_);
    std::string root = absolute_path(platform_, options_.records.empty() ? "zel_fleet" : options_.records);
    while (root.size() > 1 && (root.back() == sep || root.back() == '/')) root.pop_back();
    if (!make_directories(platform_, root))
        return _fail(results::fleet::kCannotStart, "cannot make the records folder " + root);
    // Named by the local date and time; a second fleet started in the same
    // second gets a folder of its own.
    const std::string stamp =
        platform_.format_local_time(uint32_t(platform_.utc_now_ticks() / kTicksPerSecond), "%Y-%m-%d_%H-%M-%S");
    auto make_new = [this](const std::string& base) {
        for (int n = 1; n < 100; ++n) {
            std::string folder = n == 1 ? base : base + "_" + std::to_string(n);
            if (platform_.make_directory(folder)) return folder;
        }
        return std::string();
    };
    records_ = make_new(root + sep + stamp);
    if (records_.empty()) return _fail(results::fleet::kCannotStart, "cannot make a folder in " + root);
    for (HubRun& hub : hubs_) {
        if (!hub.left_out.empty()) continue;
        hub.folder =
            make_new(records_ + sep +
                     folder_name(hub.hub.location.empty() ? leaf_name(platform_, hub.hub.port) : hub.hub.location));
        if (hub.folder.empty())
            return _fail(results::fleet::kCannotStart, "cannot make the folder of " + hub.name() + " in " + records_);
    }
    return 0;
}

int FleetRun::_prepare() {
    // The tool is the one beside this program (with its suffix, on a system
    // that gives programs one).
    const std::string self = platform_.executable_path();
    const std::string name = leaf_name(platform_, self);
    std::string suffix = name.size() > 4 ? name.substr(name.size() - 4) : "";
    std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](char c) { return char(std::tolower(uint8_t(c))); });
    tool_ = self.substr(0, self.size() - name.size()) + "zel_usb_interface" + (suffix == ".exe" ? ".exe" : "");
    if (self.empty() || platform_.file_status(tool_).kind != FileStatus::Regular)
        return _fail(results::fleet::kCannotStart, "zel_usb_interface is missing beside zel_fleet (" + tool_ + ")");
    // Every input is judged before any HUB is touched.
    if (const int refused = _judge_inputs()) return refused;
    const std::vector<Hub> attached = discover_hubs(platform_);
    if (attached.empty())
        return _fail(results::fleet::kNoHub, "No HUB found. zel_usb_interface -list shows the HUBs the system sees.");
    _choose(attached);
    if (hubs_.empty()) {
        std::string asked;
        for (const std::string& missing : missing_) asked += (asked.empty() ? "" : ", ") + missing;
        return _fail(results::fleet::kNoHub, "none of the attached HUBs is at " + asked);
    }
    _give_images();
    if (std::all_of(hubs_.begin(), hubs_.end(), [](const HubRun& hub) { return !hub.left_out.empty(); })) {
        std::string why;
        for (const HubRun& hub : hubs_) why += "\n  " + hub.name() + " " + hub.hub.kind + ": " + hub.left_out;
        return _fail(results::fleet::kNoHub, "no HUB is left to work on:" + why);
    }
    image_.bytes.release();
    for (auto& kind : kind_images_) kind.second.bytes.release();
    if (const int failed = _make_folders()) return failed;
    history_ = options_.history.empty() ? default_history_path(platform_) : absolute_path(platform_, options_.history);
    live_ = platform_.stdout_is_terminal();
    return 0;
}

}  // namespace zel::fleet
