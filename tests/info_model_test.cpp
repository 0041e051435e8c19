#include <gtest/gtest.h>

#include "scenario.hpp"
#include "sim/hub_model.hpp"
#include "src/Command.hpp"

namespace {

using sim::HubConfig;
using sim::HubModel;
using sim::InfoArea;
using sim::Kind;

// Writes a request to a bare model; returns what it sends back (echo included).
std::vector<uint8_t> talk(HubModel& hub, const std::vector<uint8_t>& bytes) {
    hub.output().clear();
    hub.host_write(0, bytes);
    std::vector<uint8_t> out;
    for (const sim::TimedByte& b : hub.output()) out.push_back(b.value);
    return out;
}

std::vector<uint8_t> echo_then(const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply) {
    std::vector<uint8_t> all = request;
    all.insert(all.end(), reply.begin(), reply.end());
    return all;
}

TEST(InfoModel, ScenarioKeys) {
    InfoArea a;
    EXPECT_TRUE(sim::configure_info(a, "info.unique_id", "0x1, 0x23 0 0xabcdef"));
    EXPECT_EQ(a.unique_id, (std::array<uint32_t, 4>{1, 0x23, 0, 0xabcdef}));
    EXPECT_TRUE(sim::configure_info(a, "info.fw_version", "0x02010341"));
    EXPECT_EQ(a.fw_version, 0x02010341u);
    EXPECT_TRUE(sim::configure_info(a, "info.build_time", "4294967295"));
    EXPECT_EQ(a.build_time, 0xffffffffu);
    EXPECT_TRUE(sim::configure_info(a, "info.serial", "ABCDEFGHIJKL"));
    EXPECT_TRUE(sim::configure_info(a, "info.sensors", "3"));
    EXPECT_EQ(a.sensors.size(), 3u);
    EXPECT_TRUE(sim::configure_info(a, "info.sensor.2.build_number", "300"));
    EXPECT_EQ(a.sensors[2].build_number, 300u);
    EXPECT_TRUE(sim::configure_info(a, "info.sensor.0.address", "0x2a"));
    EXPECT_EQ(a.sensors[0].address, 0x2a);
    EXPECT_TRUE(sim::configure_info(a, "info.log_text", "a\\r\\nb\\x41\\\\"));
    EXPECT_EQ(a.log_text, "a\r\nbA\\");
    EXPECT_TRUE(sim::configure_info(a, "info.log_prefix", ""));
    EXPECT_EQ(a.log_stream(), "a\r\nbA\\");

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"network.ssid", "x"},                 // not this area's
        {"info.colour", "1"},                  // no such key
        {"info.fw_version", "2.1.3"},          // not a number
        {"info.prod_date", "0x100000000"},     // does not fit a word
        {"info.unique_id", "1 2 3"},           // four words
        {"info.serial", "ABCDEFGHIJKLM"},      // longer than the field
        {"info.sensors", "65"},
        {"info.sensor.3.build_number", "1"},   // only three sensors
        {"info.sensor.0.address", "0x100"},
        {"info.log_text", "cut\\x4"},
    };
    for (const auto& [key, value] : refused) {
        InfoArea before = a;
        EXPECT_FALSE(sim::configure_info(a, key, value)) << key << " = " << value;
        EXPECT_EQ(a.sensors.size(), before.sensors.size());
        EXPECT_EQ(a.serial, before.serial);
    }
}

TEST(InfoModel, AnswersOnlyItsOwnFramingAndWellFormedRequests) {
    const auto current = scenario::request({0x00, 0x01, 0x63, 0x00});
    const auto legacy = scenario::request({0xAE, 0x00, 0x63, 0x00});
    const auto boot = scenario::request({0x00, 0x01, 0x87, 0x00});
    const auto sensors = scenario::request({0x00, 0x15, 0x43, 0x00});

    HubModel st{HubConfig{}};
    const InfoArea& a = st.config().info;
    EXPECT_EQ(talk(st, current), echo_then(current, sim::hub_info_reply(a, false)));
    EXPECT_EQ(talk(st, legacy), legacy);  // echoed only
    EXPECT_EQ(talk(st, boot), boot);      // the boot form is the Quillet's
    EXPECT_EQ(talk(st, sensors), echo_then(sensors, a.sensor_block()));
    auto dirty = current;
    dirty[60] = 1;
    EXPECT_EQ(talk(st, dirty), dirty);
    EXPECT_EQ(a.info_requests, 1);
    EXPECT_EQ(a.sensor_requests, 1);
    EXPECT_EQ(a.malformed, 1);

    HubConfig old;
    old.legacy = true;
    HubModel legacy_hub{old};
    EXPECT_EQ(talk(legacy_hub, current), current);
    EXPECT_EQ(talk(legacy_hub, sensors), sensors);
    const auto reply = sim::hub_info_reply(legacy_hub.config().info, true);
    EXPECT_EQ(talk(legacy_hub, legacy), echo_then(legacy, reply));
    EXPECT_EQ(reply[0], 0xAE);

    HubConfig q;
    q.kind = Kind::Quillet;
    HubModel quillet{q};
    const auto boot_reply = talk(quillet, boot);
    ASSERT_EQ(boot_reply.size(), 208u);
    EXPECT_EQ(get_le32(boot_reply.data() + 104 + 12), q.info.prod_assy);
    EXPECT_EQ(get_le32(boot_reply.data() + 104 + 16), q.info.bootloader_version);
}

TEST(InfoModel, ConsoleAnswersOnlyTheLogCommand) {
    HubConfig c;
    c.info.log_prefix = "\r\n";
    c.info.log_text = "abc";
    HubModel hub{c};
    const std::string typed = "? lag\r";
    EXPECT_EQ(talk(hub, std::vector<uint8_t>(typed.begin(), typed.end())),
              std::vector<uint8_t>(typed.begin(), typed.end()));
    const std::string right = "? log\r";
    std::vector<uint8_t> expected(right.begin(), right.end());
    for (char ch : std::string("\r\nabc")) expected.push_back(uint8_t(ch));
    EXPECT_EQ(talk(hub, std::vector<uint8_t>(right.begin(), right.end())), expected);
    EXPECT_EQ(hub.config().info.console_lines, (std::vector<std::string>{"? lag", "? log"}));
}

}  // namespace
