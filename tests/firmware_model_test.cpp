// The HUB model's bootloaders catch the mistakes a real one would refuse.
#include <gtest/gtest.h>

#include "firmware_support.hpp"

namespace {

using fwtest::Buffer;
using sim::HubModel;
using sim::Kind;

constexpr int64_t kMs = sim::kTicksPerMs;

const sim::FirmwareArea& area(const HubModel& hub) { return hub.config().firmware; }

Buffer start_trigger(uint32_t length) {
    Buffer b;
    b.form('9', 1).at(8, length);
    return b;
}

TEST(FirmwareModel, AtmelBootloaderChecksOrderTimingAndLengths) {
    HubModel hub(fwtest::hub(Kind::TorvaneAtmel));
    hub.set_mode(sim::Mode::Bootloader);
    Buffer chunk;
    chunk.form('6', 0).at(4, 512);
    hub.host_write(0, chunk.b);
    ASSERT_EQ(area(hub).violations.size(), 1u);
    EXPECT_EQ(area(hub).violations[0], "HUB bootloader: chunk without a transfer in progress");

    hub.host_write(10 * kMs, start_trigger(600).b);
    hub.host_write(1000 * kMs, chunk.b);  // still erasing
    EXPECT_EQ(area(hub).violations.back(), "HUB bootloader: chunk 990 ms after the start trigger, while still erasing");
    hub.host_write(4000 * kMs, chunk.at(4, 100).b);  // 88 were due
    EXPECT_EQ(area(hub).violations.back(), "HUB bootloader: chunk 1 declared 100 bytes where 88 were due");
    EXPECT_TRUE(area(hub).hub_parts.back().complete);
    hub.host_write(5000 * kMs, Buffer{}.word(0x00720100).b);
    EXPECT_EQ(area(hub).violations.back(), "HUB bootloader (Atmel): request 0x00720100 without the 0xAE marker");
    EXPECT_EQ(area(hub).violations.size(), 4u);
}

TEST(FirmwareModel, FinalTriggerBeforeTheImageIsComplete) {
    HubModel hub(fwtest::hub(Kind::TorvaneST));
    hub.set_mode(sim::Mode::Bootloader);
    hub.host_write(0, Buffer{}.word(0x00710100).at(4, 2).at(8, 1000).b);  // the first part needs selector 1
    hub.host_write(6000 * kMs, Buffer{}.word(0x00730100).b);
    const auto& v = area(hub).violations;
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], "HUB bootloader (ST): start trigger 0x00710100 for part 0 with selector 2");
    EXPECT_EQ(v[1], "HUB bootloader: final trigger before a complete image");
    EXPECT_EQ(area(hub).final_triggers, 1);
}

TEST(FirmwareModel, FramingOfTheHubAndTheSensors) {
    // A current HUB ignores the legacy upgrade request, and the other way round.
    HubModel current(fwtest::hub(Kind::TorvaneAtmel));
    current.host_write(0, scenario::request({0xAE, 0x00, 0x47, 0x00}));
    EXPECT_EQ(area(current).violations.back(), "current HUB: upgrade request in the legacy framing");
    EXPECT_EQ(current.generation(), 0);  // it did not restart
    // Sensor requests must come forwarded through a current HUB ...
    current.host_write(kMs, scenario::request({0x00, 0x15, 0x48, 0x00}));
    current.host_write(3000 * kMs, start_trigger(10).b);
    EXPECT_EQ(area(current).violations.back(), "current HUB: sensor request code 0x39 without the forwarding header");
    EXPECT_TRUE(area(current).sensor_parts.empty());
    // ... and in time: the sensors need 2000 ms to enter their bootloader.
    current.host_write(3500 * kMs, scenario::request({0x00, 0x15, 0x48, 0x00}));
    current.host_write(4000 * kMs, start_trigger(10).forwarded());
    EXPECT_EQ(area(current).violations.back(), "sensor bootloader: code 0x39 1498 ms before the sensors were ready");
    EXPECT_EQ(area(current).sensor_parts.size(), 1u);

    HubModel legacy(fwtest::hub(Kind::TorvaneAtmel, true));
    legacy.host_write(0, scenario::request({0x00, 0x1A, 0x47, 0x00}));
    EXPECT_EQ(area(legacy).violations.back(), "legacy HUB: upgrade request in the current framing");
    legacy.host_write(kMs, start_trigger(10).forwarded());
    EXPECT_EQ(area(legacy).violations.back(), "legacy HUB: forwarded sensor request");
}

TEST(FirmwareModel, ScenarioKeys) {
    sim::FirmwareArea a;
    EXPECT_TRUE(sim::configure_firmware(a, "firmware.sensors", "3"));
    EXPECT_TRUE(sim::configure_firmware(a, "firmware.sensor.2.status", "0xE3"));
    EXPECT_TRUE(sim::configure_firmware(a, "firmware.sensors_in_boot", "2"));
    EXPECT_TRUE(sim::configure_firmware(a, "firmware.boot_message", "ok\\r\\n\\x41"));
    EXPECT_TRUE(sim::configure_firmware(a, "firmware.fw_signature", "0x1234"));
    EXPECT_FALSE(sim::configure_firmware(a, "firmware.sensor.3.status", "1"));  // no such sensor
    EXPECT_FALSE(sim::configure_firmware(a, "firmware.sensors", "65"));
    EXPECT_FALSE(sim::configure_firmware(a, "firmware.st_parts", "two"));
    EXPECT_FALSE(sim::configure_firmware(a, "info.serial", "X"));
    ASSERT_EQ(a.sensors.size(), 3u);
    EXPECT_EQ(a.sensors[2].status, 0xE3);
    EXPECT_TRUE(a.sensors[1].in_boot);
    EXPECT_FALSE(a.sensors[2].in_boot);
    EXPECT_EQ(a.boot_message, "ok\r\nA");
    EXPECT_EQ(a.fw_signature, 0x1234u);
}

}  // namespace
