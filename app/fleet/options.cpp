#include "app/fleet/options.hpp"

#include <charconv>

#include "app/fleet/hubs.hpp"

namespace zel::fleet {

const std::vector<Operation>& operations() {
    static const std::vector<Operation> kOperations = [] {
        std::vector<Operation> offered;
        for (const ::Operation& row : ::operations()) {
            if (row.fleet == Argument::NotOffered) continue;
            // argc counts the program and the option.
            const int min = row.min_argc - 2 - (row.fleet == Argument::HubImage ? 1 : 0);
            offered.push_back({row.option, min, row.max_argc - 2, row.fleet, row.upgrade});
        }
        return offered;
    }();
    return kOperations;
}

namespace {

bool to_jobs(const std::string& text, int& jobs) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, jobs);
    return error == std::errc() && stop == end && jobs >= 1;
}

}  // namespace

std::string parse_options(const std::vector<std::string>& arguments, Options& options) {
    options = Options{};
    if (arguments.empty() || arguments[0] == "--help") {
        options.mode = Options::Mode::Usage;
        return arguments.size() <= 1 ? "" : "--help takes nothing after it";
    }
    if (arguments[0] == "--version") {
        options.mode = Options::Mode::Version;
        return arguments.size() == 1 ? "" : "--version takes nothing after it";
    }
    if (arguments[0] == "--history") {
        options.mode = Options::Mode::History;
        if (arguments.size() > 2) return "--history takes at most a file after it";
        options.history = arguments.size() == 2 ? arguments[1] : "";
        return "";
    }
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word.rfind("--", 0) != 0) {
            if (options.operation == nullptr) {
                for (const Operation& operation : operations()) {
                    if (word == operation.option) options.operation = &operation;
                }
                if (options.operation == nullptr) return "'" + word + "' is no operation the fleet runs";
            } else {
                options.arguments.push_back(word);
            }
            continue;
        }
        if (i + 1 == arguments.size()) return word + " needs a value";
        const std::string& value = arguments[++i];
        if (word == "--port") {
            options.ports.push_back(value);
        } else if (word == "--location") {
            options.locations.push_back(value);
        } else if (word == "--serial") {
            options.serials.push_back(value);
        } else if (word == "--image") {
            const size_t equals = value.find('=');
            const std::string kind = value.substr(0, equals);
            if (equals == std::string::npos || equals + 1 == value.size() || kind_type(kind) == HubKind::None)
                return "--image takes KIND=IMAGE, KIND one of atmel, quillet, st: '" + value + "'";
            options.images.emplace_back(kind, value.substr(equals + 1));
        } else if (word == "--jobs") {
            if (!to_jobs(value, options.jobs)) return "--jobs takes a number from 1: '" + value + "'";
        } else if (word == "--timing") {
            if (value != "fast" && value != "documented") return "--timing takes fast or documented: '" + value + "'";
            options.timing = value;
        } else if (word == "--records") {
            options.records = value;
        } else if (word == "--history") {
            options.history = value;
        } else {
            return "unknown option " + word;
        }
    }
    const Operation* operation = options.operation;
    if (operation == nullptr) return "no operation given";
    const int count = static_cast<int>(options.arguments.size());
    if (count < operation->min_arguments || count > operation->max_arguments) {
        return std::string(operation->option) + " takes " +
               (operation->max_arguments == 0        ? "no argument"
                : operation->first == Argument::Text ? "other arguments"
                                                     : "one file");
    }
    if (operation->option == std::string("-hinfo") && count == 1 && options.arguments[0] != "-boot")
        return "-hinfo takes -boot or nothing";
    if (!options.images.empty() && operation->option != std::string("-h")) return "--image is for -h";
    if (operation->option == std::string("-h") && count == 0 && options.images.empty())
        return "-h needs an image: -h IMAGE, or --image KIND=IMAGE";
    return "";
}

std::string usage_text() {
    return "usage: zel_fleet OPERATION [ARGUMENTS] [OPTIONS]\n"
           "       zel_fleet --history [FILE]\n"
           "       zel_fleet --version\n"
           "\n"
           "Runs one operation of zel_usb_interface on every attached HUB at once, one run\n"
           "per HUB, each in a folder of its own, and keeps a history of every HUB's runs.\n"
           "\n"
           "OPERATIONS\n"
           "  -hinfo [-boot]  -sinfo  -log  -stest  -srf  -sfb\n"
           "  -h IMAGE        -s IMAGE  -sb IMAGE\n"
           "  -r FILE.xml     (each HUB's file in its folder)   -w FILE.xml\n"
           "  -rs CHANNEL [BAND]\n"
           "\n"
           "OPTIONS\n"
           "  --port PORT         only the HUB at this port (repeatable)\n"
           "  --location LOC      only the HUB at this USB location (repeatable)\n"
           "  --serial SERIAL     only the HUB with this serial number (repeatable)\n"
           "  --image KIND=IMAGE  -h: the image for the HUBs of one kind: atmel, quillet, st\n"
           "  --jobs N            at most N runs at once (default: every HUB at once)\n"
           "  --timing MODE       fast or documented, for every run (ZEL_TIMING)\n"
           "  --records DIR       where each fleet run's folder goes (default: ./zel_fleet)\n"
           "  --history FILE      the history file (default: zel_usb_interface/history.jsonl\n"
           "                      in LOCALAPPDATA, XDG_DATA_HOME or ~/.local/share)\n"
           "\n"
           "RESULTS\n"
           "  0 every HUB's run ended with 0; 60 a HUB's run failed, or an asked-for HUB is\n"
           "  missing; 61 no HUB attached or chosen; 62 bad arguments; 63 zel_usb_interface\n"
           "  or the records folder missing; 130 interrupted\n";
}

}  // namespace zel::fleet
