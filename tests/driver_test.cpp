// The driver's frame: argument rules, the usage text, the port a run takes,
// the run's log and trace, and what no HUB, a closed console or an
// unwritable folder do to a run.
#include <regex>

#include <nlohmann/json.hpp>

#include "tests/support.hpp"

namespace {

using t::Bench;

const std::string kVersionLine = "torvane_com_device_class version: 2.0.2+45\n";
const std::string kUsage =
    "\nDEVICE INFORMATION\nzel_usb_interface.exe -log\n\t-log to read LOG-file within HUB\nzel_usb_interface.exe "
    "-hinfo\n"
    "\t-hinfo to read firmware information from HUB\nzel_usb_interface.exe -sinfo\n"
    "\t-sinfo to read firmware information from sensors\n\nFIRMWARE UPGRADES\n"
    "zel_usb_interface.exe -[s/h] [path to *.tfh/tfs]\n\t-s to upgrade SENSOR firmware\n"
    "\t-sb to upgrade SENSOR firmware from boot\n\t-h to upgrade HUB firmware\n\nSENSOR DIAGNOSTIC TOOLS\n"
    "zel_usb_interface.exe -srf\n\t-srf to run SENSOR firmware\nzel_usb_interface.exe -sfb\n"
    "\t-sfb to trigger SENSOR bootlader\n\nWIFI TOOLS\nzel_usb_interface.exe -[r/w] [path to *.xml]\n"
    "\t-r reads HUB network configuration and writes it in [path to *.xml]\n"
    "\t-w writes HUB network configuration in [path to *.xml]\n"
    "zel_usb_interface.exe -rs [channel - number from 0 to 20] [optional: band - 0 for 2.4GHz, 1 for 5GHz, 2 for "
    "dual band]\n\t-rs to scan for WiFi networks\n";
const std::string kNoHub =
    "No HUB found. Check the HUB's power and its USB cable; on Linux, that you may use its port (the tool's udev "
    "rule, or the dialout group); and that no other program holds the port. zel_usb_interface -list shows the HUBs "
    "the system sees.\n";

TEST(Arguments, UsageOrNothingAndNeverThePort) {
    // The usage text for what is not a call; nothing for a known option with too many arguments.
    const std::vector<std::string> not_calls = {"",           "-hinfo a b c", "-log x", "-h", "-unknown",
                                                "-unknown x", "-hinfo -x",    "-HINFO", "-r", "-rs"};
    const std::vector<std::string> too_many = {"-h f x", "-w a b", "-r a b", "-sb a b"};
    for (const bool usage : {true, false}) {
        for (const std::string& line : usage ? not_calls : too_many) {
            Bench b(t::hub());
            EXPECT_EQ(b.run(t::words(line)), 0) << line;
            EXPECT_EQ(b.p.out.rfind(kVersionLine + (usage ? kUsage : ""), 0), 0u) << line;
            // Then what the usage text above does not name: the other options and the environment.
            for (const std::string more :
                 {"\nMORE\n", "-stest\n", "-hinfo -boot\n", "-list\n", "--version\n", "\tZEL_PORT ", "\tZEL_JSON ",
                  "\tZEL_EVENTS ", "\tZEL_TIMING ", "\tZEL_TRACE ", "\tZEL_LOCK_DIR (Linux) ",
                  "\tZEL_SYSFS_ROOT, ZEL_DEV_ROOT (Linux) "}) {
                EXPECT_EQ(b.p.out.find(more, kUsage.size()) != std::string::npos, usage) << more;
            }
            EXPECT_TRUE(b.hub().requests().empty());
            EXPECT_TRUE(b.p.trace.empty());
        }
    }
    Bench b(t::hub());
    EXPECT_EQ(b.run({"-hinfo", "a", "b"}), 0);  // two further arguments: the ordinary query
    EXPECT_EQ(b.writes().back(), t::request(0x00630100));
    Bench version(t::hub());
    EXPECT_EQ(version.run({"--version"}), 0);
    EXPECT_EQ(version.p.out, kVersionLine + "zel_usb_interface 2.0.2+45\n");
}

TEST(ChoosingTheHub, ZelPortTheFirstOrAWarningNamingTheOthers) {
    auto two = [](Bench& b) {
        b.attach();
        b.attach(t::hub(t::Kind::TorvaneAtmel, false, "\\\\.\\COM17"));
    };
    for (const std::string port : {"COM17", "\\\\.\\COM17", "1-2", ""}) {
        Bench b;
        two(b);
        if (!port.empty()) b.p.env["ZEL_PORT"] = port;
        EXPECT_EQ(b.run({"-srf"}), 0);
        EXPECT_EQ(b.hub(0).requests().size(), port.empty() ? 2u : 0u);
        EXPECT_EQ(b.hub(1).requests().size(), port.empty() ? 0u : 2u);
        EXPECT_EQ(b.logged("WARNING",
                           "CDC-interface: 2 HUBs are attached; this run uses the first, 'COM3' (USB location "
                           "1-1), and leaves alone '\\\\.\\COM17' (USB location 1-2). To choose one, set "
                           "ZEL_PORT to its port.\n"),
                  port.empty());
    }
    Bench b;
    two(b);
    b.p.env["ZEL_PORT"] = "COM9";
    EXPECT_EQ(b.run({"-hinfo"}), 6);
    EXPECT_TRUE(b.logged("ERROR",
                         "CDC-interface: No HUB at the requested port 'COM9' (ZEL_PORT); HUB ports found: COM3, "
                         "\\\\.\\COM17\n"));
    EXPECT_TRUE(b.p.trace.empty());

    Bench many;  // the port table holds ten HUBs: the one ZEL_PORT names is never left out
    for (int n = 1; n <= 11; ++n) many.attach(t::hub(t::Kind::TorvaneST, false, "COM" + std::to_string(n)));
    many.p.env["ZEL_PORT"] = "COM11";
    EXPECT_EQ(many.run({"-srf"}), 0);
    EXPECT_EQ(many.hub(10).requests().size(), 2u);
}

TEST(ChoosingTheHub, BusyPortsWaitNamingTheHolderDeniedOnesFailAtOnce) {
    for (const bool denied : {false, true}) {
        sim::HubConfig c = t::hub();
        c.refuse_opens = denied ? 0 : 1000;
        c.open_denied = denied;
        c.holder = "pid 4711 (minicom)";
        Bench b(c);
        EXPECT_EQ(b.run({"-srf"}), 6);
        EXPECT_EQ(b.sleeps_ms(), std::vector<int64_t>(denied ? 0 : 20, 1000));
        EXPECT_EQ(b.logged("WARNING",
                           "CDC-interface: COM3 is in use by another program: pid 4711 (minicom); trying again "
                           "for up to 20 s\n"),
                  !denied);
        EXPECT_TRUE(b.logged("ERROR", "CDC-interface: Failed to create a reference file for COM3!!\n"));
        EXPECT_EQ(b.logged("ERROR", "no permission for COM3\n"), denied);
    }
}

TEST(ChoosingTheHub, AHubAnotherRunHoldsIsWaitedForAndNeverOpened) {
    for (const bool let_go : {false, true}) {  // after 2.5 s
        Bench b(t::hub());
        b.p.foreign_locks["1-1"] = {"pid 4711 (zel_usb_interface)", let_go ? 2500 * t::kMs : INT64_MAX};
        EXPECT_EQ(b.run({"-hinfo"}), let_go ? 0 : 6);
        EXPECT_TRUE(b.logged("WARNING",
                             "CDC-interface: The HUB at 'COM3' (USB location 1-1) is in use by another run of this "
                             "tool, pid 4711 (zel_usb_interface); trying again for up to 20 s\n"));
        EXPECT_EQ(b.sleeps_ms(), std::vector<int64_t>(let_go ? 4 : 20, 1000));  // let go: three looks, then the open
        EXPECT_TRUE(b.p.opened == (let_go ? 1 : 0) && b.p.locked().empty());    // let go when the run ends
        if (let_go) continue;
        EXPECT_TRUE(b.logged("ERROR",
                             "CDC-interface: The HUB at 'COM3' (USB location 1-1) is still in use by another run of "
                             "this tool, pid 4711 (zel_usb_interface); nothing was sent to it\n"));
        EXPECT_EQ(b.log().back().text,
                  "Failed (error-code 6) while waiting for the HUB, which another run of this tool uses. Nothing was "
                  "sent to the HUB: run the same command again once that run has ended.\n");
    }
}

TEST(Logger, StartRetentionLinesAndLimits) {
    // 5 December 2026: today and the two rough days before stay.
    Bench b;
    for (const char* name :
         {"zel_USB_Logger_2_12_2026.log", "zel_USB_Logger_3_12_2026.log", "zel_USB_Logger_5_12_2026.log",
          "zel_USB_Logger_30_11_2026.log", "my_zel_USB_Logger_1_1_2000.log", "zel_USB_Logger_1_1_2000.log.bak",
          "zel_USB_Logger_notes.txt", "other.txt"}) {
        b.put(name, std::string("old\n"));
    }
    EXPECT_EQ(b.run({}), 0);
    EXPECT_EQ(b.p.out.substr(0, b.p.out.find(kVersionLine)),
              "Found file my_zel_USB_Logger_1_1_2000.log\nFound file zel_USB_Logger_1_1_2000.log.bak\n"
              "Found file zel_USB_Logger_2_12_2026.log\n"
              "Found file zel_USB_Logger_30_11_2026.log\nFound file zel_USB_Logger_3_12_2026.log\n"
              "Found file zel_USB_Logger_5_12_2026.log\nFound file zel_USB_Logger_notes.txt\n");
    std::vector<std::string> left;
    for (const auto& [name, f] : b.p.files) left.push_back(name);
    EXPECT_EQ(left, (std::vector<std::string>{"my_zel_USB_Logger_1_1_2000.log", "other.txt",
                                              "zel_USB_Logger_1_1_2000.log.bak", "zel_USB_Logger_3_12_2026.log",
                                              "zel_USB_Logger_5_12_2026.log", "zel_USB_Logger_notes.txt"}));
    EXPECT_EQ(b.content("zel_USB_Logger_5_12_2026.log"),
              "old\n[5/12/2026 09:07:03.004512] INFO: torvane_com_device_class version: 2.0.2+45\n");

    // Days are counted roughly (31 to a month): on 1 March 2027 even 27 February is gone.
    Bench march(18038592000000000);
    march.put("zel_USB_Logger_27_2_2027.log", std::string("x"));
    march.run({});
    EXPECT_EQ(march.p.file("zel_USB_Logger_27_2_2027.log"), nullptr);
    // Across New Year: on 1 January 2027 the file of 23 December stays, that of 22 December goes.
    Bench new_year(17987616000000000);
    new_year.put("zel_USB_Logger_22_12_2026.log", std::string("x"));
    new_year.put("zel_USB_Logger_23_12_2026.log", std::string("x"));
    new_year.run({});
    EXPECT_EQ(new_year.p.file("zel_USB_Logger_22_12_2026.log"), nullptr);
    EXPECT_NE(new_year.p.file("zel_USB_Logger_23_12_2026.log"), nullptr);
}

TEST(Logger, EveryRecordKeepsItsLineAndTheRunGoesOnWithoutItsFiles) {
    sim::HubConfig c = t::hub();
    c.info.fw_version = 0x02030100;  // release letter 0: "%c" writes a NUL
    Bench b(c);
    b.p.env["ZEL_TRACE"] = "wire.txt";
    EXPECT_EQ(b.run({"-hinfo"}), 0);
    EXPECT_TRUE(b.logged("INFO", "\tHUB firmware version v2.3.1- build on 2024-12-04 10:00 +0000\n"));
    EXPECT_NE(b.p.out.find("\tHUB firmware version v2.3.1- build on 2024-12-04 10:00 +0000\n\tUSB API"),
              std::string::npos);
    EXPECT_EQ(b.p.out.find('\0'), std::string::npos);
    const std::string trace = b.content("wire.txt");
    EXPECT_EQ(trace.rfind("2026-12-05 09:07:03.004512 +0.000 ms OPEN COM3", 0), 0u);
    EXPECT_NE(trace.find(" TX 104: 00 01 63 00 00"), std::string::npos);
    EXPECT_NE(trace.find(" RX 104: 00 01 63 00 00"), std::string::npos);

    Bench quiet(c);
    quiet.p.files_writable = false;  // neither the log nor the trace can be written
    quiet.p.env["ZEL_TRACE"] = "wire.txt";
    EXPECT_EQ(quiet.run({"-hinfo"}), 0);
    EXPECT_EQ(quiet.p.out, b.p.out);
    EXPECT_EQ(quiet.p.err,
              "WARNING: cannot write the log file ./zel_USB_Logger_5_12_2026.log; the run goes on without "
              "it\nWARNING: cannot write the trace file wire.txt (ZEL_TRACE); the run goes on without it\n");

    for (const size_t length : {256, 2000}) {  // a line longer than 1023 characters is cut, its line end kept
        Bench longer(t::hub());
        const std::string path(length, 'x');
        EXPECT_EQ(longer.run({"-w", path}), 18);
        const std::string line =
            "Path of configuration file too long (" + std::to_string(length) + " characters, at most 255): " + path;
        EXPECT_TRUE(longer.logged("ERROR", line.substr(0, 1022) + "\n")) << longer.at("ERROR");
    }
}

TEST(Listing, EveryHubWithoutOpeningAny) {
    Bench b(t::hub(t::Kind::TorvaneST, false, "COM3"));
    sim::HubConfig held = t::hub(t::Kind::Quillet, false, "COM4");
    held.holder = "pid 4711 (terminal)";
    held.location = "1-1.4";
    b.attach(held);
    EXPECT_EQ(b.run({"-list"}), 0);
    EXPECT_EQ(b.p.out, kVersionLine +
                           "COM3\tTorvane (ST)\tUSB location 1-1\n"
                           "COM4\tQuillet\tUSB location 1-1.4\tin use by pid 4711 (terminal)\n");
    EXPECT_TRUE(b.p.trace.empty());
    EXPECT_EQ(b.p.open_handles(), 0u);
    Bench none;
    EXPECT_EQ(none.run({"-list"}), 0);
    EXPECT_EQ(none.p.out, kVersionLine + "No HUB attached.\n");
}

TEST(RunRecord, EveryOperationLeavesOneAlsoWhenItFails) {
    const std::vector<std::string> runs = {"-hinfo", "-hinfo -boot", "-sinfo",     "-log",   "-stest",
                                           "-rs 6",  "-r net.xml",   "-w net.xml", "-h img", "-s sensors",
                                           "-sfb",   "-list",        "-h missing", ""};
    const nlohmann::json hub = {{"port", "COM3"},
                                {"location", "1-1"},
                                {"kind", "Torvane (ST)"},
                                {"framing", "current"}};
    for (const std::string& line : runs) {
        const std::vector<std::string> args = t::words(line);
        const int result = line == "-h missing" ? 25 : 0;
        Bench b(t::hub());
        b.put("img", t::TwoPart{}.bytes());
        b.put("sensors", t::sensor_image());
        b.put("net.xml", std::string("<NETWORK><DHCP/><SECURITY_TYPE/><BAND/></NETWORK>"));
        b.p.env["ZEL_JSON"] = "run.json";
        EXPECT_EQ(b.run(args), result);
        const auto record = nlohmann::json::parse(b.content("run.json"));
        EXPECT_EQ(record["tool"], "zel_usb_interface");
        EXPECT_EQ(record["version"], "2.0.2+45");
        EXPECT_EQ(record["operation"], args.empty() ? "" : args[0]);
        EXPECT_EQ(record["arguments"], args);
        EXPECT_EQ(record["started"], "2026-12-05T09:07:03.004Z");
        EXPECT_EQ(record["result"], result);
        EXPECT_EQ(record["exit_code"], result);
        EXPECT_NEAR(record["duration_s"].get<double>(), b.p.now_ms() / 1000, 0.001) << line;  // virtual time
        const bool connects = result == 0 && !args.empty() && args[0] != "-list";
        nlohmann::json want = connects ? hub : nlohmann::json();
        if (line == "-hinfo") want["serial"] = "TV2412000317";  // only where the run read it
        EXPECT_EQ(record["hub"], want) << line;
        EXPECT_EQ(record["data"].empty(), result != 0 || line.empty()) << record.dump();
        const bool operation = !args.empty() && args[0] != "-list";
        EXPECT_EQ(record.contains("verdict") && record["verdict"]["ok"] == (result == 0), operation) << line;
        EXPECT_EQ(record.dump().find("correct horse"), std::string::npos);  // never the key
    }
    Bench failed;  // no HUB: the record says so; an unwritable record only warns
    failed.p.env["ZEL_JSON"] = "dir";
    failed.p.files["dir"].regular = false;
    EXPECT_EQ(failed.run({"-hinfo"}), 6);
    EXPECT_EQ(failed.p.err, "WARNING: cannot write the run record dir (ZEL_JSON)\n");
    Bench six;
    six.p.env["ZEL_JSON"] = "run.json";
    EXPECT_EQ(six.run({"-hinfo"}), 6);
    EXPECT_EQ(nlohmann::json::parse(six.content("run.json"))["result"], 6);
}

TEST(Progress, LongWaitsShowOnATerminalAndNowhereElse) {
    sim::HubConfig c = t::hub();
    c.sensor_trigger_drops = true;
    c.reset_absent_ms = 7000;  // not back at the first look, with another HUB there: the looking shows too
    for (const bool terminal : {true, false}) {
        Bench b(c);
        b.attach(t::hub(t::Kind::Quillet, false, "COM4"));
        b.p.err_terminal = terminal;
        EXPECT_EQ(b.run({"-sfb"}), 0);
        const std::string shown =
            "\rWaiting for the HUB to restart: at most 5 s left\rWaiting for the HUB to restart: ";
        EXPECT_EQ(b.p.err.rfind(shown + "at most 4 s left\r", 0) == 0, terminal) << b.p.err;
        EXPECT_EQ(b.p.err.empty(), !terminal);
        EXPECT_EQ(b.p.err.find("\rWaiting for the HUB to come back: at most 19 s left\r") != std::string::npos,
                  terminal)
            << b.p.err;
        // Wiped when done, and before every logged text: the two never run together.
        EXPECT_TRUE(!terminal || b.p.err.substr(b.p.err.size() - 2) == " \r");
        EXPECT_FALSE(std::regex_search(b.p.console, std::regex("left[^\r]")));
        EXPECT_EQ(b.p.out.find("Waiting"), std::string::npos);
    }
}

}  // namespace
