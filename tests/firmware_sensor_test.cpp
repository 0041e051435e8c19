// Sensor firmware upgrade (-s, -sb) through the HUB, in virtual time.
#include <gtest/gtest.h>

#include "firmware_support.hpp"

namespace {

using fwtest::Buffer;
using fwtest::hub;
using fwtest::sensor_image;
using fwtest::slice;
using fwtest::TempDir;
using fwtest::writes_from;
using scenario::count_prefix;
using scenario::kMs;
using scenario::Scenario;
using sim::Fault;
using sim::Kind;

// `option` with `file` on a HUB set up by `config`.
int upgrade(Scenario& s, const sim::HubConfig& config, const std::string& option = "-s",
            const std::vector<uint8_t>& file = sensor_image().bytes()) {
    TempDir dir;
    s.attach(config);
    return s.run({option, dir.write("s.tfs", file)});
}

std::string running_line(int i, uint32_t signature) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "Sensor with addr 0x%x is running OK ... Calibration status 0x%x signature 0x%x - version 1.5.0-B\n",
                  0x10 + i, 0x0C000000 | i, signature);
    return line;
}

void expect_sensor_transfer(const sim::FirmwareArea& area, const fwtest::SinglePart& img,
                            const std::vector<uint8_t>& file) {
    fwtest::expect_single_part(area.sensor_parts, img, file);
    ASSERT_EQ(area.sensor_parts.size(), 1u);
    EXPECT_EQ(area.sensor_parts[0].chunk_lengths, (std::vector<uint32_t>{512, 512, 276}));
    EXPECT_TRUE(area.violations.empty()) << area.violations.front();
    EXPECT_EQ(area.hub_upgrade_requests, 0);
}

sim::HubConfig all_in_boot(Kind kind, bool legacy = false) {
    sim::HubConfig config = hub(kind, legacy);
    for (sim::UpgradeSensor& sensor : config.firmware.sensors) sensor.in_boot = true;
    return config;
}

TEST(FirmwareSensors, ThroughACurrentAtmelHubForwarded) {
    const fwtest::SinglePart img = sensor_image();
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    ASSERT_EQ(upgrade(s, hub(Kind::TorvaneAtmel), "-s", file), 0);

    const auto w = s.writes();
    ASSERT_EQ(w.size(), 1 + 1 + 1 + 3 + 1u);
    EXPECT_EQ(w[1], scenario::request({0x00, 0x15, 0x48, 0x00}));
    Buffer b;
    b.word(0x00481500).form('9', 1).at(8, img.length).at(12, img.data_signature).at(16, img.fw_signature);
    b.at(20, img.image_word).block(file, img.first_block());
    EXPECT_EQ(w[2], b.forwarded());  // 540 bytes: 00 15 17 00, then AE 15 39 01
    EXPECT_EQ(slice(w[2], 0, 8), (std::vector<uint8_t>{0x00, 0x15, 0x17, 0x00, 0xAE, 0x15, 0x39, 0x01}));
    const uint32_t declared[] = {512, 512, 276};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(w[3 + k], b.form('6', 0).at(4, declared[k]).block(file, img.data() + 512 * k).forwarded()) << k;
    }
    EXPECT_EQ(w[6], b.word(0x00511500).b);  // auto addressing: 536 bytes, never forwarded

    const sim::FirmwareArea& area = s.hub().config().firmware;
    expect_sensor_transfer(area, img, file);
    EXPECT_EQ(area.sensor_count_requests, 0);  // only asked on the ST-based Torvane
    EXPECT_EQ(area.forwarded, 4);
    EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 2000, 3000, 10000, 2000}));

    const auto texts = s.texts();
    ASSERT_GE(s.find("Number of sensors in boot 17\n"), 0);
    EXPECT_EQ(count_prefix(texts, "Sensor with addr"), 17);
    EXPECT_EQ(texts[texts.size() - 18], running_line(0, img.fw_signature));
    EXPECT_EQ(texts[texts.size() - 2], running_line(16, img.fw_signature));
    EXPECT_EQ(texts.back(), "Closing com port\n");
}

TEST(FirmwareSensors, SensorCountOnTheSTTorvane) {
    for (int sensors : {17, 18, 19}) {
        SCOPED_TRACE(sensors);
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneST);
        config.firmware.sensors = sim::FirmwareArea::default_sensors(sensors);
        const int code = upgrade(s, config);
        const auto w = s.writes();
        ASSERT_GE(w.size(), 2u);
        EXPECT_EQ(w[1], scenario::request({0x00, 0x15, 0x19, 0x00}));
        if (sensors == 18) {
            EXPECT_EQ(code, 37);
            EXPECT_TRUE(s.logged("ERROR", "PerformFWUpgrade::_checkSensorsConnected: 18 sensors found! Some sensors missing.\n"));
            EXPECT_TRUE(s.logged("ERROR", "Something went wrong with Sensors firmware-upgrade - error-code 37!!\n"));
            EXPECT_EQ(w.size(), 2u);  // nothing after the count
            continue;
        }
        EXPECT_EQ(code, 0);
        // The count request left 0x15 in byte 1; the upgrade request writes it again.
        EXPECT_EQ(slice(w[3], 0, 8), (std::vector<uint8_t>{0x00, 0x15, 0x17, 0x00, 0xAE, 0x15, 0x39, 0x01}));
        EXPECT_EQ(count_prefix(s.texts(), "Sensor with addr"), sensors);
    }

    Scenario s;  // -sb with 2 sensors still running
    sim::HubConfig config = hub(Kind::TorvaneST);
    for (size_t i = 2; i < config.firmware.sensors.size(); ++i) config.firmware.sensors[i].in_boot = true;
    EXPECT_EQ(upgrade(s, config, "-sb"), 37);
    EXPECT_TRUE(s.logged("ERROR", "PerformFWUpgrade::_checkSensorsConnected: At least 2 sensors not in bootloader!\n"));
    EXPECT_EQ(s.writes().size(), 2u);
}

TEST(FirmwareSensors, FromBootThroughCurrentHubsStartsWithTheForwardedBootTrigger) {
    for (Kind kind : {Kind::TorvaneST, Kind::TorvaneAtmel}) {
        const fwtest::SinglePart img = sensor_image();
        const std::vector<uint8_t> file = img.bytes();
        Scenario s;
        ASSERT_EQ(upgrade(s, all_in_boot(kind), "-sb", file), 0);
        // ST: probe, count, boot trigger ...; Atmel: probe, boot trigger ...
        const auto w = writes_from(s, kind == Kind::TorvaneST ? 2 : 1);
        const uint8_t byte1 = kind == Kind::TorvaneST ? 0x15 : 0x00;
        Buffer b;
        b.b[1] = byte1;
        EXPECT_EQ(w[0], b.form('9', 0).forwarded());
        EXPECT_EQ(slice(w[1], 4, 4), (std::vector<uint8_t>{0xAE, byte1, 0x39, 0x01}));
        const sim::FirmwareArea& area = s.hub().config().firmware;
        expect_sensor_transfer(area, img, file);
        EXPECT_EQ(area.sensor_boot_triggers, 1);
        EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 1000, 3000, 10000, 2000}));
        EXPECT_EQ(count_prefix(s.texts(), "Sensor with addr"), 17);
    }
}

TEST(FirmwareSensors, ThroughALegacyHub) {
    const fwtest::SinglePart img = sensor_image();
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    ASSERT_EQ(upgrade(s, all_in_boot(Kind::TorvaneAtmel, true), "-sb", file), 0);
    const auto w = s.writes();
    ASSERT_EQ(w.size(), 1 + 1 + 1 + 1 + 3 + 1u);
    EXPECT_EQ(w[1], scenario::request({0xAE, 0x00, 0x70, 0x00}));  // with the reconnect
    Buffer b;
    EXPECT_EQ(w[2], b.form('9', 0).b);  // 536 bytes, not forwarded
    b.form('9', 1).at(8, img.length).at(12, img.data_signature).at(16, img.fw_signature).at(20, img.image_word);
    EXPECT_EQ(w[3], b.block(file, img.first_block()).b);
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(w[4 + k].size(), 536u);
    EXPECT_EQ(w[7], b.form('6', 0).at(4, 276).block(file, img.data() + 1024).form('Q', 0).b);
    const sim::FirmwareArea& area = s.hub().config().firmware;
    expect_sensor_transfer(area, img, file);
    EXPECT_EQ(area.hub_boot_msg_requests, 1);
    EXPECT_EQ(area.unforwarded, 5);
    EXPECT_EQ(area.forwarded, 0);
    // The reconnect (5000, reopen 1000), 1000 after the boot trigger, and 8000 before the entries.
    EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 5000, 1000, 1000, 3000, 10000, 8000}));

    Scenario t;  // -s: the upgrade request in the legacy form
    ASSERT_EQ(upgrade(t, hub(Kind::TorvaneAtmel, true)), 0);
    EXPECT_EQ(t.writes()[1], scenario::request({0xAE, 0x00, 0x48, 0x00}));
    EXPECT_TRUE(t.hub().config().firmware.violations.empty());
}

// --- auto addressing ----------------------------------------------------------------

TEST(FirmwareSensors, AutoAddressingReportsEachStatus) {
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneAtmel);
    config.firmware.sensors = sim::FirmwareArea::default_sensors(3);
    config.firmware.sensors[1].status = 0xE3;
    config.firmware.sensors[1].code = 0x05;
    config.firmware.sensors[2].status = 0x41;
    config.firmware.sensors[2].code = 0x07;
    ASSERT_EQ(upgrade(s, config), 0);
    const auto texts = s.texts();
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 5, texts.end() - 1),
              (std::vector<std::string>{"Number of sensors in boot 3\n", running_line(0, 0xF1F2F3F4),
                                        "Sensor with addr 0x11 will be reset with status 0x5... It will remain on boot\n",
                                        "Sensor with addr 0x12 upgrade failed with code 0x7... Calibration status "
                                        "0xc000002 signature 0x5e000002 - version 1.5.0-B\n"}));
}

TEST(FirmwareSensors, AutoAddressingCounts) {
    struct Case {
        int count, result, lines;
    };
    for (const Case& c : {Case{0, 0, 0}, Case{33, 0, 33}, Case{34, 34, 0}, Case{255, 34, 0}}) {
        SCOPED_TRACE(c.count);
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        config.firmware.addressing_count = c.count;
        EXPECT_EQ(upgrade(s, config), c.result);
        EXPECT_TRUE(s.logged("INFO", "Number of sensors in boot " + std::to_string(c.count) + "\n"));
        EXPECT_EQ(count_prefix(s.texts(), "Sensor with addr"), c.lines);
        // The last thing read is the auto-addressing reply unless entries were due.
        const auto& trace = s.platform.trace;
        const auto last_read = std::find_if(trace.rbegin(), trace.rend(), [](const sim::TraceEntry& e) { return !e.to_hub; });
        ASSERT_NE(last_read, trace.rend());
        EXPECT_EQ(last_read->bytes.size(), c.count == 33 ? 33 * 60u : 536u);
        if (c.result != 0) {
            EXPECT_TRUE(s.logged("ERROR", "PerformFWUpgrade::_performAutoAddressing: " + std::to_string(c.count) +
                                              " sensors reported, at most 33 can be received!\n"));
            EXPECT_TRUE(s.logged("ERROR", "Something went wrong with Sensors firmware-upgrade - error-code 34!!\n"));
        }
    }
}

TEST(FirmwareSensors, AutoAddressingReplyLimitAndEntriesThatDoNotAllArrive) {
    for (bool arrives : {true, false}) {
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        // 11 s: within the limit, counted by the silent reads.
        config.faults.push_back(scenario::on_word(0x00511500, {arrives ? Fault::LateReply : Fault::NoReply, 0, 0, 0, 11000}));
        const int code = upgrade(s, config);
        if (arrives) {
            EXPECT_EQ(code, 0);
            continue;
        }
        EXPECT_EQ(code, 34);
        EXPECT_TRUE(s.logged("ERROR", "what(): read() failed - HUB v2.0.0 with no feedback!\n"));
        // Two silent reads of 536 bytes leave 1260 of the 12000 ms; a third
        // one runs its full 5370 ms.
        EXPECT_EQ(s.platform.now() - s.platform.trace.back().time, 16110 * kMs);
    }

    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneST);
    config.firmware.entries_cut = 1;
    EXPECT_EQ(upgrade(s, config), 34);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 1019 == 1020\n"));
    EXPECT_TRUE(s.logged("ERROR", "what(): read() failed - HUB v2.0.0 with no feedback!\n"));
    EXPECT_EQ(count_prefix(s.texts(), "Sensor with addr"), 0);
}

TEST(FirmwareSensorRefusal, HubImagesAndBadSensorImages) {
    std::vector<uint8_t> bad = sensor_image().bytes();
    fwtest::put32(bad, 40 + 12, 0xFFFFFFFF);
    for (const auto& file : {fwtest::SinglePart{}.bytes(), bad}) {
        Scenario s;
        EXPECT_EQ(upgrade(s, hub(Kind::TorvaneST), "-s", file), 25);
        EXPECT_TRUE(s.logged("ERROR", "PerformFWUpgrade::_upgrade_atmel: No valid file provided!\n"));
        EXPECT_EQ(s.writes().size(), 1u);  // the probe only: not even the sensor count
    }
}

}  // namespace
