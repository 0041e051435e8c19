// Firmware upgrades against the HUB model's bootloaders: the requests byte
// for byte, what the bootloaders received, the reports, and the images
// refused before anything is sent.
#include <nlohmann/json.hpp>

#include "tests/support.hpp"

namespace {

using t::Bench;
using t::Bytes;
using t::Fault;
using t::Kind;

// The request buffer as the tool must keep it: each request writes only
// its own bytes over what the previous ones left.
struct Buffer {
    Bytes b = Bytes(536, 0);
    Bytes form(uint8_t marker_byte1, uint8_t code, uint8_t parameter) {
        return word(0xAE | marker_byte1 << 8 | code << 16 | uint32_t(parameter) << 24);
    }
    Bytes word(uint32_t w) {
        t::put32(b, 0, w);
        return b;
    }
    void header(uint32_t length, uint32_t data_signature, uint32_t fw_signature, uint32_t image_word) {
        for (const auto& [at, v] :
             {std::pair{8u, length}, {12u, data_signature}, {16u, fw_signature}, {20u, image_word}}) {
            t::put32(b, at, v);
        }
    }
    void block(const Bytes& file, size_t from, uint32_t declared) {
        t::put32(b, 4, declared);
        for (size_t i = 0; i < 512; ++i) b[24 + i] = from + i < file.size() ? file[from + i] : 0;
    }
};

TEST(HubUpgrade, AtmelByteForByteWithItsWaits) {
    Bench b(t::hub(Kind::TorvaneAtmel));
    const t::SinglePart image;  // 1025 bytes: three chunks of 512, 512 and 1
    const Bytes file = image.bytes();
    b.put("hub.tfh", file);
    ASSERT_EQ(b.run({"-h", "hub.tfh"}), 0) << b.at("ERROR");

    Buffer r;
    std::vector<Bytes> expected = {Bytes(104, 0), t::request(0x00471A00)};
    r.word(0x00471A00);
    r.header(1025, 0xD1D2D3D4, 0xF1F2F3F4, 0x1D0C0B0A);
    r.block(file, image.first_block(), 0);
    expected.push_back(r.form(0x1A, '9', 1));
    for (uint32_t k = 0; k < 3; ++k) {
        r.block(file, image.data() + 512 * k, k < 2 ? 512 : 1);
        expected.push_back(r.form(0x1A, '6', 0));
    }
    expected.push_back(r.form(0x1A, '7', 0));
    expected.push_back(r.form(0x1A, '9', 0));
    EXPECT_EQ(b.writes(), expected);
    // Open, restart and reopen, then the bootloader's 3 s before the chunks.
    EXPECT_EQ(b.sleeps_ms(), (std::vector<int64_t>{1000, 5000, 1000, 3000}));
    EXPECT_EQ(std::count_if(b.p.waits.begin(), b.p.waits.end(),
                            [](const sim::Wait& w) { return w.duration == 327680; }),
              1);  // after the HUB-boot message
    const sim::FirmwareArea& fw = b.hub().config().firmware;
    ASSERT_EQ(fw.hub_parts.size(), 1u);
    EXPECT_EQ(fw.hub_parts[0].data, t::slice(file, image.data(), 1025));
    EXPECT_TRUE(fw.violations.empty()) << fw.violations.front();
    EXPECT_TRUE(b.logged("INFO", "HUB-boot message: HUB bootloader: image written, checksum OK\r\n"));
    EXPECT_TRUE(b.logged("INFO",
                         "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xf1f2f3f4 - "
                         "version 2.4.0-R\n"));
    for (const char* line : {"PerformFWUpgrade: length 0x401\n", "PerformFWUpgrade: firmware signature 0xf1f2f3f4\n",
                             "PerformFWUpgrade: data signature 0xd1d2d3d4\n"}) {
        EXPECT_TRUE(b.logged("INFO", line)) << line;
    }
    EXPECT_EQ(b.p.locks_taken, 1);  // one lock, held across the restart
    // Its boot information never comes: 33, and no final trigger.
    sim::HubConfig no_boot_info = t::hub(Kind::TorvaneAtmel);
    no_boot_info.faults.push_back(t::on_word(0x00371AAE, {Fault::NoReply}));
    Bench lost(no_boot_info);
    lost.put("hub.tfh", file);
    EXPECT_EQ(lost.run({"-h", "hub.tfh"}), 33);
    EXPECT_EQ(t::get32(lost.writes().back(), 0), 0x00371AAEu);
}

TEST(HubUpgrade, StPartsAndTheirTriggers) {
    using Parts = std::pair<Kind, int32_t>;
    for (const auto& [kind, parts] : {Parts{Kind::TorvaneST, 2}, {Kind::Quillet, 2}, {Kind::TorvaneST, 3}}) {
        sim::HubConfig c = t::hub(kind);
        c.firmware.st_parts = std::max(parts, 1);
        Bench b(c);
        const Bytes file = t::TwoPart{.target = kind == Kind::Quillet ? 'H' : 'I', .count = parts}.bytes();
        b.put("hub.tfh", file);
        ASSERT_EQ(b.run({"-h", "hub.tfh"}), 0) << b.at("ERROR");
        const sim::FirmwareArea& fw = b.hub().config().firmware;
        ASSERT_EQ(fw.hub_parts.size(), size_t(parts));
        for (size_t i = 0; i < size_t(parts); ++i) {
            const sim::ReceivedPart& part = fw.hub_parts[i];
            const bool a = i == 0;  // the first part, stored last; every later one is part B
            EXPECT_EQ(part.trigger_word, i < 2 ? 0x00710100u : 0x00730100u);
            EXPECT_TRUE(i >= 2 || part.selector == (a ? 1u : 0u));
            EXPECT_EQ(part.fw_signature, a ? 0xA1A2A3A4u : 0xB1B2B3B4u);
            EXPECT_EQ(part.data, a ? t::slice(file, 596 + 700, 1100) : t::slice(file, 596, 700));
            EXPECT_EQ(part.image_word, 0x2E0D0C0Bu);
            EXPECT_EQ(part.data_signature, a ? 0xA5A6A7A8u : 0xB5B6B7B8u);
            EXPECT_EQ(part.first_block, t::slice(file, 84, 512));
        }
        EXPECT_EQ(t::get32(b.writes().back(), 0), 0x00730100u);
        EXPECT_EQ(fw.final_triggers, 1);
        const std::vector<int64_t> sleeps = b.sleeps_ms();
        EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 5000), parts + 1);
        EXPECT_TRUE(fw.violations.empty()) << fw.violations.front();
    }
}

TEST(HubUpgrade, ReportByStatusAndTheBootMessage) {
    struct Case {
        uint8_t status, code;
        bool message;
        std::string line;
        int result;
        std::string verdict;
    };
    const std::string reset = "Hub will be reset with firmware status 0x5 ... Bootloader version 1.2.0-B\n";
    const std::string failed = "Hub upgrade failed with code 0x21... Firmware signature 0xb1b2b3b4 - version 2.4.0-R\n";
    // A bootloader that reports the upgrade failed is no success.
    for (const Case& c : std::vector<Case>{
             {0xE3, 0x05, true, reset, 0,
              "Done: the HUB firmware was upgraded. Its bootloader 1.2.0-B reported firmware status 0x5 and resets "
              "the HUB: run -hinfo to see the firmware it runs then.\n"},
             {0x13, 0x21, true, failed, 38,
              "Failed (error-code 38) while upgrading the HUB firmware. The HUB's bootloader reported a failed "
              "upgrade (status 0x13, code 0x21); the HUB may be left in its bootloader: run -h with the same image "
              "file again.\n"},
             {0xE0, 0x00, false, t::kStHubRunning, 0,
              "Done: the HUB firmware was upgraded. The HUB runs firmware 2.4.0-R, signature 0xb1b2b3b4.\n"}}) {
        sim::HubConfig hub = t::hub();
        hub.firmware.boot_status = c.status;
        hub.firmware.boot_code = c.code;
        hub.firmware.boot_message_enabled = c.message;
        hub.firmware.boot_message = std::string(600, 'm');  // no NUL within the reply
        Bench b(hub);
        b.put("hub.tfh", t::TwoPart{}.bytes());
        EXPECT_EQ(b.run({"-h", "hub.tfh"}), c.result);
        EXPECT_TRUE(b.logged("INFO", c.line)) << b.at("INFO");
        EXPECT_EQ(b.logged("ERROR", "Something went wrong with HUB firmware-upgrade - error-code 38!!\n"),
                  c.result != 0);
        EXPECT_EQ(b.log().back().text, c.verdict);
        EXPECT_EQ(b.count("HUB-boot message: " + std::string(512, 'm')), c.message ? 2 : 0);
        // Without the message each part's read runs out its 15 s.
        EXPECT_EQ(b.count("zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 536\n"),
                  c.message ? 0 : 2);
        EXPECT_EQ(b.p.now_ms() > 2 * 16000, !c.message);
    }
}

TEST(ImageFiles, RefusedBeforeAnyPortIsOpenedSayingWhy) {
    const Bytes st = t::TwoPart{}.bytes(), atmel = t::SinglePart{}.bytes(), sensor = t::sensor_image();
    Bytes beyond_file = atmel, long_sensor = sensor, long_part = st;
    t::put32(beyond_file, 12, 5000);
    t::put32(long_sensor, 40 + 12, 100000);
    t::put32(long_part, 72, 100000);
    const std::string who_atmel = "PerformFWUpgrade::_upgrade_atmel: No valid file provided!\n";
    const std::string who_st = "PerformFWUpgrade::_upgrade_st: No valid file provided!\n";
    struct Case {
        Kind kind;
        std::string option;
        Bytes file;  // empty: no file
        std::string who, problem;
    };
    const std::vector<Case> cases = {
        {Kind::TorvaneST, "-h", {}, who_st, "there is no file img"},
        {Kind::TorvaneST, "-h", Bytes(5, 'Z'), who_st, "not an image file (it does not start with ZELS)"},
        {Kind::TorvaneST, "-h", t::TwoPart{.target = 'H'}.bytes(), who_st,
         "target letter 'H', but this upgrade takes 'I'"},
        {Kind::Quillet, "-h", st, who_st, "target letter 'I', but this upgrade takes 'H'"},
        {Kind::TorvaneAtmel, "-h", st, who_atmel, "target letter 'I', but this upgrade takes 'H'"},
        {Kind::TorvaneAtmel, "-h", sensor, who_atmel, "target letter 'S', but this upgrade takes 'H'"},
        {Kind::TorvaneAtmel, "-s", atmel, who_atmel, "target letter 'H', but this upgrade takes 'S'"},
        {Kind::TorvaneAtmel, "-h", t::SinglePart{.variant = 'D'}.bytes(), who_atmel,
         "variant letter 'D' is neither 'B' nor 'F'"},
        {Kind::TorvaneAtmel, "-h", beyond_file, who_atmel,
         "header at 0x1388 with its first block ends beyond the file of 1600 bytes"},
        {Kind::TorvaneAtmel, "-s", long_sensor, who_atmel,
         "firmware length 0x186a0 from offset 0x238 ends beyond the file of 1600 bytes"},
        {Kind::Quillet, "-s", long_sensor, who_atmel,
         "firmware length 0x186a0 from offset 0x238 ends beyond the file of 1600 bytes"},
        {Kind::TorvaneST, "-h", long_part, who_st,
         "part data lengths 0x186a0 and 0x2bc end beyond the file of 2399 bytes"},
        {Kind::TorvaneST, "-h", t::TwoPart{.count = 9}.bytes(), who_st,
         "part count 9 is above the 8 parts an image may have"},
        {Kind::TorvaneST, "-h", t::TwoPart{.count = 0}.bytes(), who_st,
         "part count 0 is below the 1 part an image must have"},
        {Kind::Quillet, "-h", t::TwoPart{.target = 'H', .count = -1}.bytes(), who_st,
         "part count -1 is below the 1 part an image must have"},
        {Kind::TorvaneST, "-h", Bytes(16777217, 0), who_st,
         "file of 16777217 bytes is larger than the 16777216 bytes an image may have"},
    };
    for (const Case& c : cases) {
        Bench b(t::hub(c.kind));
        if (!c.file.empty()) b.put("img", c.file);
        EXPECT_EQ(b.run({c.option, "img"}), 25) << c.problem;
        EXPECT_TRUE(b.logged("ERROR", c.who)) << b.at("ERROR");
        EXPECT_TRUE(b.logged("ERROR", "PerformFWUpgrade: Invalid image - " + c.problem + "\n")) << b.at("ERROR");
        EXPECT_TRUE(b.p.trace.empty());
    }
    Bench folder(t::hub());
    folder.p.files["dir"].regular = false;
    EXPECT_EQ(folder.run({"-h", "dir"}), 25);
    EXPECT_TRUE(folder.logged("ERROR", "PerformFWUpgrade: Invalid image - dir is not a regular file\n"));
    Bench longer(t::hub());
    EXPECT_EQ(longer.run({"-h", std::string(2048, 'p')}), 23);
    EXPECT_TRUE(
        longer.logged("ERROR", "PerformFWUpgrade: Image path of 2048 characters is too long (at most 2047)!\n"));
}

TEST(ImageFiles, ChunksByLength) {
    using Chunks = std::vector<uint32_t>;
    for (const auto& [length, declared] :
         std::vector<std::pair<uint32_t, Chunks>>{{1024, {512, 512}}, {1025, {512, 512, 1}}, {0, {}}, {511, {511}}}) {
        Bench b(t::hub(Kind::TorvaneAtmel));
        b.put("s.tfs", t::sensor_image(length));
        EXPECT_EQ(b.run({"-s", "s.tfs"}), 0) << b.at("ERROR");
        ASSERT_EQ(b.hub().config().firmware.sensor_parts.size(), 1u);
        EXPECT_EQ(b.hub().config().firmware.sensor_parts[0].chunk_lengths, declared) << length;
        EXPECT_TRUE(b.hub().config().firmware.violations.empty()) << length;
    }
}

TEST(SensorUpgrade, ThroughACurrentStHubWithTheSensorCount) {
    sim::HubConfig c = t::hub(Kind::TorvaneST);
    c.firmware.sensors[1].status = 0xE3;
    c.firmware.sensors[1].code = 0x05;
    c.firmware.sensors[2].status = 0x42;
    c.firmware.sensors[2].code = 0x07;
    Bench b(c);
    b.put("s.tfs", t::sensor_image());
    b.p.env["ZEL_JSON"] = "run.json";
    // A sensor that failed, or stays in its bootloader, is no success.
    ASSERT_EQ(b.run({"-s", "s.tfs"}), 39) << b.at("ERROR");
    EXPECT_TRUE(b.logged("ERROR", "Something went wrong with Sensors firmware-upgrade - error-code 39!!\n"));
    EXPECT_EQ(b.log().back().text,
              "Failed (error-code 39) while upgrading the sensors. 15 of 17 sensors run the new firmware 1.6.0-B, "
              "signature 0xf1f2f3f4; sensor 0x11 stays in its bootloader; the upgrade of sensor 0x12 failed: run -sb "
              "with the same image file to complete their upgrade.\n");
    const auto verdict = nlohmann::json::parse(b.content("run.json"))["verdict"];
    EXPECT_EQ(verdict["sensors_in_bootloader"], std::vector<int>{0x11});
    EXPECT_EQ(verdict["sensors_failed"], std::vector<int>{0x12});
    // The requests themselves are the robust tier's step table; here the waits and the reports.
    EXPECT_EQ(b.sleeps_ms(), (std::vector<int64_t>{1000, 2000, 3000, 10000, 2000}));
    EXPECT_TRUE(b.logged("INFO", "Number of sensors in boot 17\n"));
    EXPECT_TRUE(b.logged("INFO",
                         "Sensor with addr 0x10 is running OK ... Calibration status 0xc000000 signature "
                         "0xf1f2f3f4 - version 1.6.0-B\n"));
    EXPECT_TRUE(b.logged("INFO", "Sensor with addr 0x11 will be reset with status 0x5... It will remain on boot\n"));
    EXPECT_TRUE(b.logged("INFO",
                         "Sensor with addr 0x12 upgrade failed with code 0x7... Calibration status 0xc000002 "
                         "signature 0x5e000002 - version 1.5.0-B\n"));
    EXPECT_TRUE(b.hub().config().firmware.violations.empty()) << b.hub().config().firmware.violations.front();
}

TEST(SensorUpgrade, EntryIntoTheBootloaderByKindFramingAndOption) {
    struct Case {
        Kind kind;
        bool legacy;
        std::string option;
        int in_boot, count;  // sensors already in their bootloader; the HUB's sensor count (-1: its own)
        int result;
        std::vector<uint8_t> first_boot_request;  // the first bootloader-form bytes after the HUB's requests
        std::string line;
    };
    const std::string who = "PerformFWUpgrade::_checkSensorsConnected: ";
    const std::vector<Case> cases = {
        {Kind::TorvaneST, false, "-s", 0, 18, 37, {}, who + "18 sensors found! Some sensors missing.\n"},
        {Kind::TorvaneST, false, "-sb", 15, -1, 37, {}, who + "At least 2 sensors not in bootloader!\n"},
        {Kind::TorvaneST, false, "-sb", 17, -1, 0, {0x00, 0x15, 0x17, 0x00, 0xAE, 0x15, 0x39, 0x00}, ""},
        {Kind::TorvaneAtmel, false, "-sb", 17, -1, 0, {0x00, 0x15, 0x17, 0x00, 0xAE, 0x00, 0x39, 0x00}, ""},
        {Kind::Quillet, false, "-s", 0, 3, 0, {0x00, 0x15, 0x17, 0x00, 0xAE, 0x15, 0x39, 0x01}, ""},
        {Kind::TorvaneAtmel, true, "-sb", 17, -1, 0, {0xAE, 0x00, 0x39, 0x00}, ""},
    };
    for (const Case& c : cases) {
        sim::HubConfig hub = t::hub(c.kind, c.legacy);
        for (int i = 0; i < c.in_boot; ++i) hub.firmware.sensors[size_t(i)].in_boot = true;
        hub.firmware.sensor_count = c.count;
        Bench b(hub);
        b.put("s.tfs", t::sensor_image());
        EXPECT_EQ(b.run({c.option, "s.tfs"}), c.result) << b.at("ERROR");
        EXPECT_TRUE(c.line.empty() || b.logged("ERROR", c.line)) << b.at("ERROR");
        const std::vector<Bytes> writes = b.writes();
        const auto first = std::find_if(writes.begin(), writes.end(), [](const Bytes& w) { return w.size() >= 536; });
        if (c.first_boot_request.empty()) {
            EXPECT_EQ(first, writes.end());
            continue;
        }
        ASSERT_NE(first, writes.end());
        EXPECT_EQ(t::slice(*first, 0, c.first_boot_request.size()), c.first_boot_request);
        // A legacy HUB restarts for its boot message first, and takes 8 s before the sensor records.
        EXPECT_EQ(b.hub().config().firmware.hub_boot_msg_requests, c.legacy ? 1 : 0);
        EXPECT_EQ(b.sleeps_ms().back(), c.legacy ? 8000 : 2000);
        EXPECT_EQ(b.hub().config().firmware.sensor_count_requests, c.kind == Kind::TorvaneST ? 1 : 0);
        EXPECT_TRUE(b.hub().config().firmware.violations.empty()) << b.hub().config().firmware.violations.front();
    }
}

TEST(SensorUpgrade, AutoAddressingCounts) {
    for (const auto& [count, cut, result, line] : std::vector<std::tuple<int, int, int, std::string>>{
             {0, 0, 0, ""},
             {34, 0, 34,
              "PerformFWUpgrade::_performAutoAddressing: 34 sensors reported, at most 33 can be received!\n"},
             {33, 0, 0, ""},
             {17, 1, 34, "what(): read() failed - HUB v2.0.0 with no feedback!\n"}}) {
        sim::HubConfig hub = t::hub(Kind::TorvaneAtmel);
        hub.firmware.addressing_count = count;
        hub.firmware.entries_cut = cut;
        Bench b(hub);
        b.put("s.tfs", t::sensor_image());
        EXPECT_EQ(b.run({"-s", "s.tfs"}), result);
        EXPECT_TRUE(b.logged("INFO", "Number of sensors in boot " + std::to_string(count) + "\n"));
        EXPECT_TRUE(line.empty() || b.logged("ERROR", line)) << b.at("ERROR");
        const std::vector<t::LogLine> log = b.log();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const t::LogLine& l) { return l.text.starts_with("Sensor with addr"); }),
                  result == 0 ? count : 0);
    }
}

}  // namespace
