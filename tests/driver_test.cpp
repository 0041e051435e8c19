#include <gtest/gtest.h>

#include "scenario.hpp"

namespace {

const char* const kUsage =
    "\nDEVICE INFORMATION\n"
    "zel_usb_interface.exe -log\n"
    "\t-log to read LOG-file within HUB\n"
    "zel_usb_interface.exe -hinfo\n"
    "\t-hinfo to read firmware information from HUB\n"
    "zel_usb_interface.exe -sinfo\n"
    "\t-sinfo to read firmware information from sensors\n\n"
    "FIRMWARE UPGRADES\n"
    "zel_usb_interface.exe -[s/h] [path to *.tfh/tfs]\n"
    "\t-s to upgrade SENSOR firmware\n"
    "\t-sb to upgrade SENSOR firmware from boot\n"
    "\t-h to upgrade HUB firmware\n\n"
    "SENSOR DIAGNOSTIC TOOLS\n"
    "zel_usb_interface.exe -srf\n"
    "\t-srf to run SENSOR firmware\n"
    "zel_usb_interface.exe -sfb\n"
    "\t-sfb to trigger SENSOR bootlader\n\n"
    "WIFI TOOLS\n"
    "zel_usb_interface.exe -[r/w] [path to *.xml]\n"
    "\t-r reads HUB network configuration and writes it in [path to *.xml]\n"
    "\t-w writes HUB network configuration in [path to *.xml]\n"
    "zel_usb_interface.exe -rs [channel - number from 0 to 20] [optional: band - 0 for 2.4GHz, 1 for 5GHz, 2 for dual band]\n"
    "\t-rs to scan for WiFi networks\n";

const std::string kVersionLine = "torvane_com_device_class version: 2.0.2+45\n";

TEST(Driver, ArgumentRulesPrintUsageAndTouchNoPort) {
    const std::vector<std::vector<std::string>> usage_cases = {
        {},                         // no arguments
        {"-hinfo", "a", "b", "c"},  // five arguments in all
        {"-log", "extra"},          // an option that takes no argument
        {"-h"},                     // an option that needs its path
        {"-unknown"},
        {"-unknown", "x"},
        {"-hinfo", "-x"},  // the single argument behind -hinfo must be -boot
        {"-HINFO"},        // options are case-sensitive
        {"-r"},
        {"-rs"},
    };
    for (const auto& args : usage_cases) {
        scenario::Scenario s;
        s.attach();
        EXPECT_EQ(s.run(args), 0) << args.size();
        EXPECT_EQ(s.platform.out, kVersionLine + kUsage) << args.size();
        EXPECT_TRUE(s.hub().requests().empty());
        EXPECT_TRUE(s.platform.trace.empty());
    }
}

TEST(Driver, MatchingOptionWithAnArgumentCountThatFitsNoBranchRunsNothing) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h", "f", "extra"}, {"-w", "a", "b"}, {"-r", "a", "b"}, {"-s", "a", "b"}, {"-sb", "a", "b"}}) {
        scenario::Scenario s;
        s.attach();
        EXPECT_EQ(s.run(args), 0) << args[0];
        EXPECT_EQ(s.platform.out, kVersionLine) << args[0];
        EXPECT_TRUE(s.platform.trace.empty()) << args[0];
    }
}

TEST(Driver, TwoArgumentsBehindHinfoAreIgnored) {
    scenario::Scenario s;
    s.attach();
    EXPECT_EQ(s.run({"-hinfo", "a", "b"}), 0);
    EXPECT_EQ(s.writes().back(), scenario::request({0x00, 0x01, 0x63, 0x00}));  // the ordinary query
    EXPECT_NE(s.platform.out.find("Production data:\n"), std::string::npos);
}

TEST(Driver, NoHubMeansResultSixForEveryConnectingOption) {
    // Nothing is logged by the connection: the command's creation line, then its failure line.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"-srf",
         {"Creating object SimpleCommand:\n", "\tNo additional information to send\n", "\tNo additional feedback expected\n",
          "Trigger sensors to run firmware command sent!\r\n",
          "Something went wrong trying to trigger sensors to run firmware - error-code 6!!\n"}},
        {"-hinfo", {"Creating object GetHUBInformation\n", "Something went wrong getting HUB info - error-code 6\n"}},
        {"-stest", {"Creating object RunSelfTest\n", "Something went wrong in the self-test - error-code 6\n"}},
    };
    for (const auto& [option, texts] : cases) {
        scenario::Scenario s;  // nothing attached
        EXPECT_EQ(s.run({option}), 6);
        EXPECT_EQ(s.texts(), texts);
        EXPECT_TRUE(s.logged("ERROR", texts.back()));
    }
}

TEST(Driver, ExitStatusNeverTurnsAFailureIntoSuccess) {
    EXPECT_EQ(exit_status(0), 0);
    EXPECT_EQ(exit_status(6), 6);
    EXPECT_EQ(exit_status(255), 255);
#ifdef _WIN32
    EXPECT_EQ(exit_status(256), 256);
    EXPECT_EQ(exit_status(801), 801);
#else
    for (int result : {256, 512, 801, 804, 0x00631900, -1, -256}) EXPECT_EQ(exit_status(result), 255) << result;
#endif
}

}  // namespace
