// HUB firmware upgrade (-h) in virtual time against the HUB model.
#include <gtest/gtest.h>

#include "firmware_support.hpp"

namespace {

using fwtest::Buffer;
using fwtest::has_prefix;
using fwtest::hub;
using fwtest::pattern;
using fwtest::sleeps_ms;
using fwtest::slice;
using fwtest::TempDir;
using fwtest::writes_from;
using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::Kind;

constexpr int64_t kMs = sim::kTicksPerMs;

std::vector<uint8_t> bytes_of(const char* text) { return {text, text + std::strlen(text)}; }

// What the bootloader must have received for a single-part image.
void expect_single_transfer(const sim::FirmwareArea& area, const fwtest::SinglePart& img,
                            const std::vector<uint8_t>& file) {
    ASSERT_EQ(area.hub_parts.size(), 1u);
    const sim::ReceivedPart& part = area.hub_parts[0];
    EXPECT_TRUE(part.complete);
    EXPECT_EQ(part.fw_length, img.length);
    EXPECT_EQ(part.fw_signature, img.fw_signature);
    EXPECT_EQ(part.data_signature, img.data_signature);
    EXPECT_EQ(part.image_word, img.image_word);
    EXPECT_EQ(part.first_block, slice(file, img.first_block(), 512));
    EXPECT_EQ(part.data, slice(file, img.data(), img.length));
}

TEST(FirmwareHubAtmel, CurrentHubWholeUpgradeByteForByte) {
    TempDir dir;
    fwtest::SinglePart img;  // L = 1025: chunks of 512, 512 and 1
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel));
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", file)}), 0);

    const auto w = s.writes();
    ASSERT_EQ(w.size(), 8u);
    EXPECT_EQ(w[1], scenario::request({0x00, 0x1A, 0x47, 0x00}));
    Buffer b;
    b.word(0x00471A00);
    b.form('9', 1).at(8, img.length).at(12, img.data_signature).at(16, img.fw_signature).at(20, img.image_word);
    b.block(file, img.first_block());
    EXPECT_EQ(w[2], b.b);  // AE 1A 39 01, bytes 4-7 still zero
    EXPECT_EQ(slice(w[2], 0, 8), (std::vector<uint8_t>{0xAE, 0x1A, 0x39, 0x01, 0, 0, 0, 0}));
    const uint32_t declared[] = {512, 512, 1};
    for (int k = 0; k < 3; ++k) {
        b.form('6', 0).at(4, declared[k]).block(file, img.data() + 512 * size_t(k));
        EXPECT_EQ(w[3 + size_t(k)], b.b) << "chunk " << k;
    }
    // The last chunk carries its one byte, then the file's trailer, then zeros.
    EXPECT_EQ(slice(w[5], 24, 8), (std::vector<uint8_t>{file[img.data() + 1024], file[file.size() - 7],
                                                        file[file.size() - 6], file[file.size() - 5],
                                                        file[file.size() - 4], file[file.size() - 3],
                                                        file[file.size() - 2], file[file.size() - 1]}));
    EXPECT_EQ(w[5][32], 0);
    EXPECT_EQ(w[6], b.form('7', 0).b);  // the last chunk's length and data stay
    EXPECT_EQ(w[7], b.form('9', 0).b);

    const sim::FirmwareArea& area = s.hub().config().firmware;
    expect_single_transfer(area, img, file);
    EXPECT_EQ(area.hub_parts[0].chunk_lengths, (std::vector<uint32_t>{512, 512, 1}));
    EXPECT_EQ(area.final_triggers, 1);
    EXPECT_TRUE(area.violations.empty()) << area.violations.front();
    EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);

    const std::vector<std::string> expected = {
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
        "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xf1f2f3f4 - version 2.4.0-R\n",
        "Closing com port\n",
    };
    EXPECT_EQ(s.texts(), expected);
    std::string out;
    for (const auto& e : s.log()) out += e.text;
    EXPECT_EQ(s.platform.out, out);  // standard output carries the log texts only
    EXPECT_EQ(s.platform.err, "");
}

TEST(FirmwareHubAtmel, WaitsInVirtualTime) {
    TempDir dir;
    fwtest::SinglePart img;
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel));
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", img.bytes())}), 0);
    // Opening (1000), the reconnect (5000, then opening again), after the start trigger.
    EXPECT_EQ(sleeps_ms(s), (std::vector<int64_t>{1000, 5000, 1000, 3000}));
    int echo_pauses = 0, boot_pauses = 0;
    for (const sim::Wait& w : s.platform.waits) {
        if (w.kind != sim::Wait::Timer) continue;
        echo_pauses += w.duration == 163200;
        boot_pauses += w.duration == 327680;
    }
    EXPECT_EQ(echo_pauses, 8);
    EXPECT_EQ(boot_pauses, 1);

    // The 3000 ms begin once the start trigger's echo is in, and the first
    // chunk follows at once.
    const auto& trace = s.platform.trace;
    const auto erase = std::find_if(s.platform.waits.begin(), s.platform.waits.end(),
                                    [](const sim::Wait& w) { return w.duration == 3000 * kMs; });
    ASSERT_NE(erase, s.platform.waits.end());
    auto first_chunk = std::find_if(trace.begin(), trace.end(),
                                    [](const sim::TraceEntry& e) { return e.to_hub && e.bytes.size() == 536 && e.bytes[2] == '6'; });
    ASSERT_NE(first_chunk, trace.end());
    EXPECT_EQ(first_chunk->time, erase->start + erase->duration);
    EXPECT_EQ((first_chunk - 1)->bytes.size(), 536u);  // the trigger's echo
    EXPECT_EQ((first_chunk - 1)->time, erase->start);
}

TEST(FirmwareHubAtmel, LegacyHubLeavesByteOneZero) {
    TempDir dir;
    fwtest::SinglePart img;
    img.length = 512;
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel, true));
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", file)}), 0);
    const auto w = s.writes();
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[1], scenario::request({0xAE, 0x00, 0x47, 0x00}));
    for (size_t i = 2; i < w.size(); ++i) {
        EXPECT_EQ(w[i][0], 0xAE);
        EXPECT_EQ(w[i][1], 0x00) << i;
    }
    EXPECT_EQ(slice(w[3], 0, 8), (std::vector<uint8_t>{0xAE, 0, 0x36, 0, 0x00, 0x02, 0, 0}));  // one full chunk: 512
    expect_single_transfer(s.hub().config().firmware, img, file);
    EXPECT_TRUE(s.hub().config().firmware.violations.empty());
}

TEST(FirmwareHubAtmel, ChunkingOfZeroAndFullLengths) {
    for (uint32_t length : {0u, 1024u}) {
        TempDir dir;
        fwtest::SinglePart img;
        img.length = length;
        const std::vector<uint8_t> file = img.bytes();
        Scenario s;
        s.attach(hub(Kind::TorvaneAtmel));
        ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", file)}), 0) << length;
        const sim::FirmwareArea& area = s.hub().config().firmware;
        expect_single_transfer(area, img, file);
        const std::vector<uint32_t> declared = length == 0 ? std::vector<uint32_t>() : std::vector<uint32_t>({512, 512});
        EXPECT_EQ(area.hub_parts[0].chunk_lengths, declared);
        EXPECT_TRUE(area.violations.empty());
        EXPECT_EQ(s.writes().size(), length == 0 ? 5u : 7u);
    }
}

// --- the ST family --------------------------------------------------------------

void expect_two_part_run(Kind kind, char target) {
    TempDir dir;
    fwtest::TwoPart img;
    img.target = target;
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    s.attach(hub(kind));
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", file)}), 0);

    // probe (not for a Quillet), upgrade, then per part: trigger, chunks, boot info; final trigger
    const size_t first = kind == Kind::Quillet ? 0 : 1;
    const auto w = writes_from(s, first);
    ASSERT_EQ(w.size(), 1 + (1 + 3 + 1) + (1 + 2 + 1) + 1u);
    EXPECT_EQ(w[0], scenario::request({0x00, 0x1A, 0x47, 0x00}));
    Buffer b;
    b.word(0x00710100).at(4, 1).at(8, img.length_a).at(12, img.data_signature_a).at(16, img.fw_signature_a);
    b.at(20, img.image_word).block(file, 84);
    EXPECT_EQ(w[1], b.b);
    const uint32_t declared_a[] = {512, 512, 76};
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(w[2 + k], b.word(0x00720100).at(4, declared_a[k]).block(file, img.data_a() + 512 * k).b);
    EXPECT_EQ(w[5], b.word(0x00740100).b);
    b.word(0x00710100).at(4, 0).at(8, img.length_b).at(12, img.data_signature_b).at(16, img.fw_signature_b).block(file, 84);
    EXPECT_EQ(w[6], b.b);
    const uint32_t declared_b[] = {512, 188};
    for (size_t k = 0; k < 2; ++k) EXPECT_EQ(w[7 + k], b.word(0x00720100).at(4, declared_b[k]).block(file, img.data_b() + 512 * k).b);
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

    EXPECT_EQ(sleeps_ms(s), (std::vector<int64_t>{1000, 5000, 1000, 5000, 5000}));
    const std::vector<std::string> part_lines = {
        "PerformFWUpgrade: firmware length 0x44c\n", "PerformFWUpgrade: data length 0x44c\n",
        "PerformFWUpgrade: firmware signature 0xa1a2a3a4\n", "PerformFWUpgrade: data signature 0xa5a6a7a8\n"};
    const int at = s.find(part_lines[0]);
    ASSERT_GE(at, 0);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(s.log()[size_t(at) + i].text, part_lines[i]);
    EXPECT_GE(s.find("PerformFWUpgrade: data length 0x2bc\n", at), at);
}

TEST(FirmwareHubST, TorvaneTwoPartImage) { expect_two_part_run(Kind::TorvaneST, 'I'); }
TEST(FirmwareHubST, QuilletTwoPartImage) { expect_two_part_run(Kind::Quillet, 'H'); }

TEST(FirmwareHubST, ThreePartsSendTheSecondTwice) {
    TempDir dir;
    fwtest::TwoPart img;
    img.count = 3;
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    sim::HubConfig c = hub(Kind::TorvaneST);
    c.firmware.st_parts = 3;
    s.attach(c);
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", file)}), 0);
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
    EXPECT_EQ(sleeps_ms(s), (std::vector<int64_t>{1000, 5000, 1000, 5000, 5000, 5000}));
}

TEST(FirmwareHubST, NoPartsSendsUpgradeAndFinalTriggerOnly) {
    for (int32_t count : {0, -1}) {
        TempDir dir;
        fwtest::TwoPart img;
        img.count = count;
        Scenario s;
        s.attach(hub(Kind::TorvaneST));
        ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", img.bytes())}), 0);
        const auto w = writes_from(s, 1);
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(slice(w[1], 0, 8), (std::vector<uint8_t>{0x00, 0x01, 0x73, 0x00, 0, 0, 0, 0}));
        EXPECT_EQ(fwtest::get32(w[1], 20), img.image_word);
    }
}

// --- reports ----------------------------------------------------------------------

TEST(FirmwareHubReport, LinePerStatus) {
    struct Case {
        uint8_t status, code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {0xE3, 0x05, "Hub will be reset with firmware status 0x5 ... Bootloader version 1.2.0-B\n"},
        {0x41, 0x07, "Hub upgrade failed with code 0x7... Firmware signature 0x12345678 - version 2.4.0-R\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        config.firmware.boot_status = c.status;
        config.firmware.boot_code = c.code;
        config.firmware.fw_signature = 0x12345678;
        s.attach(config);
        ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", fwtest::SinglePart{}.bytes())}), 0);
        EXPECT_EQ(s.texts()[s.texts().size() - 2], c.line);
    }
}

TEST(FirmwareHubReport, BootMessageWithoutNulStopsAtTheBuffer) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneAtmel);
    config.firmware.boot_message = std::string(600, 'x');
    s.attach(config);
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", fwtest::SinglePart{}.bytes())}), 0);
    EXPECT_TRUE(s.logged("INFO", "HUB-boot message: " + std::string(512, 'x')));
}

TEST(FirmwareHubReport, MissingBootMessageCostsTheReadLimit) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneAtmel);
    config.firmware.boot_message_enabled = false;
    s.attach(config);
    ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", fwtest::SinglePart{}.bytes())}), 0);
    EXPECT_EQ(s.find("HUB-boot message: ", 0), -1);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 536\n"));
    // Three silent reads of 536 bytes (5370 ms each) use up the 15000 ms;
    // then the 32.768 ms pause, then the boot information request.
    const auto& trace = s.platform.trace;
    auto boot_info = std::find_if(trace.begin(), trace.end(),
                                  [](const sim::TraceEntry& e) { return e.to_hub && e.bytes.size() == 536 && e.bytes[2] == '7'; });
    ASSERT_NE(boot_info, trace.end());
    EXPECT_EQ(boot_info->time - (boot_info - 1)->time, 16110 * kMs + 327680);
    EXPECT_TRUE(s.logged("INFO", "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xf1f2f3f4 - version 2.4.0-R\n"));
}

TEST(FirmwareHubReport, ProgressOnATerminalOnly) {
    std::string out_plain;
    for (bool terminal : {false, true}) {
        TempDir dir;
        Scenario s;
        s.platform.err_terminal = terminal;
        s.attach(hub(Kind::TorvaneAtmel));
        ASSERT_EQ(s.run({"-h", dir.write("hub.tfh", fwtest::SinglePart{}.bytes())}), 0);
        if (!terminal) {
            EXPECT_EQ(s.platform.err, "");
            out_plain = s.platform.out;
            continue;
        }
        EXPECT_EQ(s.platform.out.size(), out_plain.size());  // same texts; only the log's times differ
        EXPECT_NE(s.platform.err.find("\rSending firmware: chunk 3 of 3\n"), std::string::npos) << s.platform.err;
        EXPECT_NE(s.platform.err.find("Waiting 3.0 s"), std::string::npos);
        EXPECT_NE(s.platform.err.find("Waiting up to 15 s for the HUB-boot message"), std::string::npos);
    }
}

// --- refused images: nothing reaches the bootloader --------------------------------

struct Refusal {
    std::string name;
    Kind kind;
    std::vector<uint8_t> file;  // empty: no file at all
    std::string detail;         // the added line, "" for none
};

void expect_refused(const Refusal& r, const std::string& option = "-h") {
    SCOPED_TRACE(r.name);
    TempDir dir;
    Scenario s;
    s.attach(hub(r.kind));
    const std::string path = r.file.empty() ? dir.path("missing.tfh") : dir.write("image.tfh", r.file);
    EXPECT_EQ(s.run({option, path}), 25);
    const bool st = option == "-h" && r.kind != Kind::TorvaneAtmel;
    const std::string who = st ? "PerformFWUpgrade::_upgrade_st" : "PerformFWUpgrade::_upgrade_atmel";
    const int at = s.find(who + ": No valid file provided!\n");
    ASSERT_GE(at, 0);
    const auto log = s.log();
    EXPECT_EQ(log[size_t(at)].level, "ERROR");
    size_t next = size_t(at) + 1;
    if (!r.detail.empty()) {
        EXPECT_EQ(log[next].level, "ERROR");
        EXPECT_TRUE(has_prefix(log[next].text, "PerformFWUpgrade: Invalid image - " + r.detail)) << log[next].text;
        ++next;
    }
    EXPECT_EQ(log[next].text, std::string(option == "-h" ? "Something went wrong with HUB firmware-upgrade - error-code 25!!\n"
                                                         : "Something went wrong with Sensors firmware-upgrade - error-code 25!!\n"));
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

TEST(FirmwareHubRefusal, WrongTargetsInEveryDirection) {
    const std::vector<Refusal> cases = {
        {"S on Atmel", Kind::TorvaneAtmel, single('S'), ""},
        {"I on Atmel", Kind::TorvaneAtmel, single('I'), ""},
        {"H on ST Torvane", Kind::TorvaneST, two('H'), ""},
        {"S on ST Torvane", Kind::TorvaneST, two('S'), ""},
        {"I on Quillet", Kind::Quillet, two('I'), ""},
        {"S on Quillet", Kind::Quillet, two('S'), ""},
        {"variant D", Kind::TorvaneAtmel, single('H', 'D'), ""},
        {"not ZELS", Kind::TorvaneAtmel, bytes_of("ZELTBH and more bytes"), ""},
        {"five bytes", Kind::TorvaneAtmel, bytes_of("ZELSB"), ""},
        {"missing file", Kind::TorvaneAtmel, {}, ""},
        {"missing file, ST", Kind::TorvaneST, {}, ""},
    };
    for (const Refusal& r : cases) expect_refused(r);
}

TEST(FirmwareHubRefusal, VariantFIsAccepted) {
    TempDir dir;
    Scenario s;
    s.attach(hub(Kind::TorvaneAtmel));
    EXPECT_EQ(s.run({"-h", dir.write("hub.tfh", single('H', 'F'))}), 0);
}

TEST(FirmwareHubRefusal, HeadersReachingBeyondTheFile) {
    std::vector<uint8_t> offset = single('H');
    fwtest::put32(offset, 12, 0xFFFFFFF0);
    std::vector<uint8_t> length = single('H');
    fwtest::put32(length, 40 + 12, 0xFFFFFE00);
    std::vector<uint8_t> tiny = bytes_of("ZELSBH");
    tiny.resize(10, 0);
    std::vector<uint8_t> lengths = two('I');
    fwtest::put32(lengths, 68, 0x80000000);
    fwtest::put32(lengths, 72, 0x80000000);
    std::vector<uint8_t> short_two = slice(two('H'), 0, 595);
    const std::vector<Refusal> cases = {
        {"header offset", Kind::TorvaneAtmel, offset, "header at 0xfffffff0 with its first block ends beyond the file"},
        {"firmware length", Kind::TorvaneAtmel, length, "firmware length 0xfffffe00 from offset 0x238 ends beyond"},
        {"no header offset", Kind::TorvaneAtmel, tiny, "file of 10 bytes is too short"},
        {"part lengths", Kind::TorvaneST, lengths, "part data lengths 0x80000000 and 0x80000000 end beyond"},
        {"short two-part", Kind::Quillet, short_two, "file of 595 bytes is too short for the two-part header"},
    };
    for (const Refusal& r : cases) expect_refused(r);
}

TEST(FirmwareHubRefusal, PathOfMaximumLength) {
    TempDir dir;
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

// The file is read once: changing it during the upgrade changes nothing sent.
class ShrinkingPlatform : public sim::SimPlatform {
public:
    std::string path;
    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override {
        if (length == 104 && data[2] == 0x47) std::filesystem::resize_file(path, 600);
        return SimPlatform::port_write(h, data, length);
    }
};

TEST(FirmwareHubRefusal, FileChangedAfterReadingIsNotReadAgain) {
    TempDir dir;
    fwtest::SinglePart img;
    img.length = 5000;
    const std::vector<uint8_t> file = img.bytes();
    ShrinkingPlatform platform;
    platform.path = dir.write("hub.tfh", file);
    platform.attach(hub(Kind::TorvaneAtmel));
    std::vector<std::string> words{"zel_usb_interface", "-h", platform.path};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    USB_Logger::Discard();
    EXPECT_EQ(::run(3, argv.data(), platform), 0);
    USB_Logger::Discard();
    EXPECT_EQ(std::filesystem::file_size(platform.path), 600u);
    expect_single_transfer(platform.hub().config().firmware, img, file);
}

// --- a failure at every step ---------------------------------------------------------

struct StepFailure {
    std::string name;
    FaultRule rule;
    int result;
    std::string operation;  // as named in the report
    std::string second_line;
};

TEST(FirmwareHubFailure, EveryStepOfAnAtmelUpgrade) {
    auto on = [](uint32_t word, Fault::Type type, int occurrence = 0) {
        FaultRule r;
        r.word = word;
        r.occurrence = occurrence;
        r.fault.type = type;
        r.fault.index = 9;
        return r;
    };
    const std::string no_echo = "what(): read() failed - unexpected amount of bytes\n";
    const std::vector<StepFailure> cases = {
        {"start trigger", on(0x01391AAE, Fault::NoEcho), 28, "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()", no_echo},
        {"second chunk", on(0x00361AAE, Fault::EchoByteChanged, 1), 30, "PerformFWUpgrade::_upgrade_atmel in _sendFirmware()",
         "what(): write/read failed - differences between messages (tx, rx)\n"},
        {"boot information request", on(0x00371AAE, Fault::NoEcho), 33, "PerformFWUpgrade::_getBootInfo", no_echo},
        {"boot information reply", on(0x00371AAE, Fault::NoReply), 33, "PerformFWUpgrade::_getBootInfo",
         "what(): read() failed - HUB v2.0.0 with no feedback!\n"},
        {"final trigger", on(0x00391AAE, Fault::NoEcho), 29, "PerformFWUpgrade::_upgrade_atmel in _sendTrigger()", no_echo},
    };
    for (const StepFailure& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Scenario s;
        sim::HubConfig config = hub(Kind::TorvaneAtmel);
        config.faults.push_back(c.rule);
        s.attach(config);
        EXPECT_EQ(s.run({"-h", dir.write("hub.tfh", fwtest::SinglePart{}.bytes())}), c.result);
        const auto log = s.log();
        ASSERT_GE(log.size(), 3u);
        const size_t n = log.size();
        EXPECT_TRUE(has_prefix(log[n - 4].text, "USB CDC read/write interface: error calling \"" + c.operation +
                                                    "\" at src/PerformFWUpgrade:"))
            << log[n - 4].text;
        EXPECT_EQ(log[n - 3].text, c.second_line);
        EXPECT_EQ(log[n - 2].text, "Something went wrong with HUB firmware-upgrade - error-code " +
                                       std::to_string(c.result) + "!!\n");
        EXPECT_EQ(log[n - 1].text, "Closing com port\n");
    }
}

TEST(FirmwareHubFailure, HubThatDoesNotComeBackFromTheUpgradeRequest) {
    TempDir dir;
    Scenario s;
    sim::HubConfig config = hub(Kind::TorvaneST);
    config.refuse_opens_after_restart = 100;
    s.attach(config);
    EXPECT_EQ(s.run({"-h", dir.write("hub.tfh", two('I'))}), 31);
    EXPECT_TRUE(s.logged("ERROR", "what(): Virtual serial port not connected \n"));
    const auto log = s.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const scenario::LogEntry& e) {
        return has_prefix(e.text, "USB CDC read/write interface: error calling "
                                  "\"PerformFWUpgrade::_upgrade_st in _requestHUBUpgrade()\" at src/PerformFWUpgrade:");
    }));
    EXPECT_TRUE(s.logged("ERROR", "Something went wrong with HUB firmware-upgrade - error-code 31!!\n"));
    EXPECT_EQ(s.writes().size(), 2u);
}

}  // namespace
