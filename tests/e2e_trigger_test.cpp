// The real zel_usb_interface against zel_hub_sim, in real time: the sensor
// triggers with the HUB dropping off the bus and coming back (once under the
// same name, once under another). Each run lasts the 5-second reconnect pause
// plus two port openings of a second each.
#include <gtest/gtest.h>

#include "tests/e2e_support.hpp"

namespace {

using e2e::LogEntry;

TEST(E2ETrigger, SensorTriggersWithTheHubDroppingOffAndComingBack) {
    struct Case {
        std::string option;
        uint32_t word;
        std::string back_as;
        std::vector<std::string> report;
    };
    const std::vector<Case> cases = {
        {"-sfb", 0x00481500, "ttyACM0", {"Trigger to bootloader command sent!\r\n"}},
        {"-srf", 0x00181500, "ttyACM1", {"Trigger sensors to run firmware command sent!\r\n", "Restart the suit!\r\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        e2e::HubSim sim({"--drop-on-trigger"}, "port_name_after_reset = " + c.back_as + "\n");
        ASSERT_TRUE(sim.started()) << sim.stderr_text();
        const e2e::ToolRun run = e2e::run_tool({c.option}, sim);
        EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
        std::vector<std::string> expected{
            "torvane_com_device_class version: 2.0.2+45\n",
            "Creating object SimpleCommand:\n",
            "\tNo additional information to send\n",
            "\tNo additional feedback expected\n",
            "CDC-interface: A Torvane detected... \n",
            "CDC-interface: No port-name provided... \n",
            "CDC-interface: Connecting to '" + sim.dev_root() + "/ttyACM0'\n",
            "Opening COM port\n",
            "Checking hub version...\n",
            "HUB version 2.0.0 or higher!!\n",
            "Closing com port\n",  // the reconnect: closed, 5 s, found again
            "Opening COM port\n",
        };
        expected.insert(expected.end(), c.report.begin(), c.report.end());
        expected.push_back("Closing com port\n");  // the command's end
        std::vector<std::string> texts;
        std::string all;
        for (const LogEntry& e : e2e::parse_log(run.log)) {
            EXPECT_EQ(e.level, "INFO") << e.text;
            texts.push_back(e.text);
            all += e.text;
        }
        EXPECT_EQ(texts, expected) << run.log;
        EXPECT_EQ(run.out, all);
        EXPECT_GE(run.seconds, 7.0);  // 5 s pause and two openings of 1 s

        // The stand-in saw the probe, then the trigger, then dropped off,
        // came back (after its 1.5 s restart) and was opened again.
        ASSERT_EQ(sim.stop(), 0);
        const std::vector<e2e::TraceLine> trace = sim.trace();
        EXPECT_EQ(e2e::trace_bytes(trace, "->"), e2e::concat({e2e::request(0), e2e::request(c.word)})) << sim.trace_text();
        auto event = [&](const std::string& text, size_t from) {
            for (size_t i = from; i < trace.size(); ++i) {
                if (trace[i].tag == "**" && trace[i].text.rfind(text, 0) == 0) return i;
            }
            return trace.size();
        };
        const size_t off = event("off the bus", 0), back = event("on the bus as " + c.back_as, off + 1);
        ASSERT_LT(back, trace.size()) << sim.trace_text();
        EXPECT_LT(event("opened", back + 1), trace.size()) << sim.trace_text();
        EXPECT_GE(trace[back].time - trace[off].time, 1.4);
    }
}

}  // namespace
