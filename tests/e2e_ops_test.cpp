// The real zel_usb_interface against zel_hub_sim, once per operation, in real
// time: what the tool prints and logs, its exit code, and the bytes the
// stand-in received (its trace). The scenario of each run sets values the
// defaults do not have, so a report that shows them came over the wire. What
// each operation does in detail is proven in virtual time; these prove the
// real binary, the real port and the stand-in together.
//
// These cost what the protocol costs: every run opens the port for a second,
// a firmware upgrade waits for the HUB to restart (5 s) and for its
// bootloaders (3-10 s), and -log ends with a silent block read of 12.5 s.
// The data is kept small where it would only add time.
#include <gtest/gtest.h>

#include "tests/e2e_support.hpp"
#include "tests/firmware_support.hpp"

namespace {

using e2e::Bytes;
using e2e::concat;
using e2e::count;
using e2e::HubSim;
using e2e::le32;
using e2e::LogEntry;
using e2e::request;
using e2e::texts_at;
using e2e::ToolRun;
using e2e::written;

// The written bytes cut into requests, by the sizes a current-framing HUB
// expects: 540 for a request forwarded to the sensors, 536 for the
// bootloader forms (Atmel AE .., ST 0x0071-0x0074) and auto addressing, 104
// for the rest. A trace line may hold part of a request, so the cut is made
// on the bytes run together.
std::vector<Bytes> requests(const Bytes& all) {
    std::vector<Bytes> list;
    size_t at = 0;
    while (at + 4 <= all.size()) {
        const uint32_t word = le32(all, at);
        size_t size = 104;
        if (word == 0x00171500) {
            size = 540;
        } else if (all[at] == 0xAE || word == 0x00511500 || (word & 0xFFF0FFFF) == 0x00700100) {
            size = 536;
        }
        size = std::min(size, all.size() - at);
        list.emplace_back(all.begin() + long(at), all.begin() + long(at + size));
        at += size;
    }
    if (at < all.size()) list.emplace_back(all.begin() + long(at), all.end());
    return list;
}

// The words of the requests, in order (for a forwarded one, the word it carries).
std::vector<uint32_t> words(const std::vector<Bytes>& list) {
    std::vector<uint32_t> w;
    for (const Bytes& r : list) w.push_back(r.size() == 540 ? le32(r, 4) : le32(r, 0));
    return w;
}

// The chunks' declared lengths and their data, as the bootloader takes them.
struct Reassembled {
    std::vector<uint32_t> lengths;
    Bytes data;
};
Reassembled reassemble(const std::vector<Bytes>& list, uint32_t chunk_word, size_t skip = 0) {
    Reassembled r;
    for (const Bytes& b : list) {
        if (b.size() < skip + 536 || le32(b, skip) != chunk_word) continue;
        const uint32_t length = le32(b, skip + 4);
        r.lengths.push_back(length);
        const size_t n = std::min<size_t>(length, 512);
        r.data.insert(r.data.end(), b.begin() + long(skip + 24), b.begin() + long(skip + 24 + n));
    }
    return r;
}

// A successful run: exit 0, no ERROR line, and every logged text reached
// standard output too, in order (the driver prints more of its own in between).
void expect_clean(const ToolRun& run) {
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(texts_at(log, "ERROR").empty()) << run.log;
    size_t at = 0;
    for (const LogEntry& e : log) {
        const size_t found = run.out.find(e.text, at);
        ASSERT_NE(found, std::string::npos) << "not on stdout in order: " << e.text << "\n" << run.out;
        at = found + e.text.size();
    }
}

TEST(E2EOps, HubInformation) {
    HubSim sim({}, "info.serial = E2E000000042\ninfo.fw_version = 0x02050341\ninfo.unique_id = 1 0x20 0x300 0xabcdef\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim);
    expect_clean(run);
    // Logged by the command, then the full report of the driver.
    EXPECT_EQ(count(run.out, "Unique ID number for HUB is: \n\t0x120300abcdef \n"), 2u) << run.out;
    EXPECT_NE(run.out.find("\tHUB firmware version v2.5.3-A build on "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\tHUB serial number: E2E000000042\nProduction data:\n"), std::string::npos) << run.out;
    EXPECT_TRUE(texts_at(e2e::parse_log(run.log), "WARNING").empty()) << run.log;
    EXPECT_EQ(written(sim), concat({request(0), request(0x00630100)}));
}

TEST(E2EOps, SensorInformation) {
    // 20 sensors fill most of the 1250-byte block: a short block ends with a
    // read of the missing bytes that lasts 10 ms for each of them.
    HubSim sim({}, "info.sensors = 20\ninfo.sensor.3.build_number = 4242\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-sinfo"}, sim);
    expect_clean(run);
    EXPECT_NE(run.out.find("Collected firmware information for 20 sensors\n"), std::string::npos) << run.out;
    EXPECT_EQ(count(run.out, "Sensor with addr 0x"), 20u);
    EXPECT_EQ(count(run.out, "    Build number: dec=4242 - hex=0x1092\n"), 1u) << run.out;
    EXPECT_EQ(texts_at(e2e::parse_log(run.log), "WARNING"),
              std::vector<std::string>{"zel_usb_cdc_interface::read_port(): Warning! Length missmatch 1204 == 1250\n"});
    EXPECT_LT(run.seconds, 5.0);
    EXPECT_EQ(written(sim), concat({request(0), request(0x00431500)}));
}

TEST(E2EOps, LogFile) {
    // 2 + 26 x 48 bytes: exactly one full block, then the silent one.
    const std::string line = "00:00:01.250 e2e: a line of forty-eight bytes.\r\n";
    HubSim sim({}, "info.log_text = 00:00:01.250 e2e: a line of forty-eight bytes.\\r\\n\ninfo.log_repeat = 26\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-log"}, sim);
    expect_clean(run);
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(e2e::logged(log, "INFO", "LOG-file: Length 1250\n")) << run.log;
    EXPECT_EQ(count(run.log, "INFO: LOG-file: " + line.substr(0, 46) + "\r\n"), 26u) << run.log;
    EXPECT_EQ(texts_at(log, "WARNING"),
              std::vector<std::string>{"zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 1250\n"});
    EXPECT_GE(run.seconds, 13.5);  // the port's second, 500 ms, the silent 12.51 s
    EXPECT_EQ(written(sim), concat({request(0), Bytes{'?', ' ', 'l', 'o', 'g', '\r'}}));
}

TEST(E2EOps, SelfTestOnAnStTorvaneGoesOnAfterAFailedStep) {
    HubSim sim({}, "selftest.step.00241300.code = 7\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-stest"}, sim);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_EQ(texts_at(log, "ERROR"), (std::vector<std::string>{"Test error step 2\n", "Return code: 7\n"}));
    EXPECT_TRUE(e2e::logged(log, "INFO", "Self-test complete.\n")) << run.log;
    EXPECT_EQ(written(sim), concat({request(0), request(0x00010100), request(0x00241300), request(0x00103300)}));
}

TEST(E2EOps, NetworkReadWriteReadRoundTrip) {
    HubSim sim({}, "network.ssid = Bench & Co\nnetwork.channel = 6\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    e2e::TempDir files;
    const std::string first = files.path() + "/first.xml", second = files.path() + "/second.xml",
                      back = files.path() + "/back.xml";

    expect_clean(e2e::run_tool({"-r", first}, sim));
    std::string xml = e2e::read_text(first);
    const std::string ssid = "\t<SSID>Bench &amp; Co</SSID>\n", channel = "\t<CHANNEL_NO>6</CHANNEL_NO>\n";
    ASSERT_NE(xml.find(ssid), std::string::npos) << xml;
    ASSERT_NE(xml.find(channel), std::string::npos) << xml;

    // The same file with another network: written, it must come back as it is.
    xml.replace(xml.find(ssid), ssid.size(), "\t<SSID>E2E &lt;ok&gt;</SSID>\n");
    xml.replace(xml.find(channel), channel.size(), "\t<CHANNEL_NO>11</CHANNEL_NO>\n");
    e2e::write_text(second, xml);
    expect_clean(e2e::run_tool({"-w", second}, sim));
    expect_clean(e2e::run_tool({"-r", back}, sim));
    EXPECT_EQ(e2e::read_text(back), xml);

    // Three runs, each with its probe: read, write (the new SSID at 40), read.
    const std::vector<Bytes> list = requests(written(sim));
    ASSERT_EQ(words(list), (std::vector<uint32_t>{0, 0x00491900, 0, 0x00501900, 0, 0x00491900}));
    EXPECT_EQ(std::string(list[3].begin() + 40, list[3].begin() + 72), std::string("E2E <ok>") + std::string(24, '\0'));
    EXPECT_EQ(list[1], request(0x00491900));  // a read carries no record
}

TEST(E2EOps, ScanPrintsTheAccessPoints) {
    HubSim sim({}, "network.ap = 6 3 200 1 E2E-Lab\nnetwork.ap = 36 4 180 1 E2E 5G\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-rs", "6"}, sim);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nDual-band - Channel 6\nScanning: Dual-band - Channel 6\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Number of access points found 2\n"
                           "\t Access Point 0:\n\t\t SSID E2E-Lab\n\t\t RF_CHANNEL 6\n\t\t SECURITY_MODE 3\n"
                           "\t\t RSSI_VAL 200\n\t\t NETWORK_TYPE 1\n"
                           "\t Access Point 1:\n\t\t SSID E2E 5G\n\t\t RF_CHANNEL 36\n\t\t SECURITY_MODE 4\n"
                           "\t\t RSSI_VAL 180\n\t\t NETWORK_TYPE 1\n"),
              std::string::npos)
        << run.out;
    Bytes scan = request(0x00791900);
    scan[4] = 2;  // dual band
    scan[8] = 6;  // channel
    EXPECT_EQ(written(sim), concat({request(0), scan}));
}

TEST(E2EOps, HubUpgradeOnAnStTorvane) {
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    fwtest::TempDir dir;
    const fwtest::TwoPart image;  // parts of 1100 and 700 bytes
    const Bytes file = image.bytes();
    const ToolRun run = e2e::run_tool({"-h", dir.write("hub.tfh", file)}, sim);
    expect_clean(run);
    EXPECT_EQ(count(run.log, "INFO: HUB-boot message: HUB bootloader: image written, checksum OK\r\n"), 2u) << run.log;
    EXPECT_TRUE(e2e::logged(e2e::parse_log(run.log), "INFO",
                            "Hub is running OK ... Bootloader version 1.2.0-B. Firmware signature 0xb1b2b3b4 - "
                            "version 2.4.0-R\n"))
        << run.log;
    EXPECT_GE(run.seconds, 17.0);  // two openings, the 5 s reconnect, 5 s for each part

    const std::vector<Bytes> list = requests(written(sim));
    const std::vector<uint32_t> expected{0,          0x00471A00, 0x00710100, 0x00720100, 0x00720100, 0x00720100,
                                         0x00740100, 0x00710100, 0x00720100, 0x00720100, 0x00740100, 0x00730100};
    ASSERT_EQ(words(list), expected);
    // The first part sent is the one stored last in the file (selector 1).
    EXPECT_EQ(le32(list[2], 4), 1u);
    EXPECT_EQ(le32(list[2], 8), image.length_a);
    EXPECT_EQ(le32(list[7], 4), 0u);
    EXPECT_EQ(le32(list[7], 8), image.length_b);
    const Reassembled a = reassemble(std::vector<Bytes>(list.begin() + 3, list.begin() + 6), 0x00720100);
    const Reassembled b = reassemble(std::vector<Bytes>(list.begin() + 8, list.begin() + 10), 0x00720100);
    EXPECT_EQ(a.lengths, (std::vector<uint32_t>{512, 512, 76}));
    EXPECT_EQ(b.lengths, (std::vector<uint32_t>{512, 188}));
    EXPECT_EQ(a.data, fwtest::slice(file, image.data_a(), image.length_a));
    EXPECT_EQ(b.data, fwtest::slice(file, image.data_b(), image.length_b));
    // The HUB left the bus after the upgrade request, came back, and the tool opened it again.
    const std::vector<std::string> e = e2e::events(sim);
    const auto off = std::find_if(e.begin(), e.end(), [](const std::string& t) { return t.rfind("off the bus", 0) == 0; });
    const auto on = std::find(off, e.end(), "on the bus as ttyACM0");
    ASSERT_NE(on, e.end());
    EXPECT_NE(std::find(on, e.end(), "opened"), e.end());
}

TEST(E2EOps, SensorUpgradeOnAnStTorvane) {
    HubSim sim;  // 17 sensors running their firmware
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    fwtest::TempDir dir;
    fwtest::SinglePart image = fwtest::sensor_image();
    image.length = 1500;
    const Bytes file = image.bytes();
    const ToolRun run = e2e::run_tool({"-s", dir.write("sensors.tfs", file)}, sim);
    expect_clean(run);
    EXPECT_EQ(count(run.out, " is running OK ... Calibration status 0xc0000"), 17u) << run.out;
    EXPECT_NE(run.out.find("Sensor with addr 0x20 is running OK ... Calibration status 0xc000010 signature 0xf1f2f3f4 "
                           "- version 1.5.0-B\n"),
              std::string::npos)
        << run.out;

    const std::vector<Bytes> list = requests(written(sim));
    // Sensor count, the upgrade request, then the sensors' bootloader behind
    // 00 15 17 00 (start trigger, chunks), and auto addressing.
    ASSERT_EQ(words(list), (std::vector<uint32_t>{0, 0x00191500, 0x00481500, 0x013915AE, 0x003615AE, 0x003615AE,
                                                  0x003615AE, 0x00511500}));
    for (size_t i = 3; i <= 6; ++i) EXPECT_EQ(list[i].size(), 540u) << i;
    EXPECT_EQ(le32(list[3], 4 + 8), image.length);
    const Reassembled got = reassemble(list, 0x003615AE, 4);
    EXPECT_EQ(got.lengths, (std::vector<uint32_t>{512, 512, 476}));
    EXPECT_EQ(got.data, fwtest::slice(file, image.data(), image.length));
}

}  // namespace
