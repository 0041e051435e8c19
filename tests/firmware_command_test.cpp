// PerformFWUpgrade driven directly: the modes the driver never selects.
#include <gtest/gtest.h>

#include "firmware_support.hpp"
#include "src/PerformFWUpgrade.hpp"

namespace {

using fwtest::Buffer;
using fwtest::hub;
using sim::Kind;

class FirmwareCommand : public ::testing::Test {
protected:
    void SetUp() override { USB_Logger::Discard(); }
    void TearDown() override {
        command.reset();
        USB_Logger::Discard();
    }
    PerformFWUpgrade& connect(sim::HubConfig config) {
        s.attach(std::move(config));
        zel::set_active_platform(&s.platform);
        command = std::make_unique<PerformFWUpgrade>();
        command->hub_info = &hub_info;
        command->sensors_info = &sensors_info;
        command->valid = true;
        EXPECT_EQ(command->Connect(), 0);
        return *command;
    }

    scenario::Scenario s;
    HUBUpgradeInfo hub_info;
    SensorsUpgradeInfo sensors_info;
    std::unique_ptr<PerformFWUpgrade> command;
};

TEST_F(FirmwareCommand, RunInstalledHubFirmwareOnAnAtmelBootloader) {
    PerformFWUpgrade& c = connect(hub(Kind::TorvaneAtmel));
    s.hub().set_mode(sim::Mode::Bootloader);  // a HUB left in its bootloader
    c.hub_upgrade = true;
    c.run_existing_fw = true;
    EXPECT_EQ(c.RunCommand(), 0);
    Buffer b;
    EXPECT_EQ(fwtest::writes_from(s, 1), (std::vector<std::vector<uint8_t>>{b.form('9', 0).b, b.form('7', 0).b, b.form('9', 0).b}));
    EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 2000}));
    EXPECT_EQ(hub_info.status, 0xE0);
    EXPECT_EQ(hub_info.bootloader_version, 0x01020042u);
    EXPECT_TRUE(s.logged("INFO", "HUB-boot message: HUB bootloader: image written, checksum OK\r\n"));
    EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);
    EXPECT_TRUE(s.hub().config().firmware.violations.empty());
}

TEST_F(FirmwareCommand, RunInstalledHubFirmwareOnAnSTBootloader) {
    PerformFWUpgrade& c = connect(hub(Kind::TorvaneST));
    s.hub().set_mode(sim::Mode::Bootloader);
    c.hub_upgrade = true;
    c.run_existing_fw = true;
    EXPECT_EQ(c.RunCommand(), 0);
    Buffer b;
    EXPECT_EQ(fwtest::writes_from(s, 1), (std::vector<std::vector<uint8_t>>{
                                             b.word(0x00710100).at(4, 0).b, b.word(0x00740100).b, b.word(0x00710100).b}));
    EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);
}

TEST_F(FirmwareCommand, RunInstalledSensorFirmwareThroughACurrentHub) {
    sim::HubConfig config = hub(Kind::TorvaneST);
    for (sim::UpgradeSensor& sensor : config.firmware.sensors) sensor.in_boot = true;
    PerformFWUpgrade& c = connect(config);
    c.run_existing_fw = true;
    EXPECT_EQ(c.RunCommand(), 0);
    const auto w = fwtest::writes_from(s, 1);
    ASSERT_EQ(w.size(), 3u);
    Buffer b;
    EXPECT_EQ(w[0], b.form('9', 0).forwarded());
    EXPECT_EQ(w[1], w[0]);
    EXPECT_EQ(w[2], b.word(0x00511500).b);
    EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 1000, 5000, 2000}));
    EXPECT_FALSE(c.sensors_in_boot);
    // No image came: every sensor will be reset and stays in its bootloader.
    EXPECT_EQ(sensors_info.count, 17);
    EXPECT_EQ(sensors_info.status[16], 0xE3);
    EXPECT_EQ(s.hub().config().firmware.sensor_boot_triggers, 2);
    EXPECT_TRUE(s.hub().config().firmware.violations.empty());
}

TEST_F(FirmwareCommand, RefusalsWithoutAnyExchange) {
    PerformFWUpgrade& c = connect(hub(Kind::Quillet));
    c.hub_upgrade = true;
    c.run_existing_fw = true;
    EXPECT_EQ(c.RunCommand(), 36);
    c.run_existing_fw = false;
    c.valid = false;
    EXPECT_EQ(c.RunCommand(), 24);
    c.hub_upgrade = false;
    EXPECT_EQ(c.RunCommand(), 24);
    EXPECT_TRUE(s.writes().empty());  // a Quillet is not even probed
}

}  // namespace
