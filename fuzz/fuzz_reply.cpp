// The reply harnesses: the HUB model runs as usual, but its replies to the
// requests a harness matches are the fuzzer's records (fuzz/support.hpp
// gives the input format). This file is built once per harness, with
// ZEL_REPLY_HARNESS naming it. Unless a harness says otherwise, setup bits
// 0-1 pick the HUB kind (0 Atmel Torvane, 1 Quillet, 2 ST Torvane) and bit 2
// legacy firmware.
#include <string_view>

#include "fuzz/support.hpp"

namespace {
using namespace zfuzz;
using Bytes = std::span<const uint8_t>;

const auto word_of = [](Bytes b) { return b.size() < 4 ? 0 : b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24; };
// The legacy and bootloader framing: AE xx CODE xx.
const auto is_form = [](Bytes b, uint8_t code) { return b.size() >= 4 && b[0] == 0xAE && b[2] == code; };

void put_sensors_image(ReplyPlatform& p, sim::HubConfig& c, char variant, bool from_boot) {
    static const std::string images[] = {single_part_image('B', 'S', 400), single_part_image('F', 'S', 400)};
    p.files["sensors.tfs"].content = images[variant == 'F'];
    for (sim::UpgradeSensor& s : c.firmware.sensors) s.in_boot |= from_boot;
}

// Sets the HUB, its files and `match` up from the setup bytes; the tool's arguments.
Args set_up(ReplyPlatform& p, std::string_view harness) {
    const uint8_t s = p.setup, s2 = p.setup2;
    sim::HubConfig c = hub_config(s & 3, s & 4);
    if (harness == "hub_info") {
        // -hinfo, or -hinfo -boot (setup bit 3): the HUB information reply
        // in both framings, and the Quillet's boot information reply.
        p.attach(c);
        p.match = [](Bytes b) {
            return b.size() == 104 && (word_of(b) == 0x00630100 || word_of(b) == 0x00870100 || is_form(b, 0x63));
        };
        return s & 8 ? Args{"-hinfo", "-boot"} : Args{"-hinfo"};
    }
    if (harness == "sensor_block") {
        // -sinfo: the streamed block of sensor records. setup2: sensors
        // wired to the model (mod 34).
        c.info.sensors = sim::InfoArea::default_sensors(s2 % 34);
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 104 && word_of(b) == 0x00431500; };
        return {"-sinfo"};
    }
    if (harness == "log_text") {
        // -log: the text after "? log" and its carriage return. setup2 bits
        // 0-1: the model's log (default, empty, over 8000 bytes, in
        // pieces); bits 5-7: the text is sent 1-8 times over, so that
        // inputs of a few kilobytes reach past the tool's buffer.
        if ((s2 & 3) == 1) c.info.log_text.clear();
        if ((s2 & 3) == 2) c.info.log_repeat = 80;
        if ((s2 & 3) == 3) c.info.log_piece = 100, c.info.log_gap_ms = 300;
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 1 && b[0] == '\r'; };
        if (!p.replies.empty()) {
            std::string& text = p.replies.front().bytes;
            const std::string once = text;
            for (int i = 0; i < (s2 >> 5); ++i) text += once;
        }
        return {"-log"};
    }
    if (harness == "boot_info") {
        // -h: the HUB-boot message after the last chunk of each part and
        // the boot information reply, in turn. One chunk per part: an Atmel
        // HUB gets a single-part image, the others a two-part one.
        static const std::string images[] = {single_part_image('B', 'H', 300), two_part_image('H', 2, 200, 300),
                                             two_part_image('I', 2, 200, 300)};
        p.files["hub.tfh"].content = images[(s & 3) % 3];
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 536 && (word_of(b) == 0x00720100 || word_of(b) == 0x00740100); };
        if (c.kind == sim::Kind::TorvaneAtmel) {
            p.match = [](Bytes b) { return b.size() == 536 && (is_form(b, '6') || is_form(b, '7')); };
        }
        return {"-h", "hub.tfh"};
    }
    if (harness == "sensor_count") {
        // -s, or -sb (setup bit 0), through an ST Torvane, legacy by setup
        // bit 1: the reply to the sensor-count request; the upgrade then
        // goes on.
        c = hub_config(2, s & 2);
        put_sensors_image(p, c, 'B', s & 1);
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 104 && word_of(b) == 0x00191500; };
        return {s & 1 ? "-sb" : "-s", "sensors.tfs"};
    }
    if (harness == "auto_addressing") {
        // -s, or -sb (setup bit 3): the auto-addressing reply and the sensor
        // entries behind it (split and gap place the entries). setup2 bits
        // 0-1: sensors on the model (17, 19, 33, 1).
        static constexpr int kSensors[] = {17, 19, 33, 1};
        c.firmware.sensors = sim::FirmwareArea::default_sensors(kSensors[s2 & 3]);
        put_sensors_image(p, c, 'F', s & 8);
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 536 && (word_of(b) == 0x00511500 || is_form(b, 'Q')); };
        return {s & 8 ? "-sb" : "-s", "sensors.tfs"};
    }
    if (harness == "scan_list") {
        // -rs: the scan's list of access points. setup2 bits 0-4: the
        // channel; bits 5-6: band 0, 1, 2 or none given.
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 104 && (word_of(b) == 0x00791900 || is_form(b, 0x79)); };
        if ((s2 >> 5 & 3) == 3) return {"-rs", std::to_string(s2 & 0x1F)};
        return {"-rs", std::to_string(s2 & 0x1F), std::to_string(s2 >> 5 & 3)};
    }
    if (harness == "selftest") {
        // -stest: every framed reply but the probe's (safe mode, the version
        // step, each step, leaving safe mode); the restarts stay the
        // model's. No legacy bit. setup2 bits 0-1: the model's outcome (all
        // pass, a step fails, another self-test version).
        c = hub_config(s & 3, false);
        if ((s2 & 3) == 1) c.selftest.step(0x00241300).code = 7;
        if ((s2 & 3) == 2) c.selftest.version = 0x01000000;
        p.attach(c);
        p.match = [](Bytes b) { return b.size() == 104 && word_of(b) != 0; };
        return {"-stest"};
    }
    if (harness == "wifi_reply") {
        // -r, or -w (setup bit 3): the HUB's WiFi record, and its answer to
        // a new one.
        p.files["config.xml"].content = kNetworkXml;
        p.attach(c);
        p.match = [](Bytes b) {
            const uint32_t w = word_of(b);
            return b.size() == 104 && (w == 0x00491900 || w == 0x00501900 || is_form(b, 0x49) || is_form(b, 0x50));
        };
        return s & 8 ? Args{"-w", "config.xml"} : Args{"-r", "read.xml"};
    }
    fail("no reply harness of this name");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReplyPlatform platform(data, size);
    run_tool(platform, set_up(platform, ZEL_REPLY_HARNESS));
    return 0;
}
