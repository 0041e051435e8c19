#include <gtest/gtest.h>

#include "scenario.hpp"

namespace {

using scenario::Scenario;
using sim::HubConfig;


void attach_two(Scenario& s) {
    HubConfig b;
    b.port_name = "COM7";
    b.kind = sim::Kind::TorvaneAtmel;
    s.attach();  // COM3
    s.attach(b);
}

TEST(ChoosingThePort, ZelPortOpensOnlyTheNamedHubAndUnsetChangesNothing) {
    for (const std::string port : {"COM7", ""}) {
        Scenario s;
        attach_two(s);
        if (!port.empty()) s.platform.env["ZEL_PORT"] = port;
        EXPECT_EQ(s.run({"-srf"}), 0);
        // The probe and the trigger, to the named HUB or else the first.
        EXPECT_EQ(s.hub(0).requests().size(), port.empty() ? 2u : 0u);
        EXPECT_EQ(s.hub(1).requests().size(), port.empty() ? 0u : 2u);
        // The requested-port path announces nothing but the opening.
        EXPECT_EQ(s.find("CDC-interface: No port-name provided... \n") == -1, !port.empty());
    }
}

TEST(ChoosingThePort, UnknownNameEndsWithSixAndListsTheHubsFound) {
    Scenario s;
    attach_two(s);
    s.platform.env["ZEL_PORT"] = "COM9";
    EXPECT_EQ(s.run({"-hinfo"}), 6);
    EXPECT_TRUE(s.logged("ERROR", "CDC-interface: No HUB at the requested port 'COM9' (ZEL_PORT); HUB ports found: COM3, COM7\n"));
    EXPECT_TRUE(s.platform.trace.empty());

    Scenario none;
    none.platform.env["ZEL_PORT"] = "COM9";
    EXPECT_EQ(none.run({"-srf"}), 6);
    EXPECT_TRUE(none.logged("ERROR", "CDC-interface: No HUB at the requested port 'COM9' (ZEL_PORT); HUB ports found: none\n"));
}

TEST(WireTrace, EveryByteBothWaysWithTimeAndLength) {
    Scenario s;
    s.attach();
    s.platform.env["ZEL_TRACE"] = "wire.txt";
    EXPECT_EQ(s.run({"-srf"}), 0);
    const std::string* trace = s.platform.file("wire.txt");
    ASSERT_NE(trace, nullptr);
    // The probe went out and its echo came back, each with its length.
    EXPECT_EQ(trace->rfind("2026-12-05 09:07:03.004512 +0.000 ms OPEN COM3", 0), 0u);
    EXPECT_NE(trace->find(" TX 104: 00 00 00"), std::string::npos);
    EXPECT_NE(trace->find(" RX 104: 00 00 00"), std::string::npos);
    EXPECT_NE(trace->find(" TX 104: 00 15 18 00 00"), std::string::npos);
    // Standard output and the log are the same as without the trace.
    Scenario plain;
    plain.attach();
    plain.run({"-srf"});
    EXPECT_EQ(s.platform.out, plain.platform.out);
    EXPECT_EQ(s.texts(), plain.texts());
}

TEST(PortOpeningHint, FollowsTheFailureLineWhenThePlatformKnowsWhy) {
    struct Denied : sim::SimPlatform {
        std::string port_open_hint(const std::string& name) override { return "no permission for " + name + "\n"; }
    } denied;
    sim::HubConfig c;
    c.refuse_opens = 1000;
    denied.attach(c);
    EXPECT_EQ(scenario::run_on(denied, {"-srf"}), 6);
    const auto log = scenario::parse_log(denied.appended);
    const auto at = std::find_if(log.begin(), log.end(), [](const scenario::LogEntry& e) {
        return e.text == "CDC-interface: Failed to create a reference file for COM3!!\n";
    });
    ASSERT_LT(at + 1, log.end());
    EXPECT_EQ(at[1].level, "ERROR");
    EXPECT_EQ(at[1].text, "no permission for COM3\n");
}

}  // namespace
