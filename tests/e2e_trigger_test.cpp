// The real zel_usb_interface against zel_hub_sim, in real time: the sensor
// triggers with the HUB dropping off the bus and coming back, and a run with
// no HUB at all. Each trigger run lasts the 5-second reconnect pause plus
// two port openings of a second each, so these stay few.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e_support.hpp"

namespace {

using e2e::HubSim;
using e2e::LogEntry;
using Bytes = std::vector<uint8_t>;

// The logged texts without the version line that opens every run.
std::vector<std::string> texts(const std::vector<LogEntry>& log) {
    std::vector<std::string> all;
    for (const LogEntry& e : log) {
        if (e.text.rfind("torvane_com_device_class version:", 0) == 0) continue;
        all.push_back(e.text);
    }
    return all;
}

std::string joined(const std::vector<LogEntry>& log) {
    std::string all;
    for (const LogEntry& e : log) all += e.text;
    return all;
}

Bytes request(uint32_t word) {
    Bytes r(104, 0);
    for (int i = 0; i < 4; ++i) r[size_t(i)] = uint8_t(word >> (8 * i));
    return r;
}

// Index of the first "**" trace line starting with `text` at or after `from`.
int find_event(const std::vector<e2e::TraceLine>& trace, const std::string& text, int from = 0) {
    for (size_t i = size_t(from); i < trace.size(); ++i) {
        if (trace[i].tag == "**" && trace[i].text.rfind(text, 0) == 0) return int(i);
    }
    return -1;
}

std::vector<std::string> expected_log(const std::string& port, std::vector<std::string> report) {
    std::vector<std::string> lines{
        "Creating object SimpleCommand:\n",
        "\tNo additional information to send\n",
        "\tNo additional feedback expected\n",
        "CDC-interface: A Torvane detected... \n",
        "CDC-interface: No port-name provided... \n",
        "CDC-interface: Connecting to '" + port + "'\n",
        "Opening COM port\n",
        "Checking hub version...\n",
        "HUB version 2.0.0 or higher!!\n",
        "Closing com port\n",  // the reconnect: closed, 5 s, found again
        "Opening COM port\n",
    };
    lines.insert(lines.end(), report.begin(), report.end());
    lines.push_back("Closing com port\n");  // the command's end
    return lines;
}

// Checks one trigger run against the stand-in's trace: the probe, then the
// trigger, then the drop-off, the return, and the tool's reopening.
void check_trace(HubSim& sim, uint32_t word, const std::string& back_as) {
    ASSERT_EQ(sim.stop(), 0);
    const std::vector<e2e::TraceLine> trace = sim.trace();
    Bytes expected(104, 0);
    const Bytes trigger = request(word);
    expected.insert(expected.end(), trigger.begin(), trigger.end());
    EXPECT_EQ(e2e::trace_bytes(trace, "->"), expected) << sim.trace_text();
    const int off = find_event(trace, "off the bus");
    const int back = find_event(trace, "on the bus as " + back_as, off + 1);
    ASSERT_GE(off, 0) << sim.trace_text();
    ASSERT_GT(back, off) << sim.trace_text();
    EXPECT_GT(find_event(trace, "opened", back + 1), back) << sim.trace_text();
    EXPECT_GE(trace[size_t(back)].time - trace[size_t(off)].time, 1.4);  // the default 1.5 s restart
}

TEST(E2ETrigger, SensorBootloaderWithTheHubDroppingOffAndComingBack) {
    HubSim sim({"--drop-on-trigger"});
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const e2e::ToolRun run = e2e::run_tool({"-sfb"}, sim);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_EQ(texts(log), expected_log(sim.dev_root() + "/ttyACM0", {"Trigger to bootloader command sent!\r\n"}))
        << run.log;
    for (const LogEntry& e : log) EXPECT_EQ(e.level, "INFO") << e.text;
    EXPECT_EQ(run.out, joined(log));
    EXPECT_GE(run.seconds, 7.0);  // 5 s pause and two openings of 1 s
    check_trace(sim, 0x00481500, "ttyACM0");
}

TEST(E2ETrigger, SensorFirmwareReopensTheHubUnderItsNewName) {
    HubSim sim({"--drop-on-trigger"}, "port_name_after_reset = ttyACM1\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const e2e::ToolRun run = e2e::run_tool({"-srf"}, sim);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_EQ(texts(log), expected_log(sim.dev_root() + "/ttyACM0", {"Trigger sensors to run firmware command sent!\r\n",
                                                                      "Restart the suit!\r\n"}))
        << run.log;
    EXPECT_EQ(run.out, joined(log));
    check_trace(sim, 0x00181500, "ttyACM1");
}

TEST(E2ETrigger, NoHubEndsWithSix) {
    // Empty roots, so a HUB plugged into this machine is not found either.
    e2e::TempDir empty;
    std::filesystem::create_directories(empty.path() + "/sys/class/tty");
    std::filesystem::create_directories(empty.path() + "/dev");
    const std::string sys = empty.path() + "/sys", dev = empty.path() + "/dev";

    const e2e::ToolRun info = e2e::run_tool({"-hinfo"}, sys, dev, 30);
    EXPECT_EQ(info.exit_code, 6) << info.out << info.err;
    EXPECT_FALSE(info.log_name.empty());
    EXPECT_EQ(info.out.find("Opening COM port"), std::string::npos);

    const e2e::ToolRun trigger = e2e::run_tool({"-sfb"}, sys, dev, 30);
    EXPECT_EQ(trigger.exit_code, 6) << trigger.out << trigger.err;
    const std::vector<std::string> expected{
        "Creating object SimpleCommand:\n",
        "\tNo additional information to send\n",
        "\tNo additional feedback expected\n",
        "Trigger to bootloader command sent!\r\n",
        "Something went wrong trying to trigger sensors to bootloader - error-code 6!!\n",
    };
    EXPECT_EQ(texts(e2e::parse_log(trigger.log)), expected) << trigger.log;
    EXPECT_LT(trigger.seconds, 5.0);  // nothing to open, nothing to wait for
}

}  // namespace
