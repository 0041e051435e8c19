// zel_hub_sim: stand-in HUBs served on pseudo-terminals, so the real
// zel_usb_interface can be run against them. See docs/HUB_SIM.md.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/model/hub_model.hpp"
#include "sim/server/fake_tree.hpp"
#include "sim/server/pty_server.hpp"
#include "sim/server/scenario_file.hpp"

namespace {

constexpr const char* kUsage =
    "usage: zel_hub_sim --dir DIR [--trace FILE] [--exit-after-idle SECONDS]\n"
    "                   [--kind atmel|quillet|st] [--legacy] [--scenario FILE] [--drop-on-trigger]\n"
    "                   [--hub [--kind K] [--legacy] [--scenario FILE] [--drop-on-trigger]]...\n"
    "Serves stand-in HUBs on pseudo-terminals, builds the fake sysfs and device\n"
    "tree under DIR, and prints the ZEL_SYSFS_ROOT and ZEL_DEV_ROOT assignments\n"
    "that point zel_usb_interface at them. There is one HUB, and one more for\n"
    "each --hub; --kind, --legacy, --scenario and --drop-on-trigger describe the\n"
    "HUB they follow. Ends on SIGTERM or SIGINT.\n";

// The tool keeps port names in fields of 39 characters.
constexpr size_t kMaxPortName = 39;

// What the command line says about one HUB.
struct HubOptions {
    std::string kind, scenario;
    bool legacy = false;
    bool drop_on_trigger = false;
};

struct Options {
    std::string dir, trace;
    double idle_s = 0;
    std::vector<HubOptions> hubs{1};
};

int usage_error(const std::string& text) {
    std::fprintf(stderr, "zel_hub_sim: %s\n%s", text.c_str(), kUsage);
    return 2;
}

// Quoted for a shell only when it has to be, so the plain case stays plain.
std::string shell_word(const std::string& text) {
    const bool plain = !text.empty() && text.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789_./:,+@%-") == std::string::npos;
    if (plain) return text;
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}

// -1: parsed; otherwise the exit code (0 after --help, 2 for a mistake).
int parse_arguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        HubOptions& hub = o.hubs.back();
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--dir") {
            if (!value(o.dir)) return usage_error("--dir needs a directory");
        } else if (arg == "--trace") {
            if (!value(o.trace)) return usage_error("--trace needs a file");
        } else if (arg == "--exit-after-idle") {
            std::string text;
            char* end = nullptr;
            if (!value(text) || (o.idle_s = std::strtod(text.c_str(), &end), end == text.c_str() || *end != '\0') ||
                !(o.idle_s > 0)) {
                return usage_error("--exit-after-idle needs a positive number of seconds");
            }
        } else if (arg == "--hub") {
            o.hubs.emplace_back();
        } else if (arg == "--kind") {
            if (!value(hub.kind)) return usage_error("--kind needs atmel, quillet or st");
        } else if (arg == "--scenario") {
            if (!value(hub.scenario)) return usage_error("--scenario needs a file");
        } else if (arg == "--legacy") {
            hub.legacy = true;
        } else if (arg == "--drop-on-trigger") {
            hub.drop_on_trigger = true;
        } else {
            return usage_error("unknown argument '" + arg + "'");
        }
    }
    if (o.dir.empty()) return usage_error("--dir is required");
    return -1;
}

// The n-th HUB (from 1): its defaults, its scenario, then the command line,
// which has the last word. -1: made; otherwise the exit code.
int make_config(const HubOptions& o, size_t n, sim::HubConfig& config) {
    config.port_name = "ttyACM" + std::to_string(n - 1);
    config.location = "1-" + std::to_string(n);
    if (!o.scenario.empty()) {
        std::string text, error;
        if (!read_file(o.scenario, text)) {
            std::fprintf(stderr, "zel_hub_sim: cannot read the scenario %s\n", o.scenario.c_str());
            return 2;
        }
        if (!sim::scenario_file::parse(text, config, error)) {
            std::fprintf(stderr, "zel_hub_sim: %s: %s\n", o.scenario.c_str(), error.c_str());
            return 2;
        }
    }
    if (!o.kind.empty()) {
        const auto k = sim::scenario_file::parse_kind(o.kind);
        if (!k) return usage_error("--kind needs atmel, quillet or st");
        config.kind = *k;
    }
    if (o.legacy) config.legacy = true;
    if (o.drop_on_trigger) config.sensor_trigger_drops = true;
    return -1;
}

// Two HUBs never share a location or a port name, or the tree could not
// tell them apart. -1: they do not; otherwise the exit code.
int check_distinct(const std::vector<sim::HubConfig>& hubs) {
    std::map<std::string, size_t> location_of, name_of;
    for (size_t i = 0; i < hubs.size(); ++i) {
        auto clash = [&](std::map<std::string, size_t>& seen, const std::string& key, const char* what) {
            const auto [at, fresh] = seen.emplace(key, i);
            if (fresh || at->second == i) return false;
            std::fprintf(stderr, "zel_hub_sim: HUBs %zu and %zu have the same %s %s\n", at->second + 1, i + 1, what,
                         key.c_str());
            return true;
        };
        const sim::HubConfig& c = hubs[i];
        if (clash(location_of, c.location, "location") || clash(name_of, c.port_name, "port name") ||
            (!c.port_name_after_reset.empty() && clash(name_of, c.port_name_after_reset, "port name"))) {
            return 2;
        }
    }
    return -1;
}

void warn_long_names(const std::string& dir, const std::vector<sim::HubConfig>& hubs) {
    for (const sim::HubConfig& c : hubs) {
        for (const std::string& name : {c.port_name, c.port_name_after_reset}) {
            const size_t length = dir.size() + std::strlen("/dev/") + name.size();
            if (!name.empty() && length > kMaxPortName) {
                std::fprintf(stderr,
                             "zel_hub_sim: warning: %s/dev/%s has %zu characters; the tool keeps at most %zu, "
                             "choose a shorter --dir\n",
                             dir.c_str(), name.c_str(), length, kMaxPortName);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = parse_arguments(argc, argv, options); code >= 0) return code;

    std::vector<sim::HubConfig> hubs(options.hubs.size());
    for (size_t i = 0; i < hubs.size(); ++i) {
        if (const int code = make_config(options.hubs[i], i + 1, hubs[i]); code >= 0) return code;
    }
    if (const int code = check_distinct(hubs); code >= 0) return code;

    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(options.dir, ec);
    if (ec) return usage_error("cannot resolve --dir " + options.dir);
    std::string dir = absolute.lexically_normal().string();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    warn_long_names(dir, hubs);

    std::string error;
    if (!sim::server::PtyServer::install_signal_handlers(error)) {
        std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
        return 1;
    }
    sim::server::FakeTree tree(dir);
    if (!tree.prepare(error)) {
        std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
        return 1;
    }
    int code = 1;
    {
        sim::server::PtyServer server(std::move(hubs), tree, {options.trace, options.idle_s});
        if (!server.start(error)) {
            std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
        } else {
            std::printf("ZEL_SYSFS_ROOT=%s\nZEL_DEV_ROOT=%s\n", shell_word(tree.sysfs_root()).c_str(),
                        shell_word(tree.dev_root()).c_str());
            std::fflush(stdout);
            // Let go of standard output, so `eval "$(zel_hub_sim ... &)"`
            // returns as soon as the assignments are out.
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null >= 0) {
                ::dup2(null, STDOUT_FILENO);
                ::close(null);
            }
            code = server.run();
        }
    }
    tree.teardown();
    return code;
}
