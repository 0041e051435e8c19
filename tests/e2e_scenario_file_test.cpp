// The scenario file syntax of zel_hub_sim.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sim/server/scenario_file.hpp"

namespace {

using sim::Fault;
using sim::FaultRule;
using sim::HubConfig;
namespace sf = sim::scenario_file;

TEST(E2EScenarioFile, CoreKeysSetTheModel) {
    HubConfig c;
    std::string error;
    const char* text =
        "# a HUB that restarts with its sensors\n"
        "\n"
        "kind = atmel\n"
        "  legacy=yes  \r\n"
        "port_name = ttyACM3\n"
        "port_name_after_reset = ttyACM10\n"
        "reset_absent_ms = -1\n"
        "refuse_opens = 2\n"
        "refuse_opens_after_restart = 3\n"
        "sensor_trigger_drops = on\n"
        "probe_answer = 0xDEADBEEF\n"
        "reply_delay_us = 1200\n";
    ASSERT_TRUE(sf::parse(text, c, error)) << error;
    EXPECT_EQ(c.kind, sim::Kind::TorvaneAtmel);
    EXPECT_TRUE(c.legacy);
    EXPECT_EQ(c.port_name, "ttyACM3");
    EXPECT_EQ(c.port_name_after_reset, "ttyACM10");
    EXPECT_EQ(c.reset_absent_ms, -1);
    EXPECT_EQ(c.refuse_opens, 2);
    EXPECT_EQ(c.refuse_opens_after_restart, 3);
    EXPECT_TRUE(c.sensor_trigger_drops);
    EXPECT_EQ(c.probe_answer, 0xDEADBEEFu);
    EXPECT_EQ(c.reply_delay_us, 1200);
    EXPECT_TRUE(c.faults.empty());
}

TEST(E2EScenarioFile, EveryFaultTypeHasItsSyntax) {
    struct Case {
        const char* text;
        int request_index;
        std::optional<uint32_t> word;
        int occurrence;
        Fault::Type type;
        int index, count;
        uint32_t status;
        int64_t delay_ms;
    };
    const Case cases[] = {
        {"index:3 type:no_echo", 3, {}, 0, Fault::NoEcho, 0, 0, 0, 0},
        {"word:0x00630100 type:short_reply count:50", -1, 0x00630100u, 0, Fault::ShortReply, 0, 50, 0, 0},
        {"type:echo_changed byte:7 index:0", 0, {}, 0, Fault::EchoByteChanged, 7, 0, 0, 0},
        {"word:0 occurrence:every type:partial_echo count:10", -1, 0u, -1, Fault::PartialEcho, 0, 10, 0, 0},
        {"word:0x00181500 occurrence:2 type:no_reply", -1, 0x00181500u, 2, Fault::NoReply, 0, 0, 0, 0},
        {"index:1  type:status_only   status:0x105", 1, {}, 0, Fault::StatusOnly, 0, 0, 0x105, 0},
        {"index:2 type:late_reply delay_ms:2500", 2, {}, 0, Fault::LateReply, 0, 0, 0, 2500},
        {"index:4 type:vanish delay_ms:800", 4, {}, 0, Fault::Vanish, 0, 0, 0, 800},
        {"index:4 type:vanish delay_ms:forever", 4, {}, 0, Fault::Vanish, 0, 0, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FaultRule rule;
        std::string error;
        ASSERT_TRUE(sf::parse_fault(c.text, rule, error)) << error;
        EXPECT_EQ(rule.request_index, c.request_index);
        EXPECT_EQ(rule.word, c.word);
        EXPECT_EQ(rule.occurrence, c.occurrence);
        EXPECT_EQ(rule.fault.type, c.type);
        EXPECT_EQ(rule.fault.index, c.index);
        EXPECT_EQ(rule.fault.count, c.count);
        EXPECT_EQ(rule.fault.status, c.status);
        EXPECT_EQ(rule.fault.delay_ms, c.delay_ms);
    }
    // Several lines add up, in order.
    HubConfig config;
    std::string error;
    ASSERT_TRUE(sf::parse("fault = index:0 type:no_echo\nfault = index:5 type:no_reply\n", config, error));
    ASSERT_EQ(config.faults.size(), 2u);
    EXPECT_EQ(config.faults[1].request_index, 5);
}

TEST(E2EScenarioFile, MistakesAreRefusedWithTheirReason) {
    struct Case {
        const char* text;
        const char* expected;  // part of the message
    };
    const Case cases[] = {
        {"kind = st\nno_such_key = 1\n", "line 2: unknown key or bad value: no_such_key = 1"},
        {"legacy\n", "line 1: expected key = value"},
        {" = 5\n", "line 1: expected key = value"},
        {"kind = avr\n", "bad value for kind"},
        {"legacy = maybe\n", "bad value for legacy"},
        {"port_name = ../x\n", "bad value for port_name"},
        {"refuse_opens = -1\n", "bad value for refuse_opens"},
        {"probe_answer = 0x100000000\n", "bad value for probe_answer"},
        {"reply_delay_us = 12ms\n", "bad value for reply_delay_us"},
        {"fault = type:no_echo\n", "exactly one of index:N or word:W"},
        {"fault = index:1 word:2 type:no_echo\n", "exactly one of index:N or word:W"},
        {"fault = index:1\n", "type:<type> is missing"},
        {"fault = index:1 type:garbled\n", "unknown type 'garbled'"},
        {"fault = index:1 type:short_reply\n", "takes exactly count:N"},
        {"fault = index:1 type:late_reply count:3\n", "takes exactly delay_ms:T"},
        {"fault = index:1 type:late_reply delay_ms:-5\n", "takes exactly delay_ms:T"},
        {"fault = index:1 type:no_echo count:3\n", "takes no byte, count, status or delay_ms"},
        {"fault = index:1 occurrence:2 type:no_echo\n", "occurrence goes with word:W"},
        {"fault = index:1 index:2 type:no_echo\n", "'index' given twice"},
        {"fault = index:x type:no_echo\n", "bad value in 'index:x'"},
        {"fault = index:1 type:no_echo extra\n", "'extra' is not name:value"},
        {"fault = index:1 type:no_echo colour:red\n", "unknown field 'colour'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        HubConfig config;
        std::string error;
        EXPECT_FALSE(sf::parse(c.text, config, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

}  // namespace
