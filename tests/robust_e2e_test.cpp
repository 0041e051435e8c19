// Faults of the machine, end to end: the real zel_usb_interface against
// zel_hub_sim on a pseudo-terminal, in real time. The port held by another
// process for the whole 20 attempts, the HUB dropping off the bus in the
// middle of -hinfo, a log file that cannot be written, and an exit code on
// a system that keeps only its low 8 bits. The same faults are tried on
// every operation in virtual time (robust_machine_test.cpp).
#ifndef _WIN32

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include "log/USB_Logger.hpp"
#include "tests/e2e_support.hpp"

namespace {

namespace fs = std::filesystem;
using e2e::HubSim;
using e2e::LogEntry;
using e2e::logged;
using e2e::ToolRun;

TEST(RobustE2EPortBusy, HeldByAnotherProcessEndsWithSixAfterTwentyAttempts) {
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string port = sim.dev_root() + "/ttyACM0";
    // Held the way the tool itself opens it: an exclusive lock.
    const int other = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim, 60);
    ::close(other);

    EXPECT_EQ(run.exit_code, 6) << run.out;
    // 20 attempts, each followed by its second.
    EXPECT_GE(run.seconds, 19.9);
    EXPECT_LT(run.seconds, 30.0);
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(logged(log, "ERROR", "CDC-interface: Failed to create a reference file for " + port + "!!\n")) << run.log;
    EXPECT_TRUE(logged(log, "ERROR", "CDC-interface: Virtual-serial port '" + port + "' no detected!\n"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().text, "Something went wrong getting HUB info - error-code 6\n");
    EXPECT_NE(run.out.find("Something went wrong getting HUB info - error-code 6\n"), std::string::npos);
    EXPECT_TRUE(e2e::written(sim).empty());  // not a byte reached the HUB
}

TEST(RobustE2EVanish, HubDropsOffDuringHubInformation) {
    // After echoing the request the HUB leaves for good: the echo never
    // leaves it, and the open handle is hung up.
    HubSim sim({}, "fault = word:0x00630100 type:vanish delay_ms:forever\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim, 60);

    EXPECT_EQ(run.exit_code, 10) << run.out;
    EXPECT_LT(run.seconds, 5.0);  // the opening's second, then failures only
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(e2e::reported(log, "GetHUBInformation::RunCommand", "what(): read() failed - unexpected amount of bytes\n"))
        << run.log;
    EXPECT_TRUE(logged(log, "ERROR", "Something went wrong getting HUB info - error-code 10\n"));
    EXPECT_EQ(run.out.find("Unique ID number"), std::string::npos);
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_TRUE(e2e::traced(sim, "off the bus")) << sim.trace_text();
}

TEST(RobustE2ELogFile, NameTakenByADirectoryTheToolStillRunsAndReports) {
    // Root writes anywhere; a directory where the log file would go stops
    // it all the same. One for each day the run might start on.
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    std::vector<std::string> names;
    const auto now = std::chrono::system_clock::now();
    for (int day : {-1, 0, 1}) {
        const auto t = now + std::chrono::hours(24 * day);
        const int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() / 100;
        names.push_back(logrules::log_file_name(logrules::breakdown_utc(ticks)));
    }
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim, 60, [&](const std::string& work) {
        for (const std::string& n : names) fs::create_directories(work + "/" + n);
    });
    EXPECT_EQ(run.exit_code, 0) << run.out;
    for (const char* text : {"torvane_com_device_class version: 2.0.2+45\n", "Creating object GetHUBInformation\n",
                             "HUB version 2.0.0 or higher!!\n", "Unique ID number for HUB is: \n", "Closing com port\n"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(run.entries, names);  // the directories stay empty, and nothing is left beside them
}

TEST(RobustE2EExitCode, RefusedConfigurationNeverExitsAsSuccess) {
    // The HUB refuses the configuration with the status word 0x100. The
    // result is that word; a caller must not see the run as a success.
    HubSim sim({}, "network.write_status = 256\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    e2e::TempDir temp;
    const std::string xml = temp.path() + "/net.xml";
    e2e::write_text(xml,
                    "<?xml version=\"1.0\"?>\n<NETWORK><SSID>Lab</SSID>"
                    "<DHCP><Manual value=\"true\"/></DHCP><SECURITY_TYPE><A value=\"true\"/></SECURITY_TYPE>"
                    "<BAND><E value=\"true\"/></BAND></NETWORK>\n");
    const ToolRun run = e2e::run_tool({"-w", xml}, sim, 60);
    EXPECT_TRUE(logged(e2e::parse_log(run.log), "ERROR", "Network configuration failed - status 256\n")) << run.log;
    EXPECT_EQ(run.exit_code, 255);  // out of the 8-bit range: 255, never 0
}

}  // namespace

#endif  // !_WIN32
