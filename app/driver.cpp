#include "app/driver.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/branches.hpp"
#include "log/USB_Logger.hpp"
#include "platform/platform.hpp"
#include "platform/tracing_platform.hpp"

namespace {

bool is_one_of(const char* arg, std::initializer_list<const char*> options) {
    for (const char* option : options) {
        if (std::strcmp(arg, option) == 0) return true;
    }
    return false;
}

int dispatch(int argc, char** argv) {
    const char* option = argv[1];
    auto is = [option](const char* text) { return std::strcmp(option, text) == 0; };
    if (is("-log") && argc == 2) return branch_log();
    if (is("-stest") && argc == 2) return branch_selftest();
    if (is("-hinfo") && argc >= 2 && argc <= 4) {
        if (argc == 3 && std::strcmp(argv[2], "-boot") != 0) {
            print_usage();
            return 0;
        }
        return branch_hub_info(argc == 3);
    }
    if (is("-sinfo") && argc == 2) return branch_sensor_info();
    if (is("-w") && argc == 3) return branch_write_network(argv[2]);
    if (is("-r") && argc == 3) return branch_read_network(argv[2]);
    if (is("-rs") && (argc == 3 || argc == 4)) return branch_scan_networks(argv[2], argc == 4 ? argv[3] : nullptr);
    if (is("-h") && argc == 3) return branch_hub_upgrade(argv[2]);
    if ((is("-s") || is("-sb")) && argc == 3) return branch_sensor_upgrade(argv[2], is("-sb"));
    if (is("-srf") && argc == 2) return branch_sensor_trigger(true);
    if (is("-sfb") && argc == 2) return branch_sensor_trigger(false);
    return 0;
}

}  // namespace

void print_out(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) zel::active_platform().write_stdout(std::string_view(text, std::min<size_t>(size_t(n), sizeof text - 1)));
}

int exit_status(int result) {
#ifdef _WIN32
    return result;
#else
    return result >= 0 && result <= 255 ? result : 255;
#endif
}

void print_usage() {
    static const char* const kUsage[] = {
        "\nDEVICE INFORMATION\n",
        "zel_usb_interface.exe -log\n",
        "\t-log to read LOG-file within HUB\n",
        "zel_usb_interface.exe -hinfo\n",
        "\t-hinfo to read firmware information from HUB\n",
        "zel_usb_interface.exe -sinfo\n",
        "\t-sinfo to read firmware information from sensors\n\n",
        "FIRMWARE UPGRADES\n",
        "zel_usb_interface.exe -[s/h] [path to *.tfh/tfs]\n",
        "\t-s to upgrade SENSOR firmware\n",
        "\t-sb to upgrade SENSOR firmware from boot\n",
        "\t-h to upgrade HUB firmware\n\n",
        "SENSOR DIAGNOSTIC TOOLS\n",
        "zel_usb_interface.exe -srf\n",
        "\t-srf to run SENSOR firmware\n",
        "zel_usb_interface.exe -sfb\n",
        "\t-sfb to trigger SENSOR bootlader\n\n",
        "WIFI TOOLS\n",
        "zel_usb_interface.exe -[r/w] [path to *.xml]\n",
        "\t-r reads HUB network configuration and writes it in [path to *.xml]\n",
        "\t-w writes HUB network configuration in [path to *.xml]\n",
        "zel_usb_interface.exe -rs [channel - number from 0 to 20] [optional: band - 0 for 2.4GHz, 1 for 5GHz, 2 for dual band]\n",
        "\t-rs to scan for WiFi networks\n",
    };
    for (const char* line : kUsage) zel::active_platform().write_stdout(line);
}

namespace {

int run_checked(int argc, char** argv) {
    USB_Logger::Instance();
    if (argc < 2 || argc > 4) {
        print_usage();
        return 0;
    }
    if (!is_one_of(argv[1], {"-s", "-sb", "-h", "-r", "-w", "-rs", "-hinfo"}) && argc != 2) {
        print_usage();
        return 0;
    }
    if (!is_one_of(argv[1], {"-stest", "-hinfo", "-srf", "-sfb", "-log", "-sinfo"}) && argc == 2) {
        print_usage();
        return 0;
    }
    return dispatch(argc, argv);
}

}  // namespace

int run(int argc, char** argv, zel::Platform& platform) {
    // ZEL_TRACE=<file>: every byte to and from the HUB, time-stamped.
    const std::string trace = platform.environment("ZEL_TRACE");
    if (trace.empty()) {
        zel::set_active_platform(&platform);
        return run_checked(argc, argv);
    }
    zel::TracingPlatform tracing(platform, trace);
    zel::set_active_platform(&tracing);
    const int result = run_checked(argc, argv);
    zel::set_active_platform(&platform);
    return result;
}
