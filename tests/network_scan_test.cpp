#include <gtest/gtest.h>

#include <algorithm>

#include "scenario.hpp"
#include "sim/area_network.hpp"
#include "src/ScanNetworksCommand.hpp"

namespace {

using scenario::Scenario;
using sim::AccessPoint;
using sim::Fault;
using sim::HubConfig;

HubConfig hub_with(std::vector<AccessPoint> list, bool legacy = false) {
    HubConfig c;
    c.legacy = legacy;
    c.network.access_points = std::move(list);
    return c;
}

// Standard output from the count line on, up to the port's closing line
// that follows when the command goes.
std::string listing(const Scenario& s) {
    const std::string& out = s.platform.out;
    const size_t at = out.find("Number of access points found");
    const size_t end = out.rfind("Closing com port\n");
    if (at == std::string::npos) return {};
    return out.substr(at, end != std::string::npos && end > at ? end - at : std::string::npos);
}

std::string entry(int i, const std::string& name, int channel, int security, int rssi, int type) {
    return "\t Access Point " + std::to_string(i) + ":\n\t\t SSID " + name + "\n\t\t RF_CHANNEL " +
           std::to_string(channel) + "\n\t\t SECURITY_MODE " + std::to_string(security) + "\n\t\t RSSI_VAL " +
           std::to_string(rssi) + "\n\t\t NETWORK_TYPE " + std::to_string(type) + "\n";
}

TEST(NetworkScan, RepeatedNamesKeepTheFirstEntry) {
    Scenario s;
    s.attach(hub_with({{1, 2, 3, 4, "A"}, {5, 6, 7, 8, "B"}, {9, 10, 11, 12, "A"}, {13, 0, 0, 0, ""},
                       {14, 0, 0, 0, "a"}, {15, 0, 0, 0, ""}, {16, 0, 0, 0, "B "}}));
    EXPECT_EQ(s.run({"-rs", "6"}), 0);
    EXPECT_EQ(listing(s), "Number of access points found 5\n" + entry(0, "A", 1, 2, 3, 4) + entry(1, "B", 5, 6, 7, 8) +
                              entry(2, "", 13, 0, 0, 0) + entry(3, "a", 14, 0, 0, 0) + entry(4, "B ", 16, 0, 0, 0));
}

TEST(NetworkScan, CountIsCutToElevenAndNamesToTheirField) {
    std::vector<AccessPoint> list;
    for (int i = 0; i < 11; ++i) list.push_back({uint8_t(i), 0, 0, 0, "ap" + std::to_string(i)});
    list[0].name = std::string(42, 'N');  // fills its area: no terminator
    HubConfig config = hub_with(list);
    config.network.scan_count = 200;
    Scenario s;
    s.attach(config);
    EXPECT_EQ(s.run({"-rs", "6"}), 0);
    const std::string out = listing(s);
    EXPECT_EQ(out.rfind("Number of access points found 11\n" + entry(0, std::string(42, 'N'), 0, 0, 0, 0), 0), 0u);
    EXPECT_EQ(out.substr(out.size() - entry(10, "ap10", 10, 0, 0, 0).size()), entry(10, "ap10", 10, 0, 0, 0));

    Scenario empty;
    empty.attach(hub_with({}));
    EXPECT_EQ(empty.run({"-rs", "6"}), 0);
    EXPECT_EQ(listing(empty), "Number of access points found 0\n");
}

TEST(NetworkScan, BandAndChannelFromTheArguments) {
    struct Case {
        std::vector<std::string> args;
        std::string label;
        uint32_t band, channel;
    };
    const std::vector<Case> cases = {
        {{"-rs", "6"}, "Dual-band - Channel 6\n", 2, 6},
        {{"-rs", "300", "1"}, "Band 5GHz - Channel 44\n", 1, 44},
        {{"-rs", " 11", "0"}, "Band 2.4GHz - Channel 11\n", 0, 11},
        {{"-rs", "3", "7"}, "Dual-band - Channel 3\n", 7, 3},
    };
    for (const Case& k : cases) {
        Scenario s;
        s.attach();
        EXPECT_EQ(s.run(k.args), 0);
        EXPECT_NE(s.platform.out.find("\n" + k.label + "Scanning: " + k.label), std::string::npos) << k.label;
        EXPECT_EQ(s.texts()[0], "Scanning: " + k.label);
        EXPECT_EQ(s.texts()[1], "Creating object ScanNetworksCommand\n");
        std::vector<uint8_t> request = scenario::request({0x00, 0x19, 0x79, 0x00});
        request[4] = uint8_t(k.band);
        request[8] = uint8_t(k.channel);
        EXPECT_EQ(s.writes().back(), request) << k.label;
    }
}

TEST(NetworkScan, LegacyRequestCarriesBandAndChannelInItsHead) {
    Scenario s;
    s.attach(hub_with({{36, 2, 60, 1, "Five"}, {36, 2, 61, 1, "Five"}}, true));
    EXPECT_EQ(s.run({"-rs", "36", "1"}), 0);
    EXPECT_EQ(s.writes().back(), scenario::request({0xAE, 0x01, 0x79, 0x24}));
    // The reply opens with its count, not the marker, and is taken as it is.
    EXPECT_EQ(listing(s), "Number of access points found 1\n" + entry(0, "Five", 36, 2, 60, 1));
}

TEST(NetworkScan, FailuresPrintNoAccessPointsAndExitZero) {
    Scenario none;  // no HUB attached
    EXPECT_EQ(none.run({"-rs", "6", "0"}), 0);
    EXPECT_EQ(none.platform.out.substr(none.platform.out.find("\nBand")),
              "\nBand 2.4GHz - Channel 6\nScanning: Band 2.4GHz - Channel 6\nCreating object ScanNetworksCommand\n"
              "Number of access points found 0\n");

    const std::vector<std::pair<sim::FaultRule, std::string>> cases = {
        {{-1, 0x00791900, 0, {Fault::EchoByteChanged, 3}}, "differences between messages (tx, rx)\n"},
        {{-1, 0x00791900, 0, {Fault::NoReply}}, "HUB v2.0.0 with no feedback!\n"},
        {{-1, 0x067902AE, 0, {Fault::ShortReply, 0, 513}}, "unexpected amount of bytes\n"},
    };
    for (const auto& [rule, detail] : cases) {
        HubConfig config = hub_with({{1, 1, 1, 1, "A"}}, rule.word == 0x067902AEu);
        config.faults.push_back(rule);
        Scenario s;
        s.attach(config);
        EXPECT_EQ(s.run({"-rs", "6"}), 0);
        EXPECT_EQ(listing(s), "Number of access points found 0\n") << detail;
        const auto texts = s.texts();
        const auto at = std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
            return t.rfind("USB CDC read/write interface: error calling \"ScanNetworksCommand::RunCommand\" at "
                           "src/ScanNetworksCommand:", 0) == 0;
        });
        ASSERT_NE(at, texts.end()) << detail;
        EXPECT_EQ(at[1].substr(at[1].size() - detail.size()), detail);
    }
}

}  // namespace
