// zel_hub_sim: the HUB stand-in served on a pseudo-terminal, so the real
// zel_usb_interface can be run against it. See docs/HUB_SIM.md.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/hub_model.hpp"
#include "sim/server/fake_tree.hpp"
#include "sim/server/pty_server.hpp"
#include "sim/server/scenario_file.hpp"

namespace {

constexpr const char* kUsage =
    "usage: zel_hub_sim --dir DIR [--kind atmel|quillet|st] [--legacy] [--scenario FILE]\n"
    "                   [--trace FILE] [--drop-on-trigger] [--exit-after-idle SECONDS]\n"
    "Serves a stand-in HUB on a pseudo-terminal, builds the fake sysfs and device\n"
    "tree under DIR, and prints the ZEL_SYSFS_ROOT and ZEL_DEV_ROOT assignments\n"
    "that point zel_usb_interface at it. Ends on SIGTERM or SIGINT.\n";

// The tool keeps port names in fields of 39 characters.
constexpr size_t kMaxPortName = 39;

int usage_error(const std::string& text) {
    std::fprintf(stderr, "zel_hub_sim: %s\n%s", text.c_str(), kUsage);
    return 2;
}

// Quoted for a shell only when it has to be, so the plain case stays plain.
std::string shell_word(const std::string& text) {
    const bool plain = !text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
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

}  // namespace

int main(int argc, char** argv) {
    std::string dir, kind, scenario, trace;
    bool legacy = false, drop_on_trigger = false;
    double idle_s = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--dir") {
            if (!value(dir)) return usage_error("--dir needs a directory");
        } else if (arg == "--kind") {
            if (!value(kind)) return usage_error("--kind needs atmel, quillet or st");
        } else if (arg == "--scenario") {
            if (!value(scenario)) return usage_error("--scenario needs a file");
        } else if (arg == "--trace") {
            if (!value(trace)) return usage_error("--trace needs a file");
        } else if (arg == "--legacy") {
            legacy = true;
        } else if (arg == "--drop-on-trigger") {
            drop_on_trigger = true;
        } else if (arg == "--exit-after-idle") {
            std::string text;
            char* end = nullptr;
            if (!value(text) || (idle_s = std::strtod(text.c_str(), &end), end == text.c_str() || *end != '\0') ||
                !(idle_s > 0)) {
                return usage_error("--exit-after-idle needs a positive number of seconds");
            }
        } else {
            return usage_error("unknown argument '" + arg + "'");
        }
    }
    if (dir.empty()) return usage_error("--dir is required");

    sim::HubConfig config;
    config.port_name = "ttyACM0";
    if (!scenario.empty()) {
        std::string text, error;
        if (!read_file(scenario, text)) {
            std::fprintf(stderr, "zel_hub_sim: cannot read the scenario %s\n", scenario.c_str());
            return 2;
        }
        if (!sim::scenario_file::parse(text, config, error)) {
            std::fprintf(stderr, "zel_hub_sim: %s: %s\n", scenario.c_str(), error.c_str());
            return 2;
        }
    }
    // The command line has the last word over the scenario file.
    if (!kind.empty()) {
        const auto k = sim::scenario_file::parse_kind(kind);
        if (!k) return usage_error("--kind needs atmel, quillet or st");
        config.kind = *k;
    }
    if (legacy) config.legacy = true;
    if (drop_on_trigger) config.sensor_trigger_drops = true;

    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
    if (ec) return usage_error("cannot resolve --dir " + dir);
    dir = absolute.lexically_normal().string();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    for (const std::string& name : {config.port_name, config.port_name_after_reset}) {
        const size_t length = dir.size() + std::strlen("/dev/") + name.size();
        if (!name.empty() && length > kMaxPortName) {
            std::fprintf(stderr,
                         "zel_hub_sim: warning: %s/dev/%s has %zu characters; the tool keeps at most %zu, "
                         "choose a shorter --dir\n",
                         dir.c_str(), name.c_str(), length, kMaxPortName);
        }
    }

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
    sim::HubModel model(config);
    sim::server::ServerOptions options;
    options.trace_path = trace;
    options.exit_after_idle_s = idle_s;
    int code = 1;
    {
        sim::server::PtyServer server(model, tree, options);
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
