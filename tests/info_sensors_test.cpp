#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "scenario.hpp"
#include "src/GetSensorsInformation.hpp"

namespace {

using scenario::Scenario;
using sim::Fault;
using sim::HubConfig;

constexpr int64_t kMs = sim::kTicksPerMs;
const std::string kMismatch = "zel_usb_cdc_interface::read_port(): Warning! Length missmatch ";

int count_of(const Scenario& s, const std::string& text) {
    const auto log = s.log();
    return int(std::count_if(log.begin(), log.end(), [&](const auto& e) { return e.text == text; }));
}

// Runs the command object itself, so the test sees the record it fills. The
// log holds what RunCommand logged, then the closing of the port.
int run_direct(Scenario& s, HubConfig config, SensorsInfo& info) {
    USB_Logger::Discard();
    s.attach(std::move(config));
    zel::set_active_platform(&s.platform);
    int code = -100;
    {
        GetSensorsInformation command;
        command.info = &info;
        EXPECT_EQ(command.Connect(), 0);
        s.platform.appended.clear();
        code = command.RunCommand();
    }
    USB_Logger::Discard();
    return code;
}

// The block the HUB sent, as the model built it.
std::vector<uint8_t> block_of(Scenario& s) { return s.hub().config().info.sensor_block(); }

TEST(InfoSensors, TenSensorsFromA604ByteBlock) {
    Scenario s;
    SensorsInfo info;
    HubConfig c;
    c.info.sensors = sim::InfoArea::default_sensors(10);
    sim::SensorModel& first = c.info.sensors[0];
    first.address = 0x2a;
    first.bootloader_version = 0x01020342;  // 1.2.3-B
    first.fw_version = 0x0401ff41;          // 4.1.255-A
    first.boot_status = 0;
    first.setup_status = 7;
    first.signature = 0xdeadbeef;
    first.calibration_id = 0xc0de;
    first.build_number = 300;
    first.calibration_date = 1730800800;
    c.info.sensors[1].boot_status = 0xE0;
    c.info.sensors[1].setup_status = 0;
    ASSERT_EQ(run_direct(s, c, info), 0);
    ASSERT_EQ(block_of(s).size(), 604u);
    EXPECT_EQ(s.writes().back(), scenario::request({0x00, 0x15, 0x43, 0x00}));

    const auto texts = s.texts();
    ASSERT_GE(texts.size(), 11u);
    EXPECT_EQ(texts[0], kMismatch + "604 == 1250\n");
    EXPECT_EQ(texts[1], "Collected firmware information for 10 sensors\n");
    const std::vector<std::string> first_report(texts.begin() + 2, texts.begin() + 11);
    EXPECT_EQ(first_report, (std::vector<std::string>{
                                "Sensor with addr 0x2a:\n",
                                "    Bootloader version 1.2.3-B\n",
                                "    Boot status failure during last upgrade!\n",
                                "    Firmware version 4.1.255-A\n",
                                "    Signature 0xdeadbeef\n",
                                "    Setup status failure during initialisation!\n",
                                "    Calibration ID 0xc0de\n",
                                "    Build number: dec=300 - hex=0x12c\n",
                                "    Date of calibration: 2024-11-05 10:00 +0000\n",
                            }));
    EXPECT_EQ(texts[12], "    Bootloader version 1.0.0-B\n");
    EXPECT_EQ(texts[13], "    Boot status OK!\n");
    EXPECT_EQ(texts[16], "    Setup status OK!\n");
    EXPECT_EQ(texts.size(), 2u + 10 * 9 + 1);
    EXPECT_EQ(count_of(s, "Sensor with addr 0x19:\n"), 1);  // the tenth

    EXPECT_EQ(info.count, 10);
    EXPECT_EQ(std::memcmp(info.records, block_of(s).data() + 4, 600), 0);
    EXPECT_EQ(info.records[10][0], 0);
}

TEST(InfoSensors, TwentySensorsFromAFullBlockAndTheTailIgnored) {
    Scenario s;
    SensorsInfo info;
    HubConfig c;
    c.info.sensors = sim::InfoArea::default_sensors(21);  // 1264 bytes, cut to one block
    c.info.sensor_block_length = 1250;
    ASSERT_EQ(run_direct(s, c, info), 0);
    EXPECT_EQ(count_of(s, kMismatch + "1250 == 1250\n"), 0);
    EXPECT_EQ(s.texts()[0], "Collected firmware information for 20 sensors\n");
    EXPECT_EQ(count_of(s, "Sensor with addr 0x23:\n"), 1);  // the twentieth
    EXPECT_EQ(count_of(s, "Sensor with addr 0x24:\n"), 0);  // cut by the block
    EXPECT_EQ(info.count, 20);
    EXPECT_EQ(std::memcmp(info.records, block_of(s).data() + 4, 1200), 0);
    EXPECT_EQ(info.records[20][0], 0);
}

TEST(InfoSensors, BlocksTooShortForARecordGiveZeroSensors) {
    for (const int length : {63, 4, 3, 1}) {
        Scenario s;
        SensorsInfo info;
        info.count = -5;
        HubConfig c;
        c.info.sensors = sim::InfoArea::default_sensors(1);
        c.info.sensor_block_length = length;
        ASSERT_EQ(run_direct(s, c, info), 0) << length;
        EXPECT_EQ(s.texts(), (std::vector<std::string>{kMismatch + std::to_string(length) + " == 1250\n",
                                                       "Collected firmware information for 0 sensors\n",
                                                       "Closing com port\n"}))
            << length;
        EXPECT_EQ(info.count, 0) << length;
        EXPECT_TRUE(std::all_of(&info.records[0][0], &info.records[0][0] + sizeof info.records,
                                [](uint8_t b) { return b == 0; }));
    }
}

TEST(InfoSensors, SilentHubGivesSeventyThree) {
    Scenario s;
    SensorsInfo info;
    HubConfig c;
    c.faults.push_back({-1, 0x00431500, 0, {Fault::NoReply}});
    EXPECT_EQ(run_direct(s, c, info), 73);
    const auto texts = s.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], kMismatch + "0 == 1250\n");
    EXPECT_EQ(texts[1].rfind("GetSensorsInformation class: error calling \"GetSensorsInformation::RunCommand\" at "
                             "src/GetSensorsInformation:", 0),
              0u);
    EXPECT_EQ(texts[2], "what(): _read_port() failed - zero bytes received\n");
    EXPECT_TRUE(s.logged("ERROR", texts[2]));
    EXPECT_EQ(info.count, 0);
}

TEST(InfoSensorsDriver, ReportIsLoggedAndNothingElsePrinted) {
    Scenario s;
    s.attach();
    ASSERT_EQ(s.run({"-sinfo"}), 0);
    const auto texts = s.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front(), "Creating object GetSensorsInformation\n");
    EXPECT_EQ(texts.back(), "Closing com port\n");
    EXPECT_EQ(texts[texts.size() - 2], "    Date of calibration: 2024-10-27 12:33 +0000\n");  // sensor 9
    std::string logged;
    for (const auto& t : texts) logged += t;
    EXPECT_EQ(s.platform.out, "torvane_com_device_class version: 2.0.2+45\n" + logged);
    // One empty read of the rest of the block (10 ms per byte + 10 ms) spends the 45 ms budget.
    const auto& trace = s.platform.trace;
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(s.platform.now() - trace.back().time, (10 * (1250 - 604) + 10) * kMs);
}

TEST(InfoSensorsDriver, LegacyHubIsRefusedBeforeAnythingIsSent) {
    sim::HubConfig c;
    c.legacy = true;
    Scenario s;
    s.attach(c);
    EXPECT_EQ(s.run({"-sinfo"}), 71);
    EXPECT_EQ(s.writes().size(), 1u);  // the probe only
    const auto texts = s.texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[texts.size() - 3], "HUB with legacy version\n");
    EXPECT_EQ(texts[texts.size() - 2], "Something went wrong reading Sensors information - error-code 71!!\n");
    EXPECT_TRUE(s.logged("ERROR", texts[texts.size() - 2]));
}

}  // namespace
