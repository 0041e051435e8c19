#include <gtest/gtest.h>

#include <algorithm>

#include "scenario.hpp"
#include "src/GetHUBInformation.hpp"

namespace {

using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::HubConfig;
using sim::Kind;

constexpr uint32_t kInfoWord = 0x00630100;
constexpr int64_t kMs = sim::kTicksPerMs;

// A HUB whose answers exercise the formatting: words without leading zeros,
// 16-bit patch fields and device times at both ends of the 32-bit range.
HubConfig odd_hub(Kind kind = Kind::TorvaneST) {
    HubConfig c;
    c.kind = kind;
    c.info.unique_id = {0x1, 0x23, 0x0, 0xabcdef};
    c.info.fw_version = 0x02010341;          // 2.1.3-A
    c.info.bootloader_version = 0x01000042;  // 1.0.0-B
    c.info.usb_api_version = 0x0200000a;
    c.info.wifi_api_version = 0x01041234;
    c.info.bluetooth_api_version = 0x0300ffff;
    c.info.serial = "ABCDEFGHIJKL";  // the whole field, and no zero follows in the reply
    c.info.prod_assy = 0x00a43201;
    c.info.prod_board_id = 0xb0a3;
    c.info.prod_date = 0x20241105;
    c.info.prod_epoch = 0;
    c.info.build_time = 0xffffffff;  // taken as unsigned: far in the future
    return c;
}

// Standard output from the command's creation line on.
std::string report_of(const Scenario& s) {
    const std::string& out = s.platform.out;
    const size_t at = out.find("Creating object GetHUBInformation\n");
    return at == std::string::npos ? out : out.substr(at);
}

int count_of(const Scenario& s, const std::string& text) {
    const auto log = s.log();
    return int(std::count_if(log.begin(), log.end(), [&](const auto& e) { return e.text == text; }));
}

TEST(InfoHub, ShortReportThenFullReportByteExact) {
    Scenario s;
    s.attach(odd_hub());
    ASSERT_EQ(s.run({"-hinfo"}), 0);
    const char* const short_report =
        "Unique ID number for HUB is: \n"
        "\t0x1230abcdef \n"
        "\tHUB bootloader version v1.0.0-B \n"
        "\tHUB firmware version v2.1.3-A build on 2106-02-07 06:28 +0000\n"
        "\tUSB API version v2.0.10 \n"
        "\tWIFI API version v1.4.4660 \n";
    const std::string expected = std::string(
        "Creating object GetHUBInformation\n"
        "CDC-interface: A Torvane detected... \n"
        "CDC-interface: No port-name provided... \n"
        "CDC-interface: Connecting to 'COM3'\n"
        "Opening COM port\n"
        "Checking hub version...\n"
        "HUB version 2.0.0 or higher!!\n") +
        short_report + short_report +
        "\tBLUETOOTH API version v3.0.65535 \n"
        "\tHUB serial number: ABCDEFGHIJKL\n"
        "Production data:\n"
        "\tprod_assy 0xa43201\n"
        "\tprod_board_id 0xb0a3\n"
        "\tprod_date 0x20241105\n"
        "\tprod_epoch 1970-01-01 00:00 +0000\n"
        "Closing com port\n";
    EXPECT_EQ(report_of(s), expected);
    // Only the short report goes to the log file; the full one is printed.
    EXPECT_EQ(count_of(s, "\tHUB serial number: ABCDEFGHIJKL\n"), 0);
    EXPECT_EQ(count_of(s, "\t0x1230abcdef \n"), 1);

    const auto writes = s.writes();
    ASSERT_EQ(writes.size(), 2u);  // the probe, then the request
    EXPECT_EQ(writes[1], scenario::request({0x00, 0x01, 0x63, 0x00}));
    EXPECT_EQ(s.hub().config().info.info_requests, 1);
    // Opening, then the echo pauses of the probe and of the request.
    const auto& waits = s.platform.waits;
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(waits[0].kind, sim::Wait::Sleep);
    EXPECT_EQ(waits[0].duration, 1000 * kMs);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(waits[i].kind, sim::Wait::Timer);
        EXPECT_EQ(waits[i].duration, 163200);
    }
    EXPECT_EQ(s.platform.open_handles(), 0u);
}

TEST(InfoHub, BootInformationOnAQuilletUsesTheBootRequest) {
    HubConfig c = odd_hub(Kind::Quillet);
    c.info.bootloader_version = 0x01020342;  // 1.2.3-B
    c.info.prod_assy = 0x00c0ffee;
    Scenario s;
    s.attach(c);
    ASSERT_EQ(s.run({"-hinfo", "-boot"}), 0);
    const auto writes = s.writes();
    ASSERT_EQ(writes.size(), 1u);  // a Quillet is not probed
    EXPECT_EQ(writes[0], scenario::request({0x00, 0x01, 0x87, 0x00}));
    EXPECT_EQ(s.hub().config().info.boot_requests, 1);
    const char* const boot_report =
        "HUB boot information:\n"
        "\tHUB bootloader version v1.2.3-B \n"
        "\tHUB prod assy: 0x00c0ffee\n";
    EXPECT_EQ(report_of(s), std::string("Creating object GetHUBInformation\n"
                                        "CDC-interface: A Quillet detected... \n"
                                        "CDC-interface: No port-name provided... \n"
                                        "CDC-interface: Connecting to 'COM3'\n"
                                        "Opening COM port\n"
                                        "HUB version 2.0.0 or higher!!\n") +
                                boot_report + boot_report + "Closing com port\n");
}

TEST(InfoHub, BootInformationElsewhereSendsTheNormalRequestAndReadsIdentifierWords) {
    for (const bool legacy : {false, true}) {
        for (const Kind kind : {Kind::TorvaneAtmel, Kind::TorvaneST}) {
            HubConfig c = odd_hub(kind);
            c.legacy = legacy;
            c.info.unique_id = {0x11, 0x22, 0x0000abcd, 0x04050658};  // words 2 and 3
            Scenario s;
            s.attach(c);
            ASSERT_EQ(s.run({"-hinfo", "-boot"}), 0) << legacy << int(kind);
            EXPECT_EQ(s.writes().back(), legacy ? scenario::request({0xAE, 0x00, 0x63, 0x00})
                                                : scenario::request({0x00, 0x01, 0x63, 0x00}));
            EXPECT_EQ(s.hub().config().info.boot_requests, 0);
            EXPECT_EQ(count_of(s, "\tHUB bootloader version v4.5.6-X \n"), 1);
            EXPECT_EQ(count_of(s, "\tHUB prod assy: 0x0000abcd\n"), 1);
            const std::string out = s.platform.out;
            EXPECT_NE(out.find("HUB boot information:\n\tHUB bootloader version v4.5.6-X \n"
                               "\tHUB prod assy: 0x0000abcd\nClosing com port\n"),
                      std::string::npos);
            EXPECT_EQ(out.find("Unique ID number"), std::string::npos);
        }
    }
}

// The failure lines after the connection, and nothing printed from the record.
struct Failure {
    Fault fault;
    bool legacy;
    int code;
    std::vector<std::string> lines;
    uint8_t legacy_marker = 0xAE;
};

TEST(InfoHub, FailuresGiveTheirResultsAndLines) {
    const std::string call = "USB CDC read/write interface: error calling \"GetHUBInformation::RunCommand\" at ";
    const std::string no_answer = "No answer from HUB - Unique ID and firmware versions set to zero\n";
    const std::vector<Failure> cases = {
        {{Fault::ShortReply, 0, 50}, false, 11,
         {"zel_usb_cdc_interface::read_port(): Warning! Length missmatch 50 == 104\n", call,
          "what(): read() failed - HUB v2.0.0 with no feedback!\n", no_answer,
          "Something went wrong getting HUB info - error-code 11\n"}},
        {{Fault::StatusOnly, 0, 0, 0x0000beef}, false, 11,
         {"zel_usb_cdc_interface::read_port(): Warning! Length missmatch 4 == 104\n",
          "Command::_receive_message: What() Error in command issued -> status 0xbeef\n", call,
          "what(): read() failed - HUB v2.0.0 read feedback in previous line!\n", no_answer,
          "Something went wrong getting HUB info - error-code 11\n"}},
        {{Fault::ShortReply, 0, 103}, true, 11,
         {"zel_usb_cdc_interface::read_port(): Warning! Length missmatch 103 == 104\n", call,
          "what(): read() failed - unexpected amount of bytes\n", no_answer,
          "Something went wrong getting HUB info - error-code 11\n"}},
        {{Fault::EchoByteChanged, 57}, false, 10,
         {call, "what(): write/read failed - differences between messages (tx, rx)\n",
          "Something went wrong getting HUB info - error-code 10\n"}},
        {{Fault::NoEcho}, false, 10,
         {"zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 104\n", call,
          "what(): read() failed - unexpected amount of bytes\n",
          "Something went wrong getting HUB info - error-code 10\n"}},
        // A legacy reply without its marker.
        {{Fault::None}, true, 11,
         {call, "what(): write/read failed - differences between messages (tx, rx)\n", no_answer,
          "Something went wrong getting HUB info - error-code 11\n"},
         0xAF},
    };
    for (const Failure& f : cases) {
        HubConfig c = odd_hub();
        c.legacy = f.legacy;
        c.info.legacy_marker = f.legacy_marker;
        c.faults.push_back({1, std::nullopt, 0, f.fault});  // the request after the probe
        Scenario s;
        s.attach(c);
        EXPECT_EQ(s.run({"-hinfo"}), f.code) << f.fault.type;
        auto texts = s.texts();
        const auto from = std::find(texts.begin(), texts.end(),
                                    f.legacy ? "HUB with legacy version\n" : "HUB version 2.0.0 or higher!!\n");
        ASSERT_NE(from, texts.end());
        std::vector<std::string> after(from + 1, texts.end());
        ASSERT_EQ(after.size(), f.lines.size() + 1) << f.fault.type;
        for (size_t i = 0; i < f.lines.size(); ++i) {
            if (f.lines[i] == call) {
                EXPECT_EQ(after[i].rfind(call + "src/GetHUBInformation:", 0), 0u) << after[i];
            } else {
                EXPECT_EQ(after[i], f.lines[i]) << f.fault.type;
            }
        }
        EXPECT_EQ(after.back(), "Closing com port\n");
        EXPECT_TRUE(s.logged("ERROR", f.lines.back()));
        EXPECT_EQ(s.platform.out.find("Unique ID number"), std::string::npos);
    }
}

}  // namespace
