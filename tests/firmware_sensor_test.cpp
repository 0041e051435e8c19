// Sensor firmware upgrade (-s, -sb) through the HUB, in virtual time.
#include <gtest/gtest.h>

#include "firmware_support.hpp"

namespace {

using fwtest::Buffer;
using fwtest::has_prefix;
using fwtest::hub;
using fwtest::sleeps_ms;
using fwtest::slice;
using fwtest::TempDir;
using fwtest::writes_from;
using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::Kind;

constexpr int64_t kMs = sim::kTicksPerMs;

fwtest::SinglePart sensor_image() {
    fwtest::SinglePart img;
    img.target = 'S';
    img.length = 1300;  // 512, 512, 276
    return img;
}

std::string running_line(int i, uint32_t signature) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "Sensor with addr 0x%x is running OK ... Calibration status 0x%x signature 0x%x - version 1.5.0-B\n",
                  0x10 + i, 0x0C000000 | i, signature);
    return line;
}

int count_of(const std::vector<std::string>& texts, const std::string& prefix) {
    return int(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return has_prefix(t, prefix); }));
}

void expect_sensor_transfer(const sim::FirmwareArea& area, const fwtest::SinglePart& img,
                            const std::vector<uint8_t>& file) {
    ASSERT_EQ(area.sensor_parts.size(), 1u);
    const sim::ReceivedPart& part = area.sensor_parts[0];
    EXPECT_TRUE(part.complete);
    EXPECT_EQ(part.fw_signature, img.fw_signature);
    EXPECT_EQ(part.first_block, slice(file, img.first_block(), 512));
    EXPECT_EQ(part.data, slice(file, img.data(), img.length));
    EXPECT_EQ(part.chunk_lengths, (std::vector<uint32_t>{512, 512, 276}));
    EXPECT_TRUE(area.violations.empty()) << area.violations.front();
    EXPECT_EQ(area.hub_upgrade_requests, 0);
}

TEST(FirmwareSensors, ThroughACurrentAtmelHubForwarded) {
    TempDir dir;
    const fwtest::SinglePart img = sensor_image();
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel));
    ASSERT_EQ(s.run({"-s", dir.write("s.tfs", file)}), 0);

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
    EXPECT_EQ(sleeps_ms(s), (std::vector<int64_t>{1000, 2000, 3000, 10000, 2000}));

    const auto texts = s.texts();
    const int at = s.find("Number of sensors in boot 17\n");
    ASSERT_GE(at, 0);
    EXPECT_EQ(count_of(texts, "Sensor with addr"), 17);
    EXPECT_EQ(texts[texts.size() - 18], running_line(0, img.fw_signature));
    EXPECT_EQ(texts[texts.size() - 2], running_line(16, img.fw_signature));
    EXPECT_EQ(texts.back(), "Closing com port\n");
}

TEST(FirmwareSensors, SensorCountOnTheSTTorvane) {
    for (int sensors : {17, 18, 19}) {
        SCOPED_TRACE(sensors);
        TempDir dir;
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneST);
        config.firmware.sensors = sim::FirmwareArea::default_sensors(sensors);
        s.attach(config);
        const int code = s.run({"-s", dir.write("s.tfs", sensor_image().bytes())});
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
        EXPECT_EQ(count_of(s.texts(), "Sensor with addr"), sensors);
    }
}

TEST(FirmwareSensors, FromBootRefusedWhileSensorsStillRun) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneST);
    for (size_t i = 2; i < config.firmware.sensors.size(); ++i) config.firmware.sensors[i].in_boot = true;
    s.attach(config);
    EXPECT_EQ(s.run({"-sb", dir.write("s.tfs", sensor_image().bytes())}), 37);
    EXPECT_TRUE(s.logged("ERROR", "PerformFWUpgrade::_checkSensorsConnected: At least 2 sensors not in bootloader!\n"));
    EXPECT_EQ(s.writes().size(), 2u);
}

sim::HubConfig all_in_boot(Kind kind, bool legacy = false) {
    sim::HubConfig config = hub(kind, legacy);
    for (sim::UpgradeSensor& sensor : config.firmware.sensors) sensor.in_boot = true;
    return config;
}

TEST(FirmwareSensors, FromBootThroughCurrentHubsStartsWithTheForwardedBootTrigger) {
    for (Kind kind : {Kind::TorvaneST, Kind::TorvaneAtmel}) {
        TempDir dir;
        const fwtest::SinglePart img = sensor_image();
        const std::vector<uint8_t> file = img.bytes();
        Scenario s;
        s.attach(all_in_boot(kind));
        ASSERT_EQ(s.run({"-sb", dir.write("s.tfs", file)}), 0);
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
        EXPECT_EQ(sleeps_ms(s), (std::vector<int64_t>{1000, 1000, 3000, 10000, 2000}));
        EXPECT_EQ(count_of(s.texts(), "Sensor with addr"), 17);
    }
}

TEST(FirmwareSensors, FromBootThroughALegacyHub) {
    TempDir dir;
    const fwtest::SinglePart img = sensor_image();
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    s.attach(all_in_boot(Kind::TorvaneAtmel, true));
    ASSERT_EQ(s.run({"-sb", dir.write("s.tfs", file)}), 0);
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
    EXPECT_EQ(sleeps_ms(s), (std::vector<int64_t>{1000, 5000, 1000, 1000, 3000, 10000, 8000}));
}

TEST(FirmwareSensors, SensorUpgradeRequestThroughALegacyHub) {
    TempDir dir;
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel, true));
    ASSERT_EQ(s.run({"-s", dir.write("s.tfs", sensor_image().bytes())}), 0);
    EXPECT_EQ(s.writes()[1], scenario::request({0xAE, 0x00, 0x48, 0x00}));
    EXPECT_TRUE(s.hub().config().firmware.violations.empty());
}

// --- auto addressing ----------------------------------------------------------------

TEST(FirmwareSensors, AutoAddressingReportsEachStatus) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneAtmel);
    config.firmware.sensors = sim::FirmwareArea::default_sensors(3);
    config.firmware.sensors[1].status = 0xE3;
    config.firmware.sensors[1].code = 0x05;
    config.firmware.sensors[2].status = 0x41;
    config.firmware.sensors[2].code = 0x07;
    s.attach(config);
    ASSERT_EQ(s.run({"-s", dir.write("s.tfs", sensor_image().bytes())}), 0);
    const auto texts = s.texts();
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts[texts.size() - 5], "Number of sensors in boot 3\n");
    EXPECT_EQ(texts[texts.size() - 4], running_line(0, 0xF1F2F3F4));
    EXPECT_EQ(texts[texts.size() - 3], "Sensor with addr 0x11 will be reset with status 0x5... It will remain on boot\n");
    EXPECT_EQ(texts[texts.size() - 2],
              "Sensor with addr 0x12 upgrade failed with code 0x7... Calibration status 0xc000002 signature 0x5e000002 "
              "- version 1.5.0-B\n");
}

TEST(FirmwareSensors, AutoAddressingCounts) {
    struct Case {
        int count;
        int result;
        int lines;
    };
    for (const Case& c : {Case{0, 0, 0}, Case{33, 0, 33}, Case{34, 34, 0}, Case{255, 34, 0}}) {
        SCOPED_TRACE(c.count);
        TempDir dir;
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        config.firmware.addressing_count = c.count;
        s.attach(config);
        EXPECT_EQ(s.run({"-s", dir.write("s.tfs", sensor_image().bytes())}), c.result);
        EXPECT_TRUE(s.logged("INFO", "Number of sensors in boot " + std::to_string(c.count) + "\n"));
        EXPECT_EQ(count_of(s.texts(), "Sensor with addr"), c.lines);
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

TEST(FirmwareSensors, AutoAddressingReplyLimit) {
    for (bool arrives : {true, false}) {
        TempDir dir;
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        FaultRule rule;
        rule.word = 0x00511500;
        rule.fault.type = arrives ? Fault::LateReply : Fault::NoReply;
        rule.fault.delay_ms = 11000;  // within the limit, counted by the silent reads
        config.faults.push_back(rule);
        s.attach(config);
        const int code = s.run({"-s", dir.write("s.tfs", sensor_image().bytes())});
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
}

// --- a failure at every step ----------------------------------------------------------

TEST(FirmwareSensorFailure, EveryStepOfAnSTUpgrade) {
    struct Step {
        std::string name;
        uint32_t word;
        int occurrence;
        Fault::Type type;
        bool from_boot;
        int result;
        std::string operation;
        std::string second_line;
    };
    const std::string no_echo = "what(): read() failed - unexpected amount of bytes\n";
    const std::string no_reply = "what(): read() failed - HUB v2.0.0 with no feedback!\n";
    const std::vector<Step> steps = {
        {"count request", 0x00191500, 0, Fault::NoEcho, false, 37, "PerformFWUpgrade::_checkSensorsConnected", no_echo},
        {"count reply", 0x00191500, 0, Fault::NoReply, false, 37, "PerformFWUpgrade::_checkSensorsConnected", no_reply},
        {"upgrade request", 0x00481500, 0, Fault::NoEcho, false, 31,
         "PerformFWUpgrade::_upgrade_atmel in _requestSensorsUpgrade()", no_echo},
        {"start trigger", 0x00171500, 0, Fault::NoEcho, false, 28, "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()",
         no_echo},
        {"last chunk", 0x00171500, 3, Fault::EchoByteChanged, false, 30,
         "PerformFWUpgrade::_upgrade_atmel in _sendFirmware()",
         "what(): write/read failed - differences between messages (tx, rx)\n"},
        {"auto addressing request", 0x00511500, 0, Fault::NoEcho, false, 34, "PerformFWUpgrade::_performAutoAddressing",
         no_echo},
        {"auto addressing reply", 0x00511500, 0, Fault::NoReply, false, 34, "PerformFWUpgrade::_performAutoAddressing",
         no_reply},
        {"boot trigger", 0x00171500, 0, Fault::NoEcho, true, 35, "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()",
         no_echo},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        TempDir dir;
        Scenario s;
        sim::HubConfig config = step.from_boot ? all_in_boot(Kind::TorvaneST) : hub(Kind::TorvaneST);
        FaultRule rule;
        rule.word = step.word;
        rule.occurrence = step.occurrence;
        rule.fault.type = step.type;
        rule.fault.index = 300;
        config.faults.push_back(rule);
        s.attach(config);
        EXPECT_EQ(s.run({step.from_boot ? "-sb" : "-s", dir.write("s.tfs", sensor_image().bytes())}), step.result);
        const auto log = s.log();
        const size_t n = log.size();
        ASSERT_GE(n, 4u);
        EXPECT_TRUE(has_prefix(log[n - 4].text, "USB CDC read/write interface: error calling \"" + step.operation +
                                                    "\" at src/PerformFWUpgrade:"))
            << log[n - 4].text;
        EXPECT_EQ(log[n - 3].text, step.second_line);
        EXPECT_EQ(log[n - 2].text,
                  "Something went wrong with Sensors firmware-upgrade - error-code " + std::to_string(step.result) + "!!\n");
        EXPECT_EQ(count_of(s.texts(), "Sensor with addr"), 0);
    }
}

TEST(FirmwareSensorFailure, EntriesThatDoNotAllArrive) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneST);
    config.firmware.entries_cut = 1;
    s.attach(config);
    EXPECT_EQ(s.run({"-s", dir.write("s.tfs", sensor_image().bytes())}), 34);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 1019 == 1020\n"));
    EXPECT_TRUE(s.logged("ERROR", "what(): read() failed - HUB v2.0.0 with no feedback!\n"));
    EXPECT_EQ(count_of(s.texts(), "Sensor with addr"), 0);
}

TEST(FirmwareSensorFailure, LegacyHubThatDoesNotComeBack) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = all_in_boot(Kind::TorvaneAtmel, true);
    config.refuse_opens_after_restart = 100;
    s.attach(config);
    EXPECT_EQ(s.run({"-sb", dir.write("s.tfs", sensor_image().bytes())}), 31);
    const auto log = s.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const scenario::LogEntry& e) {
        return has_prefix(e.text, "USB CDC read/write interface: error calling "
                                  "\"PerformFWUpgrade::_upgrade_atmel in _requestHUBBootMsg()\"");
    }));
    EXPECT_TRUE(s.logged("ERROR", "what(): Virtual serial port not connected \n"));
}

TEST(FirmwareSensorRefusal, HubImagesAndBadSensorImages) {
    std::vector<std::vector<uint8_t>> files;
    fwtest::SinglePart hub_image;
    files.push_back(hub_image.bytes());
    fwtest::SinglePart bad = sensor_image();
    std::vector<uint8_t> f = bad.bytes();
    fwtest::put32(f, 40 + 12, 0xFFFFFFFF);
    files.push_back(f);
    for (const auto& file : files) {
        TempDir dir;
        Scenario s;
        s.attach(hub(Kind::TorvaneST));
        EXPECT_EQ(s.run({"-s", dir.write("s.tfs", file)}), 25);
        EXPECT_TRUE(s.logged("ERROR", "PerformFWUpgrade::_upgrade_atmel: No valid file provided!\n"));
        EXPECT_EQ(s.writes().size(), 1u);  // the probe only: not even the sensor count
    }
}

}  // namespace
