#include <gtest/gtest.h>

#include "scenario.hpp"

namespace {

using scenario::Scenario;
using sim::HubConfig;


void attach_two(Scenario& s) {
    HubConfig a;
    a.port_name = "COM3";
    HubConfig b;
    b.port_name = "COM7";
    b.kind = sim::Kind::TorvaneAtmel;
    s.attach(a);
    s.attach(b);
}

TEST(ChoosingThePort, ZelPortOpensOnlyTheNamedHub) {
    Scenario s;
    attach_two(s);
    s.platform.env["ZEL_PORT"] = "COM7";
    EXPECT_EQ(s.run({"-srf"}), 0);
    EXPECT_TRUE(s.hub(0).requests().empty());
    ASSERT_EQ(s.hub(1).requests().size(), 2u);  // the probe and the trigger
    // The requested-port path announces nothing but the opening.
    EXPECT_EQ(s.find("CDC-interface: No port-name provided... \n"), -1);
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

TEST(ChoosingThePort, UnsetChangesNothing) {
    Scenario s;
    attach_two(s);
    EXPECT_EQ(s.run({"-srf"}), 0);
    EXPECT_EQ(s.hub(0).requests().size(), 2u);
    EXPECT_TRUE(s.hub(1).requests().empty());
}

TEST(WireTrace, EveryByteBothWaysWithTimeAndLength) {
    Scenario s;
    s.attach();
    s.platform.env["ZEL_TRACE"] = "wire.txt";
    EXPECT_EQ(s.run({"-srf"}), 0);
    const std::string* trace = s.platform.file("wire.txt");
    ASSERT_NE(trace, nullptr);
    // The probe went out and its echo came back, each with its length.
    EXPECT_NE(trace->find("OPEN COM3"), std::string::npos);
    EXPECT_NE(trace->find(" TX 104: 00 00 00"), std::string::npos);
    EXPECT_NE(trace->find(" RX 104: 00 00 00"), std::string::npos);
    EXPECT_NE(trace->find(" TX 104: 00 15 18 00 00"), std::string::npos);
    EXPECT_EQ(trace->rfind("2026-12-05 09:07:03.004512 +0.000 ms OPEN COM3", 0), 0u);
    // Standard output and the log are the same as without the trace.
    Scenario plain;
    plain.attach();
    plain.run({"-srf"});
    EXPECT_EQ(s.platform.out, plain.platform.out);
    EXPECT_EQ(s.texts(), plain.texts());
}

}  // namespace

namespace {

TEST(PortOpeningHint, FollowsTheFailureLineWhenThePlatformKnowsWhy) {
    struct Denied : sim::SimPlatform {
        std::string port_open_hint(const std::string& name) override { return "no permission for " + name + "\n"; }
    };
    sim::HubConfig c;
    c.refuse_opens = 1000;
    Denied denied;
    denied.attach(c);
    USB_Logger::Discard();
    char arg0[] = "zel_usb_interface", arg1[] = "-srf";
    char* argv[] = {arg0, arg1, nullptr};
    EXPECT_EQ(run(2, argv, denied), 6);
    const auto log = scenario::parse_log(denied.appended);
    USB_Logger::Discard();
    bool found = false;
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].text == "CDC-interface: Failed to create a reference file for COM3!!\n") {
            EXPECT_EQ(log[i + 1].level, "ERROR");
            EXPECT_EQ(log[i + 1].text, "no permission for COM3\n");
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace
