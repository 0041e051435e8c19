// HUB firmware upgrade (-h) in virtual time against the HUB model.
#include <gtest/gtest.h>

#include "firmware_support.hpp"

namespace {

using fwtest::Buffer;
using fwtest::hub;
using fwtest::slice;
using fwtest::TempDir;
using fwtest::writes_from;
using scenario::kEchoPause;
using scenario::kMs;
using scenario::Scenario;
using scenario::starts_with;
using sim::Kind;

std::vector<uint8_t> bytes_of(const char* text) { return {text, text + std::strlen(text)}; }

// -h with `file` on a HUB set up by `config`.
int upgrade(Scenario& s, const sim::HubConfig& config, const std::vector<uint8_t>& file = fwtest::SinglePart{}.bytes()) {
    TempDir dir;
    s.attach(config);
    return s.run({"-h", dir.write("hub.tfh", file)});
}

void expect_single_transfer(const sim::FirmwareArea& area, const fwtest::SinglePart& img,
                            const std::vector<uint8_t>& file) {
    fwtest::expect_single_part(area.hub_parts, img, file);
    EXPECT_TRUE(area.violations.empty()) << area.violations.front();
}

TEST(FirmwareHubAtmel, WholeUpgradeByteForByte) {
    struct Case {
        uint32_t length;
        bool legacy;
        char variant;
        std::vector<uint32_t> declared;
    };
    // L = 1025 leaves a last chunk of one byte, then the file's trailer and
    // zeros; 'F' images are taken like 'B' ones.
    for (const Case& c : {Case{1025, false, 'B', {512, 512, 1}}, Case{1024, false, 'F', {512, 512}},
                          Case{0, false, 'B', {}}, Case{512, true, 'B', {512}}}) {
        SCOPED_TRACE(c.length);
        fwtest::SinglePart img;
        img.length = c.length;
        img.variant = c.variant;
        const std::vector<uint8_t> file = img.bytes();
        Scenario s;
        ASSERT_EQ(upgrade(s, hub(Kind::TorvaneAtmel, c.legacy), file), 0);

        // A legacy HUB gets the marked form, and byte 1 stays 0 in every
        // request after it; through a current HUB it stays 0x1A.
        const auto w = s.writes();
        ASSERT_EQ(w.size(), 5 + c.declared.size());
        EXPECT_EQ(w[1], c.legacy ? scenario::request({0xAE, 0x00, 0x47, 0x00}) : scenario::request({0x00, 0x1A, 0x47, 0x00}));
        Buffer b;
        b.b[1] = c.legacy ? 0x00 : 0x1A;
        b.form('9', 1).at(8, img.length).at(12, img.data_signature).at(16, img.fw_signature).at(20, img.image_word);
        EXPECT_EQ(w[2], b.block(file, img.first_block()).b);  // bytes 4-7 still zero
        for (size_t k = 0; k < c.declared.size(); ++k) {
            EXPECT_EQ(w[3 + k], b.form('6', 0).at(4, c.declared[k]).block(file, img.data() + 512 * k).b) << "chunk " << k;
        }
        EXPECT_EQ(w[w.size() - 2], b.form('7', 0).b);  // the last chunk's length and data stay
        EXPECT_EQ(w.back(), b.form('9', 0).b);

        const sim::FirmwareArea& area = s.hub().config().firmware;
        expect_single_transfer(area, img, file);
        EXPECT_EQ(area.hub_parts[0].chunk_lengths, c.declared);
        EXPECT_EQ(area.final_triggers, 1);
        EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);
        if (c.length != 1025) continue;

        EXPECT_EQ(s.texts(), (std::vector<std::string>{
                                 "Creating object PerformFWUpgrade - HUB upgrade\n",
                                 "CDC-interface: A Torvane detected... \n",
                                 "CDC-interface: No port-name provided... \n",
                                 "CDC-interface: Connecting to 'COM3'\n",
                                 "Opening COM port\n",
                                 "Checking hub version...\n",
                                 "HUB version 2.0.0 or higher!!\n",
                                 "Closing com port\n",
                                 "Opening COM port\n",
                                 "PerformFWUpgrade: length 0x401\n",
                                 "PerformFWUpgrade: firmware signature 0xf1f2f3f4\n",
                                 "PerformFWUpgrade: data signature 0xd1d2d3d4\n",
                                 "HUB-boot message: HUB bootloader: image written, checksum OK\r\n",
                                 "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xf1f2f3f4 - "
                                 "version 2.4.0-R\n",
                                 "Closing com port\n",
                             }));
        std::string out;
        for (const auto& e : s.log()) out += e.text;
        EXPECT_EQ(s.platform.out, out);  // standard output carries the log texts only
        EXPECT_EQ(s.platform.err, "");   // and no progress when standard error is no terminal

        // Opening (1000), the reconnect (5000, then opening again), after the
        // start trigger (3000); an echo pause per request, 32.768 ms after
        // the HUB-boot message.
        EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 5000, 1000, 3000}));
        int echo_pauses = 0, boot_pauses = 0;
        for (const sim::Wait& wait : s.platform.waits) {
            if (wait.kind != sim::Wait::Timer) continue;
            echo_pauses += wait.duration == kEchoPause;
            boot_pauses += wait.duration == 327680;
        }
        EXPECT_EQ(echo_pauses, 8);
        EXPECT_EQ(boot_pauses, 1);
        // The 3000 ms begin once the start trigger's echo is in, and the first
        // chunk follows at once.
        const auto& trace = s.platform.trace;
        const auto erase = std::find_if(s.platform.waits.begin(), s.platform.waits.end(),
                                        [](const sim::Wait& wait) { return wait.duration == 3000 * kMs; });
        ASSERT_NE(erase, s.platform.waits.end());
        auto first_chunk = std::find_if(trace.begin(), trace.end(), [](const sim::TraceEntry& e) {
            return e.to_hub && e.bytes.size() == 536 && e.bytes[2] == '6';
        });
        ASSERT_NE(first_chunk, trace.end());
        EXPECT_EQ(first_chunk->time, erase->start + erase->duration);
        EXPECT_EQ((first_chunk - 1)->bytes.size(), 536u);  // the trigger's echo
        EXPECT_EQ((first_chunk - 1)->time, erase->start);
    }
}

// --- the ST family --------------------------------------------------------------

TEST(FirmwareHubST, TwoPartImagesOnTheTorvaneAndTheQuillet) {
    for (const auto& [kind, target] : {std::pair{Kind::TorvaneST, 'I'}, std::pair{Kind::Quillet, 'H'}}) {
        SCOPED_TRACE(target);
        fwtest::TwoPart img;
        img.target = target;
        const std::vector<uint8_t> file = img.bytes();
        Scenario s;
        ASSERT_EQ(upgrade(s, hub(kind), file), 0);

        // probe (not for a Quillet), upgrade, then per part: trigger, chunks, boot info; final trigger
        const auto w = writes_from(s, kind == Kind::Quillet ? 0 : 1);
        ASSERT_EQ(w.size(), 1 + (1 + 3 + 1) + (1 + 2 + 1) + 1u);
        EXPECT_EQ(w[0], scenario::request({0x00, 0x1A, 0x47, 0x00}));
        Buffer b;
        b.word(0x00710100).at(4, 1).at(8, img.length_a).at(12, img.data_signature_a).at(16, img.fw_signature_a);
        EXPECT_EQ(w[1], b.at(20, img.image_word).block(file, 84).b);
        const uint32_t declared_a[] = {512, 512, 76};
        for (size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(w[2 + k], b.word(0x00720100).at(4, declared_a[k]).block(file, img.data_a() + 512 * k).b);
        }
        EXPECT_EQ(w[5], b.word(0x00740100).b);
        b.word(0x00710100).at(4, 0).at(8, img.length_b).at(12, img.data_signature_b).at(16, img.fw_signature_b);
        EXPECT_EQ(w[6], b.block(file, 84).b);
        const uint32_t declared_b[] = {512, 188};
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(w[7 + k], b.word(0x00720100).at(4, declared_b[k]).block(file, img.data_b() + 512 * k).b);
        }
        EXPECT_EQ(w[9], b.word(0x00740100).b);
        EXPECT_EQ(w[10], b.word(0x00730100).b);

        const sim::FirmwareArea& area = s.hub().config().firmware;
        ASSERT_EQ(area.hub_parts.size(), 2u);
        EXPECT_EQ(area.hub_parts[0].data, slice(file, img.data_a(), img.length_a));
        EXPECT_EQ(area.hub_parts[1].data, slice(file, img.data_b(), img.length_b));
        EXPECT_EQ(area.hub_parts[0].selector, 1u);
        EXPECT_EQ(area.hub_parts[1].selector, 0u);
        EXPECT_EQ(area.final_triggers, 1);
        EXPECT_TRUE(area.violations.empty()) << area.violations.front();
        EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);

        EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 5000, 1000, 5000, 5000}));
        const std::vector<std::string> part_lines = {
            "PerformFWUpgrade: firmware length 0x44c\n", "PerformFWUpgrade: data length 0x44c\n",
            "PerformFWUpgrade: firmware signature 0xa1a2a3a4\n", "PerformFWUpgrade: data signature 0xa5a6a7a8\n"};
        const int at = s.find(part_lines[0]);
        ASSERT_GE(at, 0);
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(s.log()[size_t(at) + i].text, part_lines[i]);
        EXPECT_GE(s.find("PerformFWUpgrade: data length 0x2bc\n", at), at);
    }
}

TEST(FirmwareHubST, ThreePartsSendTheSecondTwice) {
    fwtest::TwoPart img;
    img.count = 3;
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    sim::HubConfig c = hub(Kind::TorvaneST);
    c.firmware.st_parts = 3;
    ASSERT_EQ(upgrade(s, c, file), 0);
    const auto w = writes_from(s, 2);
    // part 0: 5 requests, part 1: 4, part 2: 4, final trigger
    ASSERT_EQ(w.size(), 5 + 4 + 4 + 1u);
    // The third start trigger is the run word, bytes 4-7 still holding the
    // previous part's last declared length (188).
    EXPECT_EQ(slice(w[9], 0, 8), (std::vector<uint8_t>{0x00, 0x01, 0x73, 0x00, 188, 0, 0, 0}));
    EXPECT_EQ(slice(w[9], 8, 24 + 512 - 8), slice(w[5], 8, 24 + 512 - 8));
    EXPECT_EQ(w[13], Buffer{w[12]}.word(0x00730100).b);
    const sim::FirmwareArea& area = s.hub().config().firmware;
    ASSERT_EQ(area.hub_parts.size(), 3u);
    EXPECT_EQ(area.hub_parts[2].data, slice(file, img.data_b(), img.length_b));
    EXPECT_EQ(area.boot_info_requests, 3);
    EXPECT_TRUE(area.violations.empty()) << area.violations.front();
    EXPECT_EQ(s.sleeps_ms(), (std::vector<int64_t>{1000, 5000, 1000, 5000, 5000, 5000}));

    for (int32_t count : {0, -1}) {  // no parts: the upgrade request and the final trigger only
        img.count = count;
        Scenario t;
        ASSERT_EQ(upgrade(t, hub(Kind::TorvaneST), img.bytes()), 0);
        const auto v = writes_from(t, 1);
        ASSERT_EQ(v.size(), 2u);
        EXPECT_EQ(slice(v[1], 0, 8), (std::vector<uint8_t>{0x00, 0x01, 0x73, 0x00, 0, 0, 0, 0}));
        EXPECT_EQ(fwtest::get32(v[1], 20), img.image_word);
    }
}

// --- reports ----------------------------------------------------------------------

TEST(FirmwareHubReport, LinePerStatus) {
    struct Case {
        uint8_t status, code;
        std::string line;
    };
    for (const Case& c : {Case{0xE3, 0x05, "Hub will be reset with firmware status 0x5 ... Bootloader version 1.2.0-B\n"},
                          Case{0x41, 0x07, "Hub upgrade failed with code 0x7... Firmware signature 0x12345678 - version "
                                           "2.4.0-R\n"}}) {
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        config.firmware.boot_status = c.status;
        config.firmware.boot_code = c.code;
        config.firmware.fw_signature = 0x12345678;
        ASSERT_EQ(upgrade(s, config), 0);
        EXPECT_EQ(s.texts()[s.texts().size() - 2], c.line);
    }
}

TEST(FirmwareHubReport, BootMessageStopsAtTheBufferOrCostsTheReadLimit) {
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneAtmel);
    config.firmware.boot_message = std::string(600, 'x');  // no zero byte
    ASSERT_EQ(upgrade(s, config), 0);
    EXPECT_TRUE(s.logged("INFO", "HUB-boot message: " + std::string(512, 'x')));

    Scenario t;
    config.firmware.boot_message_enabled = false;
    ASSERT_EQ(upgrade(t, config), 0);
    EXPECT_EQ(t.find("HUB-boot message: ", 0), -1);
    EXPECT_TRUE(t.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 536\n"));
    // Three silent reads of 536 bytes (5370 ms each) use up the 15000 ms;
    // then the 32.768 ms pause, then the boot information request.
    const auto& trace = t.platform.trace;
    auto boot_info = std::find_if(trace.begin(), trace.end(), [](const sim::TraceEntry& e) {
        return e.to_hub && e.bytes.size() == 536 && e.bytes[2] == '7';
    });
    ASSERT_NE(boot_info, trace.end());
    EXPECT_EQ(boot_info->time - (boot_info - 1)->time, 16110 * kMs + 327680);
    EXPECT_TRUE(t.logged("INFO", "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xf1f2f3f4 - "
                                 "version 2.4.0-R\n"));
}

TEST(FirmwareHubReport, ProgressOnATerminalOnly) {
    Scenario plain, s;
    ASSERT_EQ(upgrade(plain, hub(Kind::TorvaneAtmel)), 0);
    s.platform.err_terminal = true;
    ASSERT_EQ(upgrade(s, hub(Kind::TorvaneAtmel)), 0);
    EXPECT_EQ(plain.platform.err, "");
    EXPECT_EQ(s.platform.out.size(), plain.platform.out.size());  // same texts; only the log's times differ
    EXPECT_NE(s.platform.err.find("\rSending firmware: chunk 3 of 3\n"), std::string::npos) << s.platform.err;
    EXPECT_NE(s.platform.err.find("Waiting 3.0 s"), std::string::npos);
    EXPECT_NE(s.platform.err.find("Waiting up to 15 s for the HUB-boot message"), std::string::npos);
}

// --- refused images: nothing reaches the bootloader --------------------------------

struct Refusal {
    std::string name;
    Kind kind;
    std::vector<uint8_t> file;  // empty: no file at all
    std::string detail;         // the added line, "" for none
};

void expect_refused(const Refusal& r) {
    SCOPED_TRACE(r.name);
    TempDir dir;
    Scenario s;
    s.attach(hub(r.kind));
    EXPECT_EQ(s.run({"-h", r.file.empty() ? dir.path("missing.tfh") : dir.write("image.tfh", r.file)}), 25);
    const std::string who = r.kind != Kind::TorvaneAtmel ? "PerformFWUpgrade::_upgrade_st" : "PerformFWUpgrade::_upgrade_atmel";
    const int at = s.find(who + ": No valid file provided!\n");
    ASSERT_GE(at, 0);
    const auto log = s.log();
    EXPECT_EQ(log[size_t(at)].level, "ERROR");
    size_t next = size_t(at) + 1;
    if (!r.detail.empty()) {
        EXPECT_EQ(log[next].level, "ERROR");
        EXPECT_TRUE(starts_with(log[next].text, "PerformFWUpgrade: Invalid image - " + r.detail)) << log[next].text;
        ++next;
    }
    EXPECT_EQ(log[next].text, "Something went wrong with HUB firmware-upgrade - error-code 25!!\n");
    // Only the probe went out (a Quillet gets none).
    EXPECT_EQ(s.writes().size(), r.kind == Kind::Quillet ? 0u : 1u);
    EXPECT_EQ(s.hub().config().firmware.hub_upgrade_requests, 0);
    EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);
}

std::vector<uint8_t> single(char target, char variant = 'B') {
    fwtest::SinglePart img;
    img.target = target;
    img.variant = variant;
    return img.bytes();
}
std::vector<uint8_t> two(char target) {
    fwtest::TwoPart img;
    img.target = target;
    return img.bytes();
}

TEST(FirmwareHubRefusal, WrongTargetsAndHeadersReachingBeyondTheFile) {
    std::vector<uint8_t> offset = single('H');
    fwtest::put32(offset, 12, 0xFFFFFFF0);
    std::vector<uint8_t> length = single('H');
    fwtest::put32(length, 40 + 12, 0xFFFFFE00);
    std::vector<uint8_t> tiny = bytes_of("ZELSBH");
    tiny.resize(10, 0);
    std::vector<uint8_t> lengths = two('I');
    fwtest::put32(lengths, 68, 0x80000000);
    fwtest::put32(lengths, 72, 0x80000000);
    const std::vector<Refusal> cases = {
        {"S on Atmel", Kind::TorvaneAtmel, single('S'), ""},
        {"I on Atmel", Kind::TorvaneAtmel, single('I'), ""},
        {"H on ST Torvane", Kind::TorvaneST, two('H'), ""},
        {"S on ST Torvane", Kind::TorvaneST, two('S'), ""},
        {"I on Quillet", Kind::Quillet, two('I'), ""},
        {"S on Quillet", Kind::Quillet, two('S'), ""},
        {"variant D", Kind::TorvaneAtmel, single('H', 'D'), ""},
        {"variant C", Kind::TorvaneAtmel, single('H', 'C'), ""},
        {"not ZELS", Kind::TorvaneAtmel, bytes_of("ZELTBH and more bytes"), ""},
        {"five bytes", Kind::TorvaneAtmel, bytes_of("ZELSB"), ""},
        {"missing file", Kind::TorvaneAtmel, {}, ""},
        {"missing file, ST", Kind::TorvaneST, {}, ""},
        {"header offset", Kind::TorvaneAtmel, offset, "header at 0xfffffff0 with its first block ends beyond the file"},
        {"firmware length", Kind::TorvaneAtmel, length, "firmware length 0xfffffe00 from offset 0x238 ends beyond"},
        {"no header offset", Kind::TorvaneAtmel, tiny, "file of 10 bytes is too short"},
        {"part lengths", Kind::TorvaneST, lengths, "part data lengths 0x80000000 and 0x80000000 end beyond"},
        {"short two-part", Kind::Quillet, slice(two('H'), 0, 595), "file of 595 bytes is too short for the two-part header"},
    };
    for (const Refusal& r : cases) expect_refused(r);
}

TEST(FirmwareHubRefusal, PathOfMaximumLength) {
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel));
    EXPECT_EQ(s.run({"-h", std::string(2048, 'p')}), 23);
    EXPECT_EQ(s.texts(), (std::vector<std::string>{
                             "PerformFWUpgrade: Image path of 2048 characters is too long (at most 2047)!\n",
                             "Something went wrong with HUB firmware-upgrade - error-code 23!!\n"}));
    EXPECT_TRUE(s.platform.trace.empty());  // the port was never opened
    // One character less is taken as a path (which names no file here).
    Scenario t;
    t.attach(hub(Kind::TorvaneAtmel));
    EXPECT_EQ(t.run({"-h", std::string(2047, 'p')}), 25);
}

}  // namespace
