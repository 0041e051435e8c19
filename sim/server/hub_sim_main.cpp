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
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/model/hub_model.hpp"
#include "sim/model/settings.hpp"
#include "sim/server/fake_tree.hpp"
#include "sim/server/image_file.hpp"
#include "sim/server/pty_server.hpp"
#include "sim/server/scenario_file.hpp"

namespace {

constexpr const char* kUsage =
    "usage: zel_hub_sim --dir DIR [--trace FILE] [--exit-after-idle SECONDS]\n"
    "                   [--hubs N] [--kinds K,K,...]\n"
    "                   [--kind atmel|quillet|st] [--legacy] [--scenario FILE] [--drop-on-trigger]\n"
    "                   [--hub [--kind K] [--legacy] [--scenario FILE] [--drop-on-trigger]]...\n"
    "       zel_hub_sim --make-image atmel|quillet|st|sensor FILE [--size BYTES] [--signature W]\n"
    "Serves stand-in HUBs on pseudo-terminals, builds the fake sysfs and device\n"
    "tree under DIR, and prints the ZEL_SYSFS_ROOT and ZEL_DEV_ROOT assignments\n"
    "that point zel_usb_interface at them. There is one HUB, and one more for\n"
    "each --hub; --kind, --legacy, --scenario and --drop-on-trigger describe the\n"
    "HUB they follow. --hubs N serves N HUBs in all, --kinds gives their kinds in\n"
    "turn. Ends on SIGTERM or SIGINT.\n"
    "--make-image writes a firmware image of that kind to try -h, -s and -sb with\n"
    "(BYTES of firmware in each part, default 65536; W its firmware signature).\n";

// The tool keeps port names in fields of 39 characters.
constexpr size_t kMaxPortName = 39;
// Three descriptors and an inotify instance each; the locations 1-1 to 1-64
// and the names ttyACM0 to ttyACM63 stay short.
constexpr int kMaxHubs = 64;

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
    int total = 0;                                   // --hubs: 0 when not given
    std::vector<sim::Kind> kinds;                    // --kinds: taken in turn, HUB by HUB
    bool serving = false;                            // an option of the serving form was given
    std::optional<sim::server::ImageOptions> image;  // --make-image
    std::string image_path;
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
        }
        if (arg != "--make-image" && arg != "--size" && arg != "--signature") o.serving = true;
        if (arg == "--make-image") {
            std::string kind;
            if (!value(kind) || !value(o.image_path)) return usage_error("--make-image needs a kind and a file");
            const auto k = sim::server::parse_image_kind(kind);
            if (!k) return usage_error("--make-image needs atmel, quillet, st or sensor");
            if (!o.image) o.image.emplace();
            o.image->kind = *k;
        } else if (arg == "--size") {
            std::string text;
            if (!o.image) o.image.emplace();
            if (!value(text) ||
                !sim::settings::parse_number(text, o.image->size, 0, sim::server::ImageOptions::kMaxSize)) {
                return usage_error("--size needs a number of bytes up to " +
                                   std::to_string(sim::server::ImageOptions::kMaxSize));
            }
        } else if (arg == "--signature") {
            std::string text;
            if (!o.image) o.image.emplace();
            if (!value(text) || !sim::settings::parse_number(text, o.image->signature)) {
                return usage_error("--signature needs a 32-bit word");
            }
        } else if (arg == "--hubs") {
            std::string text;
            if (!value(text) || !sim::settings::parse_number(text, o.total, 1, kMaxHubs)) {
                return usage_error("--hubs needs a number from 1 to " + std::to_string(kMaxHubs));
            }
        } else if (arg == "--kinds") {
            std::string text;
            if (!value(text)) return usage_error("--kinds needs a list such as st,quillet,atmel");
            o.kinds.clear();
            for (const std::string_view word : sim::settings::split_words(text)) {
                const auto k = sim::scenario_file::parse_kind(word);
                if (!k) return usage_error("--kinds takes atmel, quillet and st, not '" + std::string(word) + "'");
                o.kinds.push_back(*k);
            }
            if (o.kinds.empty()) return usage_error("--kinds needs a list such as st,quillet,atmel");
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
    if (o.image) {
        if (o.image_path.empty()) return usage_error("--size and --signature go with --make-image");
        if (o.serving) return usage_error("--make-image takes only --size and --signature");
        return -1;
    }
    if (o.dir.empty()) return usage_error("--dir is required");
    if (o.total > 0 && size_t(o.total) < o.hubs.size()) {
        return usage_error("--hubs " + std::to_string(o.total) + " is fewer than the " + std::to_string(o.hubs.size()) +
                           " HUBs described with --hub");
    }
    if (o.hubs.size() > size_t(kMaxHubs)) return usage_error("at most " + std::to_string(kMaxHubs) + " HUBs");
    if (o.total > 0) o.hubs.resize(size_t(o.total));
    return -1;
}

// A serial number of its own for each HUB, from its kind and its number
// (TS-SIM-0001), as real HUBs each have one.
std::string served_serial(sim::Kind kind, size_t n) {
    const char* code = kind == sim::Kind::TorvaneAtmel ? "TA" : kind == sim::Kind::Quillet ? "QU" : "TS";
    char text[32];
    std::snprintf(text, sizeof text, "%s-SIM-%04u", code, unsigned(n % 10000));
    return text;
}

// The n-th HUB (from 1): its defaults, its scenario, then the command line,
// which has the last word. -1: made; otherwise the exit code.
int make_config(const HubOptions& o, const std::vector<sim::Kind>& kinds, size_t n, sim::HubConfig& config) {
    config.port_name = "ttyACM" + std::to_string(n - 1);
    config.location = "1-" + std::to_string(n);
    if (!kinds.empty()) config.kind = kinds[(n - 1) % kinds.size()];
    config.info.unique_id[3] = 0x0000a000 + uint32_t(n);
    // Longer than a scenario may set: still there afterwards means not set.
    const std::string unset(sim::InfoArea::kSerialSize + 1, '?');
    config.info.serial = unset;
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
    if (config.info.serial == unset) config.info.serial = served_serial(config.kind, n);
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
    if (options.image) {
        std::string error;
        if (!sim::server::write_image(options.image_path, sim::server::make_image(*options.image), error)) {
            std::fprintf(stderr, "zel_hub_sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s: %s\n", options.image_path.c_str(), sim::server::describe_image(*options.image).c_str());
        return 0;
    }

    std::vector<sim::HubConfig> hubs(options.hubs.size());
    for (size_t i = 0; i < hubs.size(); ++i) {
        if (const int code = make_config(options.hubs[i], options.kinds, i + 1, hubs[i]); code >= 0) return code;
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
