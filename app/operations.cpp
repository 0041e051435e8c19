#include "app/operations.hpp"

#include <algorithm>
#include <cstring>

#include "app/branches.hpp"

namespace {

constexpr Operation kOperations[] = {
    {
        .option = "-log",
        .min_argc = 2,
        .max_argc = 2,
        .branch = [](Run& run, int, char**) { return branch_log(run); },
        .usage = "\nDEVICE INFORMATION\nzel_usb_interface.exe -log\n\t-log to read LOG-file within HUB\n",
        .more = nullptr,
        .fleet = FleetArgument::None,
        .upgrade = false,
    },
    {
        .option = "-stest",
        .min_argc = 2,
        .max_argc = 2,
        .branch = [](Run& run, int, char**) { return branch_selftest(run); },
        .usage = nullptr,
        .more = "zel_usb_interface.exe -stest\n\t-stest to run the HUB's built-in self-test\n",
        .fleet = FleetArgument::None,
        .upgrade = false,
    },
    {
        .option = "-hinfo",
        .min_argc = 2,
        .max_argc = 4,
        .branch =
            [](Run& run, int argc, char** argv) {
                // One further argument must be -boot; two are ignored.
                if (argc == 3 && std::strcmp(argv[2], "-boot") != 0) {
                    print_usage(run.context.platform);
                    return 0;
                }
                return branch_hub_info(run, argc == 3);
            },
        .usage = "zel_usb_interface.exe -hinfo\n\t-hinfo to read firmware information from HUB\n",
        .more = "zel_usb_interface.exe -hinfo -boot\n\t-hinfo -boot to read the boot information from HUB\n",
        .fleet = FleetArgument::Text,
        .upgrade = false,
    },
    {
        .option = "-sinfo",
        .min_argc = 2,
        .max_argc = 2,
        .branch = [](Run& run, int, char**) { return branch_sensor_info(run); },
        .usage = "zel_usb_interface.exe -sinfo\n\t-sinfo to read firmware information from sensors\n\n",
        .more = nullptr,
        .fleet = FleetArgument::None,
        .upgrade = false,
    },
    {
        .option = "-s",
        .min_argc = 3,
        .max_argc = 3,
        .branch = [](Run& run, int, char** argv) { return branch_sensor_upgrade(run, argv[2], false); },
        .usage =
            "FIRMWARE UPGRADES\nzel_usb_interface.exe -[s/h] [path to *.tfh/tfs]\n\t-s to upgrade SENSOR firmware\n",
        .more = nullptr,
        .fleet = FleetArgument::Image,
        .upgrade = true,
    },
    {
        .option = "-sb",
        .min_argc = 3,
        .max_argc = 3,
        .branch = [](Run& run, int, char** argv) { return branch_sensor_upgrade(run, argv[2], true); },
        .usage = "\t-sb to upgrade SENSOR firmware from boot\n",
        .more = nullptr,
        .fleet = FleetArgument::Image,
        .upgrade = true,
    },
    {
        .option = "-h",
        .min_argc = 3,
        .max_argc = 3,
        .branch = [](Run& run, int, char** argv) { return branch_hub_upgrade(run, argv[2]); },
        .usage = "\t-h to upgrade HUB firmware\n\n",
        .more = nullptr,
        .fleet = FleetArgument::HubImage,
        .upgrade = true,
    },
    {
        .option = "-srf",
        .min_argc = 2,
        .max_argc = 2,
        .branch = [](Run& run, int, char**) { return branch_sensor_trigger(run, true); },
        .usage = "SENSOR DIAGNOSTIC TOOLS\nzel_usb_interface.exe -srf\n\t-srf to run SENSOR firmware\n",
        .more = nullptr,
        .fleet = FleetArgument::None,
        .upgrade = false,
    },
    {
        .option = "-sfb",
        .min_argc = 2,
        .max_argc = 2,
        .branch = [](Run& run, int, char**) { return branch_sensor_trigger(run, false); },
        .usage = "zel_usb_interface.exe -sfb\n\t-sfb to trigger SENSOR bootlader\n\n",
        .more = nullptr,
        .fleet = FleetArgument::None,
        .upgrade = false,
    },
    {
        .option = "-r",
        .min_argc = 3,
        .max_argc = 3,
        .branch = [](Run& run, int, char** argv) { return branch_read_network(run, argv[2]); },
        .usage = "WIFI TOOLS\nzel_usb_interface.exe -[r/w] [path to *.xml]\n"
                 "\t-r reads HUB network configuration and writes it in [path to *.xml]\n",
        .more = nullptr,
        .fleet = FleetArgument::OutputFile,
        .upgrade = false,
    },
    {
        .option = "-w",
        .min_argc = 3,
        .max_argc = 3,
        .branch = [](Run& run, int, char** argv) { return branch_write_network(run, argv[2]); },
        .usage = "\t-w writes HUB network configuration in [path to *.xml]\n",
        .more = nullptr,
        .fleet = FleetArgument::InputFile,
        .upgrade = false,
    },
    {
        .option = "-rs",
        .min_argc = 3,
        .max_argc = 4,
        .branch = [](Run& run, int argc,
                     char** argv) { return branch_scan_networks(run, argv[2], argc == 4 ? argv[3] : nullptr); },
        .usage = "zel_usb_interface.exe -rs [channel - number from 0 to 20] "
                 "[optional: band - 0 for 2.4GHz, 1 for 5GHz, 2 for dual band]\n\t-rs to scan for WiFi networks\n",
        .more = nullptr,
        .fleet = FleetArgument::Text,
        .upgrade = false,
    },
    {
        .option = "-list",
        .min_argc = 2,
        .max_argc = 2,
        .branch = [](Run& run, int, char**) { return branch_list(run); },
        .usage = nullptr,
        .more = "zel_usb_interface.exe -list\n\t-list to list the attached HUBs without opening any\n",
        .fleet = FleetArgument::NotOffered,
        .upgrade = false,
    },
    {
        .option = "--version",
        .min_argc = 2,
        .max_argc = 2,
        .branch =
            [](Run& run, int, char**) {
                run.out("zel_usb_interface %s\n", USB_Logger::kVersion);
                return 0;
            },
        .usage = nullptr,
        .more = "zel_usb_interface.exe --version\n\t--version to print the version\n",
        .fleet = FleetArgument::NotOffered,
        .upgrade = false,
    },
};

// The usage text's last lines: what the run takes from its environment.
constexpr const char* kEnvironment =
    "\nENVIRONMENT\n"
    "\tZEL_PORT the port, or the USB location, of the HUB to use when several are attached\n"
    "\tZEL_JSON a file that receives a JSON record of the run\n"
    "\tZEL_EVENTS a file that receives the run's events as they happen, one JSON line each\n"
    "\tZEL_TIMING fast, or documented (the default)\n"
    "\tZEL_TRACE a file that receives every byte exchanged with the HUB\n"
    "\tZEL_LOCK_DIR (Linux) the folder of the locks that keep two runs off one HUB\n"
    "\tZEL_SYSFS_ROOT, ZEL_DEV_ROOT (Linux) where HUBs are looked for\n";

bool is(const Operation& row, const char* option) {
    return std::strcmp(row.option, option) == 0;
}

}  // namespace

std::span<const Operation> operations() {
    return kOperations;
}

Choice choose(int argc, char** argv) {
    int most = 0;
    bool takes_arguments = false;  // some row of the option runs with further arguments
    bool runs_bare = false;        // some row of the option runs without
    for (const Operation& row : kOperations) {
        most = std::max(most, row.max_argc);
        if (argc >= 2 && is(row, argv[1])) {
            takes_arguments = takes_arguments || row.max_argc > 2;
            runs_bare = runs_bare || row.min_argc == 2;
        }
    }
    if (argc < 2 || argc > most || (!takes_arguments && argc != 2) || (!runs_bare && argc == 2)) {
        return {nullptr, true};
    }
    for (const Operation& row : kOperations) {
        if (is(row, argv[1]) && argc >= row.min_argc && argc <= row.max_argc) return {&row, false};
    }
    return {};
}

void print_usage(zel::Platform& platform) {
    for (const Operation& row : kOperations) {
        if (row.usage != nullptr) platform.write_stdout(row.usage);
    }
    platform.write_stdout("\nMORE\n");
    for (const Operation& row : kOperations) {
        if (row.more != nullptr) platform.write_stdout(row.more);
    }
    platform.write_stdout(kEnvironment);
}
