#include "app/driver.hpp"

#include <cstdarg>
#include <cstring>
#include <optional>
#include <string>

#include "app/branches.hpp"
#include "log/RunScope.hpp"
#include "platform/tracing_platform.hpp"

namespace {

bool is_one_of(const char* arg, std::initializer_list<const char*> options) {
    for (const char* option : options) {
        if (std::strcmp(arg, option) == 0) return true;
    }
    return false;
}

int dispatch(Run& run, int argc, char** argv) {
    const char* option = argv[1];
    auto is = [option](const char* text) { return std::strcmp(option, text) == 0; };
    if (is("-log") && argc == 2) return branch_log(run);
    if (is("-stest") && argc == 2) return branch_selftest(run);
    if (is("-hinfo") && argc >= 2 && argc <= 4) {
        if (argc == 3 && std::strcmp(argv[2], "-boot") != 0) {
            print_usage(run.context.platform);
            return 0;
        }
        return branch_hub_info(run, argc == 3);
    }
    if (is("-sinfo") && argc == 2) return branch_sensor_info(run);
    if (is("-w") && argc == 3) return branch_write_network(run, argv[2]);
    if (is("-r") && argc == 3) return branch_read_network(run, argv[2]);
    if (is("-rs") && (argc == 3 || argc == 4)) return branch_scan_networks(run, argv[2], argc == 4 ? argv[3] : nullptr);
    if (is("-h") && argc == 3) return branch_hub_upgrade(run, argv[2]);
    if ((is("-s") || is("-sb")) && argc == 3) return branch_sensor_upgrade(run, argv[2], is("-sb"));
    if (is("-srf") && argc == 2) return branch_sensor_trigger(run, true);
    if (is("-sfb") && argc == 2) return branch_sensor_trigger(run, false);
    if (is("-list") && argc == 2) return branch_list(run);
    if (is("--version") && argc == 2) {
        run.out("zel_usb_interface %s\n", USB_Logger::kVersion);
        return 0;
    }
    return 0;
}

}  // namespace

void Run::out(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(4096, format, args);
    va_end(args);
    context.platform.write_stdout(text);
}

int connect_and_run(Command& command, Run& run) {
    RunRecord& record = run.record;
    try {
        const bool connected = command.Connect() == 0;
        record.hub(command);
        const int result = connected ? command.RunCommand() : results::driver::kConnectionFailed;
        record.hub(command);  // as it came back from its restarts
        // What the branch makes of a success, it says itself.
        if (result != 0 && command.chosen_entry() == nullptr) {
            record.found_no_hub();
        } else if (result != 0) {
            record.failed(result, command.stage());
        }
        return result;
    } catch (const zel::Interrupted& interruption) {
        record.hub(command);
        record.data()["interrupted"] = {{"by", interruption.by}, {"while", command.stage().doing}};
        // The command is still alive: its port closes after this line.
        const RunStage& stage = command.stage();
        const std::string report =
            "Interrupted (" + interruption.by + ") while " + stage.doing + ". " + stage.outcome();
        run.log().Error("%s\n", report.c_str());
        record.interrupted(report, stage);
        return results::driver::kInterrupted;
    }
}

void print_usage(zel::Platform& platform) {
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
        "zel_usb_interface.exe -rs [channel - number from 0 to 20] ",
        "[optional: band - 0 for 2.4GHz, 1 for 5GHz, 2 for dual band]\n",
        "\t-rs to scan for WiFi networks\n",
        // What the lines above do not name.
        "\nMORE\n",
        "zel_usb_interface.exe -stest\n",
        "\t-stest to run the HUB's built-in self-test\n",
        "zel_usb_interface.exe -hinfo -boot\n",
        "\t-hinfo -boot to read the boot information from HUB\n",
        "zel_usb_interface.exe -list\n",
        "\t-list to list the attached HUBs without opening any\n",
        "zel_usb_interface.exe --version\n",
        "\t--version to print the version\n\n",
        "ENVIRONMENT\n",
        "\tZEL_PORT the port of the HUB to use when several are attached\n",
        "\tZEL_JSON a file that receives a JSON record of the run\n",
        "\tZEL_TIMING fast, or documented (the default)\n",
        "\tZEL_TRACE a file that receives every byte exchanged with the HUB\n",
        "\tZEL_LOCK_DIR (Linux) the folder of the locks that keep two runs off one HUB\n",
        "\tZEL_SYSFS_ROOT, ZEL_DEV_ROOT (Linux) where HUBs are looked for\n",
    };
    for (const char* line : kUsage) platform.write_stdout(line);
}

namespace {

int run_checked(zel::RunScope& scope, RunRecord& record, int argc, char** argv) {
    USB_Logger& logger = *USB_Logger::Instance();
    zel::Platform& platform = scope.platform();
    zel::RunContext context{platform, logger, platform.environment("ZEL_TIMING"), platform.environment("ZEL_PORT")};
    Run run{context, record};
    if (argc < 2 || argc > 4) {
        print_usage(platform);
        return 0;
    }
    if (!is_one_of(argv[1], {"-s", "-sb", "-h", "-r", "-w", "-rs", "-hinfo"}) && argc != 2) {
        print_usage(platform);
        return 0;
    }
    if (!is_one_of(argv[1], {"-stest", "-hinfo", "-srf", "-sfb", "-log", "-sinfo", "-list", "--version"}) &&
        argc == 2) {
        print_usage(platform);
        return 0;
    }
    return dispatch(run, argc, argv);
}

}  // namespace

int run(int argc, char** argv, zel::Platform& platform) {
    // ZEL_TRACE=<file>: every byte to and from the HUB, time-stamped.
    const std::string trace = platform.environment("ZEL_TRACE");
    std::optional<zel::TracingPlatform> tracing;
    if (!trace.empty()) tracing.emplace(platform, trace);
    zel::RunScope scope(tracing ? *tracing : platform);
    RunRecord record(scope.platform(), argc, argv);
    int result = results::driver::kInterrupted;
    try {
        result = run_checked(scope, record, argc, argv);
    } catch (const zel::Interrupted& interruption) {
        scope.logger().Error("Interrupted (%s).\n", interruption.by.c_str());
    }
    record.finish(result, scope.logger());
    return result;
}
