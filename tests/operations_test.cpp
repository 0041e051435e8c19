// The read-only and configuration operations against HUB models: the bytes
// each sends, the waits it makes, and the texts it shows and logs.
#include <optional>

#include "tests/support.hpp"

namespace {

using t::Bench;
using t::Bytes;
using t::Fault;
using t::Kind;

// The reporter's head for a failure at a fixed place.
std::string at(const std::string& operation, const std::string& where) {
    return "USB CDC read/write interface: error calling \"" + operation + "\" at " + where + ".\n";
}

// --- HUB information ----------------------------------------------------------------------------------

sim::HubConfig odd_hub(Kind kind = Kind::TorvaneST, bool legacy = false) {
    sim::HubConfig c = t::hub(kind, legacy);
    c.info.unique_id = {0x1, 0x23, 0x0, 0xabcdef};
    c.info.fw_version = 0x02010341;          // 2.1.3-A
    c.info.bootloader_version = 0x01000042;  // 1.0.0-B
    c.info.usb_api_version = 0x0200000a;
    c.info.wifi_api_version = 0x01041234;
    c.info.bluetooth_api_version = 0x0300ffff;
    c.info.serial = "ABCDEFGHIJKL";  // the whole field, no zero behind it
    c.info.prod_board_id = 0xb0a3;
    c.info.prod_epoch = 0;
    c.info.build_time = 0xffffffff;  // unsigned: far in the future
    return c;
}

TEST(HubInformation, RequestByFramingAndKindAndTheBootReport) {
    struct Case {
        Kind kind;
        bool legacy;
        std::string args;
        uint32_t request;
        std::string report;
    };
    const std::string quillet =
        "HUB boot information:\n\tHUB bootloader version v1.2.3-B \n\tHUB prod assy: 0x00c0ffee\n";
    // Elsewhere the boot report shows words 2 and 3 of the identifier.
    const std::string boot =
        "HUB boot information:\n\tHUB bootloader version v0.171.205-\xef \n\tHUB prod assy: 0x00000000\n";
    for (const Case& c :
         std::vector<Case>{{Kind::Quillet, false, "-hinfo -boot", 0x00870100, quillet},
                           {Kind::TorvaneST, false, "-hinfo -boot", 0x00630100, boot},
                           {Kind::TorvaneAtmel, true, "-hinfo -boot", 0x006300AE, boot},
                           {Kind::TorvaneAtmel, true, "-hinfo", 0x006300AE, "\tHUB serial number: ABCDEFGHIJKL\n"}}) {
        sim::HubConfig hub = odd_hub(c.kind, c.legacy);
        hub.info.bootloader_version = 0x01020342;
        hub.info.prod_assy = 0x00c0ffee;
        Bench b(hub);
        ASSERT_EQ(b.run(t::words(c.args)), 0);
        EXPECT_EQ(b.writes().back(), t::request(c.request));
        EXPECT_NE(b.p.out.find(c.report), std::string::npos) << b.p.out;
        // A legacy HUB is told by the silence after the probe: 2 s.
        EXPECT_EQ(b.logged("INFO", "HUB with legacy version\n"), c.legacy);
    }
    // The probe's answer decides: 2 bytes mean legacy, 4 bytes within 2 s current.
    for (const auto& [fault, legacy] :
         std::vector<std::pair<sim::Fault, bool>>{{{Fault::ShortReply, 0, 2}, true},
                                                  {{Fault::LateReply, 0, 0, 0, 1500}, false}}) {
        sim::HubConfig c = t::hub(Kind::TorvaneAtmel);
        c.faults.push_back(t::on_request(0, fault));
        Bench b(c);
        EXPECT_EQ(b.run({"-hinfo"}), legacy ? 11 : 0);
        EXPECT_EQ(b.logged("INFO", "HUB with legacy version\n"), legacy);
        EXPECT_EQ(b.writes().back(), t::request(legacy ? 0x006300AE : 0x00630100));
    }
}

// --- sensor information -----------------------------------------------------------------------------

TEST(SensorInformation, LegacySilentAndUnechoed) {
    Bench legacy(t::hub(Kind::TorvaneAtmel, true));
    EXPECT_EQ(legacy.run({"-sinfo"}), 71);
    EXPECT_EQ(legacy.writes().size(), 1u);  // the probe only

    sim::HubConfig c = t::hub();
    c.info.sensor_block_length = 0;
    c.faults.push_back(t::on_word(0x00431500, {Fault::NoReply}));
    Bench silent(c);
    EXPECT_EQ(silent.run({"-sinfo"}), 73);
    EXPECT_TRUE(silent.logged("ERROR",
                              "GetSensorsInformation class: error calling \"GetSensorsInformation::RunCommand\" "
                              "at src/GetSensorsInformation:35.\n"));
    EXPECT_TRUE(silent.logged("ERROR", "what(): _read_port() failed - zero bytes received\n"));

    c.faults = {t::on_word(0x00431500, {Fault::NoEcho})};
    Bench unechoed(c);
    EXPECT_EQ(unechoed.run({"-sinfo"}), 72);
    EXPECT_TRUE(unechoed.logged("ERROR", at("GetSensorsInformation::RunCommand", "src/GetSensorsInformation:28")));
    EXPECT_TRUE(unechoed.logged("ERROR", "Something went wrong reading Sensors information - error-code 72!!\n"));
}

// --- the HUB's log --------------------------------------------------------------------------------

TEST(HubLog, TypedCommandBlocksAndLines) {
    sim::HubConfig c = t::hub();
    c.info.log_text = "line one\r\nline two";
    Bench b(c);
    ASSERT_EQ(b.run({"-log"}), 0);
    const std::vector<Bytes> writes = b.writes();
    EXPECT_EQ(std::vector<Bytes>(writes.begin() + 1, writes.end()),
              (std::vector<Bytes>{{'?'}, {' '}, {'l'}, {'o'}, {'g'}, {'\r'}}));
    EXPECT_EQ(b.p.out.substr(b.p.out.find("zel_usb_cdc")),
              "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 20 == 1250\n"
              "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 1250\nLOG-file: Length 20\n"
              "LOG-file: line one\r\nLOG-file: line two\nReading LOG-file done!\nClosing com port\n"
              "Done: the HUB's log (20 bytes) was copied into this log. Nothing on the HUB was changed.\n");
    // Each character's echo pause, the HUB's 500 ms to start, then two empty blocks of 500 ms at most.
    EXPECT_EQ(b.p.waits.back().duration, 5000000);
    EXPECT_EQ(b.p.waits.size(), 1u + 1 + 6 + 1);

    // 8500 bytes: read to the end in 1250-byte blocks, counted whole, kept to 7999.
    c.info.log_prefix = "\r\n";
    c.info.log_text.clear();
    while (c.info.log_text.size() < 8498) c.info.log_text += std::string(48, 'a') + "\n";
    c.info.log_text.resize(8498);
    Bench big(c);
    ASSERT_EQ(big.run({"-log"}), 0);
    EXPECT_TRUE(big.logged("INFO", "LOG-file: Length 8500\n"));
    // 7997 characters after the line end: 163 lines of 48, then 10 of the next.
    EXPECT_EQ(big.count("LOG-file: " + std::string(48, 'a') + "\n"), 163);
    EXPECT_TRUE(big.logged("INFO", "LOG-file: " + std::string(10, 'a') + "\n"));
    EXPECT_EQ(big.count("zel_usb_cdc_interface::read_port(): Warning! Length missmatch 1000 == 1250\n"), 1);
}

TEST(HubLog, NothingOrOnlyALineEndAndAnUnechoedCharacter) {
    for (const std::string text : {"", "\r\n"}) {
        sim::HubConfig c = t::hub();
        c.info.log_prefix = "";
        c.info.log_text = text;
        Bench b(c);
        ASSERT_EQ(b.run({"-log"}), 0);
        EXPECT_TRUE(b.logged("INFO", "LOG-file: Length " + std::to_string(text.size()) + "\n"));
        EXPECT_EQ(b.p.out.find("LOG-file: \n"), std::string::npos);
    }
    sim::HubConfig c = t::hub();
    c.faults.push_back(t::on_request(3, {Fault::NoEcho}));  // 'l', the third character
    Bench b(c);
    EXPECT_EQ(b.run({"-log"}), 51);
    EXPECT_TRUE(b.logged("ERROR", "GetHUBLogFile::RunCommand: error -1 at src/GetHUBLogFile:34\n"));
    EXPECT_EQ(b.writes().size(), 4u);
}

// --- WiFi configuration -----------------------------------------------------------------------------

const std::string kOddXml =
    "<?xml version=\"1.0\" "
    "encoding=\"utf-8\"?>\n<NETWORK>\n\t<SSID>Caf&amp;Co</SSID>\n\t<PSK>p&lt;&gt;&apos;&quot;</PSK>\n"
    "\t<UNITY_ADDR>ABCD</UNITY_ADDR>\n\t<CHANNEL_NO>4294967295</CHANNEL_NO>\n\t<SERVERIP>192.0.2.10</SERVERIP>\n"
    "\t<DEVICEIP>10.0.0.255</DEVICEIP>\n\t<GATEWAY>0.0.0.0</GATEWAY>\n\t<PORT>65535</PORT>\n\t<DHCP>\n"
    "\t\t<Manual value=\"false\"/>\n\t\t<Automatic value=\"false\"/>\n\t</DHCP>\n\t<SECURITY_TYPE>\n"
    "\t\t<RSI_OPEN value=\"false\"/>\n\t\t<RSI_WPA value=\"false\"/>\n\t\t<RSI_WPA2 value=\"false\"/>\n"
    "\t\t<RSI_WEP value=\"false\"/>\n\t\t<RSI_WPA_EAP value=\"false\"/>\n\t\t<RSI_WPA2_EAP value=\"false\"/>\n"
    "\t\t<RSI_WPA_WPA2_MIXED value=\"false\"/>\n\t\t<RSI_WPA_PMK value=\"false\"/>\n\t\t<RSI_WPA2_PMK "
    "value=\"false\"/>\n"
    "\t\t<RSI_WPS_PIN value=\"false\"/>\n\t\t<RSI_USE_GENERATED_WPSPIN value=\"false\"/>\n"
    "\t\t<RSI_WPS_PUSH_BUTTON value=\"true\"/>\n\t</SECURITY_TYPE>\n\t<BAND>\n\t\t<RSI_BAND_2_4GHZ value=\"false\"/>\n"
    "\t\t<RSI_BAND_5GHZ value=\"false\"/>\n\t\t<RSI_DUAL_BAND value=\"true\"/>\n\t</BAND>\n</NETWORK>\n\n";

sim::HubConfig odd_network(bool legacy = false) {
    sim::HubConfig c = t::hub(Kind::TorvaneST, legacy);
    c.network.set_text(40, 32, "Caf&Co");
    c.network.set_text(72, 32, "p<>'\"");
    c.network.set_text(4, 4, "ABCD");
    const std::pair<size_t, uint32_t> words[] = {{8, 5},      {12, 4294967295u}, {16, 11}, {20, 0x0A0200C0},
                                                 {24, 65535}, {28, 0xFF00000A},  {32, 0},  {36, 2}};
    for (const auto& [offset, value] : words) c.network.set_word(offset, value);
    return c;
}

TEST(WifiConfiguration, ReadWritesTheRecordAsXmlAndNothingOnFailure) {
    for (const bool legacy : {false, true}) {
        Bench b(odd_network(legacy));
        b.put("net.xml", std::string("old"));
        ASSERT_EQ(b.run({"-r", "net.xml"}), 0);
        EXPECT_EQ(b.writes().back(), t::request(legacy ? 0x004900AE : 0x00491900));
        EXPECT_EQ(b.content("net.xml"), kOddXml);
    }
    // A refused reply leaves the old file; so do a read-only file and a folder.
    for (const auto& [fault, marker, read_only, result] :
         std::vector<std::tuple<Fault, uint8_t, bool, int>>{{{Fault::NoEcho}, 0xAE, false, 20},
                                                            {{Fault::ShortReply, 0, 103}, 0xAE, false, 21},
                                                            {{}, 0x00, false, 21},
                                                            {{}, 0xAE, true, 14}}) {
        sim::HubConfig c = odd_network(true);
        c.info.legacy_marker = marker;
        c.network.read_reply_word = uint32_t(marker);
        if (fault.type != Fault::None) c.faults.push_back(t::on_word(0x004900AE, fault));
        Bench b(c);
        b.put("net.xml", std::string("old"));
        b.p.files["net.xml"].read_only = read_only;
        EXPECT_EQ(b.run({"-r", "net.xml"}), result);
        EXPECT_EQ(b.content("net.xml"), "old");
        EXPECT_TRUE(b.logged("ERROR", "Something went wrong reading network configuration!! - error-code " +
                                          std::to_string(result) + "\n"));
        EXPECT_EQ(b.logged("ERROR", "Configuration file net.xml is read-only.\n"), read_only);
    }
}

TEST(WifiConfiguration, WriteSendsWhatTheFileSaysAndReturnsTheStatus) {
    // Written by another editor: a byte-order mark, CR LF, options by position, blanks kept in texts.
    const std::string xml =
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<!-- edited --><NETWORK><SSID> "
        "Lab</SSID><UNITY_ADDR>ABCDEF</UNITY_ADDR>"
        "<CHANNEL_NO> 011 </CHANNEL_NO><SERVERIP>192.0.2.300</SERVERIP><DEVICEIP>10.0.x.1</DEVICEIP><PORT>-1</PORT>"
        "<GATEWAY>1.2.3.4</GATEWAY><GATEWAY>5.6.7.8</GATEWAY><Other/><DHCP><Automatic value=\"true\"/><Manual "
        "value=\"true\"/></DHCP><SECURITY_TYPE>" +
        [] {
            std::string twelve;
            for (int i = 0; i < 12; ++i) twelve += "<O value=\"false\"/>";
            return twelve;
        }() +
        "<EXTRA value=\"true\"/></SECURITY_TYPE><BAND><X value=\"TRUE\"/><Y value=\"true \"/></BAND></NETWORK>";
    for (const bool legacy : {false, true}) {
        sim::HubConfig c = t::hub(Kind::TorvaneST, legacy);
        c.network.write_status = legacy ? 0 : 7;
        Bench b(c);
        b.put("net.xml", xml);
        EXPECT_EQ(b.run({"-w", "net.xml"}), legacy ? 0 : 7);
        ASSERT_EQ(b.hub().config().network.writes.size(), 1u);
        Bytes sent = b.writes().back();
        EXPECT_EQ(t::get32(sent, 0), legacy ? 0x005000AEu : 0x00501900u);
        sent.erase(sent.begin(), sent.begin() + 4);
        Bytes expected(100, 0);
        std::copy_n("ABCD", 4, expected.begin());
        const std::pair<size_t, uint32_t> words[] = {{8, 1},           {12, 11},         {16, 12},
                                                     {20, 0x2C0200C0}, {24, 0xFFFFFFFF}, {28, 0x0100000A},
                                                     {32, 0x08070605}, {36, 0}};
        for (const auto& [offset, value] : words) t::put32(expected, offset - 4, value);
        std::copy_n(" Lab", 4, expected.begin() + 36);
        EXPECT_EQ(sent, expected);
        // Every value a conversion changed is said; plain digits in blanks are not changed.
        const std::string in_file = "\" in the XML configuration file is sent as ";
        EXPECT_EQ(b.at("WARNING").rfind("UNITY_ADDR \"ABCDEF" + in_file + "\"ABCD\".\nSERVERIP \"192.0.2.300" +
                                            in_file + "192.0.2.44.\nDEVICEIP \"10.0.x.1" + in_file +
                                            "10.0.0.1.\nPORT \"-1" + in_file + "4294967295.\n",
                                        0),
                  0u)
            << b.at("WARNING");
        EXPECT_EQ(b.logged("ERROR", "Network configuration failed - status 7\n"), !legacy);
    }
}

TEST(WifiConfiguration, AFileThatCannotBeUsedNeverReachesTheHub) {
    const std::string groups =
        "<DHCP><a value=\"true\"/></DHCP><SECURITY_TYPE><a value=\"true\"/></SECURITY_TYPE>"
        "<BAND><a value=\"true\"/></BAND>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Unable to open configuration file net.xml.\n"},
        {"<NETWORK>", "The XML configuration file is not well-formed: unexpected end of data at byte 9.\n"},
        {"<OTHER/>", "Expecting root node NETWORK in the XML configuration file.\n"},
        {"<NETWORK><SECURITY_TYPE/><BAND/></NETWORK>", "Expecting DHCP as root node in the XML configuration file.\n"},
        {"<NETWORK><DHCP/><BAND/></NETWORK>", "Expecting SECURITY_TYPE as root node in the XML configuration file.\n"},
        {"<NETWORK><DHCP/><SECURITY_TYPE/></NETWORK>", "Expecting BAND as root node in the XML configuration file.\n"},
        {"<NETWORK><DHCP><a/></DHCP><SECURITY_TYPE/><BAND/></NETWORK>",
         "Expecting \"value\" as node attribute in the XML configuration file.\n"},
        {"<NETWORK><SSID>" + std::string(33, 's') + "</SSID>" + groups + "</NETWORK>",
         "SSID in the XML configuration file has 33 characters; at most 31 fit.\n"},
        {"<NETWORK><PSK>" + std::string(32, 'k') + "</PSK>" + groups + "</NETWORK>",
         "PSK in the XML configuration file has 32 characters; at most 31 fit.\n"},
        {"<NETWORK><GATEWAY>1.2.3</GATEWAY>" + groups + "</NETWORK>",
         "Malformed address \"1.2.3\" for GATEWAY in the XML configuration file.\n"},
        {"<NETWORK>" + std::string(4500 - 19, ' ') + "</NETWORK>",
         "Configuration file net.xml is too large (at most 4499 bytes).\n"},
    };
    for (const auto& [file, line] : cases) {
        Bench b(t::hub());
        if (!file.empty()) b.put("net.xml", file);
        EXPECT_EQ(b.run({"-w", "net.xml"}), 18) << line;
        EXPECT_TRUE(b.logged("ERROR", line)) << b.at("ERROR");
        EXPECT_EQ(b.p.opened, 0);  // judged before any port opens
    }
    Bench longest(t::hub());  // 4499 bytes, and a 31-character key with its terminator
    longest.put("net.xml", "<NETWORK><PSK>" + std::string(31, 'k') + "</PSK>" + groups + "</NETWORK>" +
                               std::string(4499 - 156 - 31, ' '));
    EXPECT_EQ(longest.run({"-w", "net.xml"}), 0) << longest.at("ERROR");
    EXPECT_EQ(longest.hub().config().network.text(72, 32), std::string(31, 'k'));
}

// --- WiFi scan -------------------------------------------------------------------------------------

TEST(WifiScan, OneEntryPerNameAtMostElevenAndTheRequestHead) {
    sim::HubConfig c = t::hub();
    c.network.access_points = {{1, 2, 3, 4, "A"}, {5, 6, 7, 8, "B"}, {9, 9, 9, 9, std::string("A\0xyz", 5)},
                               {1, 1, 1, 1, "a"}, {2, 2, 2, 2, ""},  {3, 3, 3, 3, ""},
                               {4, 4, 4, 4, "C"}, {5, 5, 5, 5, "D"}, {6, 6, 6, 6, "E"},
                               {7, 7, 7, 7, "F"}, {8, 8, 8, 8, "G"}, {9, 9, 9, 9, "H"}};
    c.network.scan_count = 200;  // taken as 11: "H" is never seen
    Bench b(c);
    EXPECT_EQ(b.run({"-rs", "6"}), 0);
    Bytes head = t::request(0x00791900);
    t::put32(head, 4, 2);
    t::put32(head, 8, 6);
    EXPECT_EQ(b.writes().back(), head);
    const size_t from = b.p.out.find("Number of access points");
    EXPECT_EQ(b.p.out.substr(0, b.p.out.find("Creating")).substr(b.p.out.find("\nDual")),
              "\nDual-band - Channel 6\nScanning: Dual-band - Channel 6\n");
    const std::string list =
        "Number of access points found 9\n\t Access Point 0:\n\t\t SSID A\n\t\t RF_CHANNEL 1\n\t\t SECURITY_MODE 2\n"
        "\t\t RSSI_VAL 3\n\t\t NETWORK_TYPE 4\n\t Access Point 1:\n\t\t SSID B\n\t\t RF_CHANNEL 5\n\t\t SECURITY_MODE 6"
        "\n\t\t RSSI_VAL 7\n";
    EXPECT_EQ(b.p.out.substr(from, list.size()), list);
    EXPECT_NE(b.p.out.find("\t Access Point 2:\n\t\t SSID a\n"), std::string::npos);
    EXPECT_NE(b.p.out.find("\t Access Point 3:\n\t\t SSID \n\t\t RF_CHANNEL 2\n"), std::string::npos);
    EXPECT_NE(b.p.out.find("\t Access Point 8:\n\t\t SSID G\n"), std::string::npos);

    Bench legacy(t::hub(Kind::TorvaneAtmel, true));  // band 1 goes in byte 1, channel 300 as 44 in byte 3
    EXPECT_EQ(legacy.run({"-rs", "300", "1"}), 0);
    EXPECT_EQ(legacy.writes().back(), t::request(0x2C7901AE));
    EXPECT_EQ(legacy.at("WARNING").rfind("The channel \"300\" is not a number from 0 to 20: channel 44 is sent\n", 0),
              0u);
    EXPECT_NE(legacy.p.out.find("Number of access points found 2\n"), std::string::npos);

    // A failed scan shows no access point, and exits with why; so does its record.
    c.faults.push_back(t::on_word(0x00791900, {Fault::ShortReply, 0, 513}));
    Bench silent(c);
    silent.p.env["ZEL_JSON"] = "run.json";
    EXPECT_EQ(silent.run({"-rs", "6", "x"}), 13);
    EXPECT_EQ(silent.at("WARNING").rfind("The band \"x\" is not a number from 0 to 2: band 0 is sent\n", 0), 0u);
    EXPECT_NE(silent.content("run.json").find("\"scan_result\": 13,"), std::string::npos);  // the reply failed
    EXPECT_NE(silent.p.out.find("\nBand 2.4GHz - Channel 6\n"), std::string::npos);
    EXPECT_NE(silent.p.out.find("Number of access points found 0\n"), std::string::npos);
    EXPECT_TRUE(silent.reported("ScanNetworksCommand::RunCommand", t::kNoFeedback));
    EXPECT_LT(silent.p.now_ms(), 1000 + 1200 + 20000 + 100);  // open, probe, the reply's 20 s and one read
}

// --- the sensor triggers ------------------------------------------------------------------------------

TEST(SensorTriggers, WrittenWithoutEchoThenThePortReopened) {
    for (const bool run_firmware : {true, false}) {
        sim::HubConfig c = t::hub();
        c.sensor_trigger_drops = true;
        Bench b(c);
        ASSERT_EQ(b.run({run_firmware ? "-srf" : "-sfb"}), 0);
        EXPECT_EQ(b.writes().back(), t::request(run_firmware ? 0x00181500 : 0x00481500));
        EXPECT_EQ(b.sleeps_ms(), (std::vector<int64_t>{1000, 5000, 1000}));
        const std::string sent = run_firmware ? "Trigger sensors to run firmware command sent!\r\n"
                                              : "Trigger to bootloader command sent!\r\n";
        EXPECT_EQ(
            b.p.out.substr(b.p.out.find("Creating")),
            "Creating object SimpleCommand:\n\tNo additional information to send\n\tNo additional feedback "
            "expected\nCDC-interface: A Torvane detected... \nCDC-interface: No port-name provided... \n"
            "CDC-interface: Connecting to 'COM3'\nOpening COM port\nChecking hub version...\nHUB version 2.0.0 or "
            "higher!!\nCDC-interface: Connected to 'COM3' (USB location 1-1)\nClosing com port\nOpening COM port\n" +
                sent + (run_firmware ? "Restart the suit!\r\n" : "") + "Closing com port\n" +
                (run_firmware ? "Done: the sensors were told to run their firmware. Restart the suit so that they "
                                "start it.\n"
                              : "Done: the sensors were sent into their bootloader. They wait there: run -sb with a "
                                "sensor image file to upgrade them, or -srf to start their firmware.\n"));
    }
    // Gone before the trigger could be written: 41. Back 8 s after it: found
    // at the fourth look. Gone for good after it: 41, after 20 looks. Back,
    // but its port never opens again: 41 in both timings.
    for (const auto& [absent_ms, gone_at_once, refusals, fast, result] :
         std::vector<std::tuple<int64_t, bool, int, bool, int>>{{-1, true, 0, false, 41},
                                                                {8000, false, 0, false, 0},
                                                                {-1, false, 0, false, 41},
                                                                {1500, false, 20, false, 41},
                                                                {1500, false, 20, true, 41}}) {
        sim::HubConfig c = t::hub();
        c.sensor_trigger_drops = true;
        c.reset_absent_ms = absent_ms;
        c.refuse_opens_after_restart = refusals;
        if (gone_at_once) c.faults.push_back(t::on_request(0, {Fault::Vanish, 0, 0, 0, -1}));
        Bench b(c);
        if (fast) b.p.env["ZEL_TIMING"] = "fast";
        EXPECT_EQ(b.run({"-sfb"}), result);
        EXPECT_EQ(b.count("Opening COM port\n"), result == 0 ? 2 : 1);
        EXPECT_EQ(b.reported("SimpleCommand::RunCommand", gone_at_once ? t::kWriteFailed : t::kNotConnected),
                  result == 41);
        if (result == 0 || gone_at_once || refusals > 0) continue;
        EXPECT_TRUE(b.logged("ERROR",
                             "CDC-interface: The HUB at 'COM3' (USB location 1-1) did not come back after "
                             "its restart\n"));
        EXPECT_EQ(b.sleeps_ms().size(), 21u);  // the open's, the restart's, then the other 19 looks
    }
}

// --- self-test ---------------------------------------------------------------------------------------

TEST(SelfTest, EachKindRunsItsStepsWithTheirLimits) {
    struct Case {
        Kind kind;
        std::vector<uint32_t> words;
        std::string announcement;
        std::vector<uint32_t> slow;  // the steps allowed 5 s, answered 3 s late
    };
    // Safe mode and the restart into it, the 32 steps, then out again.
    std::vector<uint32_t> quillet = {0x00501A00, 0x00990100};
    quillet.insert(quillet.end(), std::begin(t::kQuilletSteps), std::end(t::kQuilletSteps));
    quillet.insert(quillet.end(), {0x00511A00, 0x00993B00});
    for (const Case& c : std::vector<Case>{
             {Kind::TorvaneAtmel, {0x00010100, 0x00241300}, "Running Atmel-Torvane self-test.\n", {}},
             {Kind::TorvaneST, {0x00010100, 0x00241300, 0x00103300}, "Running ST-Torvane self-test.\n", {0x00103300}},
             {Kind::Quillet, quillet, "Running Quillets self-test.\n", {0x00143A00, 0x00503000}}}) {
        sim::HubConfig hub = t::hub(c.kind);
        for (const uint32_t word : c.slow) hub.faults.push_back(t::on_word(word, {Fault::LateReply, 0, 0, 0, 3000}));
        Bench b(hub);
        ASSERT_EQ(b.run({"-stest"}), 0) << b.at("ERROR");
        std::vector<uint32_t> words;
        for (const sim::Request& r : b.hub().requests()) {
            if (r.word != 0) words.push_back(r.word);
        }
        EXPECT_EQ(words, c.words);
        EXPECT_TRUE(b.logged("INFO", c.announcement));
        EXPECT_TRUE(b.logged("INFO", "Self-test complete.\n"));
        EXPECT_TRUE(b.logged("INFO", c.kind == Kind::TorvaneST ? "Version: v1.2.0\n" : "Version: v1.1.0\n"));
        EXPECT_TRUE(b.log().back().text.starts_with("Done: the self-test ran all ")) << b.log().back().text;
        const std::vector<int64_t> sleeps = b.sleeps_ms();
        EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 3000), 1);
        EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 5000), c.kind == Kind::Quillet ? 2 : 0);
        EXPECT_EQ(b.hub().config().selftest.safe_mode, false);
    }
}

TEST(SelfTest, FailedStepsVersionsAndRefusals) {
    struct Case {
        Kind kind;
        uint32_t word;  // the step that fails (0: none), with its code or the word its reply carries
        int32_t code;
        std::optional<uint32_t> reply_word, version;
        int result;
        std::vector<std::string> errors;
        bool to_bootloader, reaches_step_3;
    };
    const std::string to_boot = "Returning to bootloader!\n",
                      incompatible = "Self-test incompatible: 16842752 != 16908288\n";
    // A test that did not run, or ran with a failed step, is no success.
    const std::vector<Case> cases = {
        {Kind::TorvaneST, 0, 0, {}, 0x01010000, 803, {incompatible}, false, false},
        {Kind::TorvaneST, 0x00241300, 7, {}, {}, 802, {"Test error step 2\n", "Return code: 7\n"}, false, true},
        {Kind::TorvaneST, 0x00241300, 0, 0x1234, {}, 802, {"Error: 1234\n", "Connection error step 2\n"}, false, true},
        {Kind::TorvaneAtmel, 0x00010100, 0, 0x99, {}, 0x99, {"Error: 99\n", "Connection error step 1\n"}, false, false},
        {Kind::Quillet, 0x00143A00, 3, {}, {}, 802, {"Test error step 16\n", "Return code: 3\n", to_boot}, true, true},
        {Kind::Quillet, 0x00501A00, 0, 0x77, {}, 0x77, {"Error: 77\n"}, false, false},
        {Kind::TorvaneST, 0x00010100, 0, 0, {}, 801, {"Error: 0\n"}, false, false},  // no status is no success
    };
    // The last line of the first, second and fifth.
    const std::string verdicts[] =
        {"Failed (error-code 803) while checking the self-test's version. The HUB's self-test is version 1.1.0, this "
         "tool runs version 1.2.0, so no step ran; nothing on the HUB was changed: use the tool that matches the "
         "HUB's firmware.\n",
         "Failed (error-code 802) while running the self-test. Step 2 failed (see the lines above), and nothing on "
         "the HUB was changed: run -stest again.\n",
         "",
         "",
         "Failed (error-code 802) while running the self-test. Step 16 failed (see the lines above), and the HUB "
         "waits in its bootloader: run -h with a HUB image file to start its firmware again.\n",
         "",
         ""};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        sim::HubConfig hub = t::hub(c.kind);
        if (c.word != 0) hub.selftest.step(c.word) = {c.code, c.reply_word, {}};
        hub.selftest.version = c.version;
        Bench b(hub);
        EXPECT_EQ(b.run({"-stest"}), c.result);
        for (const std::string& e : c.errors) EXPECT_TRUE(b.logged("ERROR", e)) << e << b.at("ERROR");
        EXPECT_EQ(b.hub().mode() == sim::Mode::Bootloader, c.to_bootloader);
        EXPECT_EQ(b.logged("INFO", "Running step 3\n"), c.reaches_step_3);
        // 5 ms after every step from step 2 on, also after a failed one.
        EXPECT_EQ(std::count_if(b.p.waits.begin(), b.p.waits.end(),
                                [](const sim::Wait& w) { return w.duration == 50000; }),
                  c.reaches_step_3 ? (c.kind == Kind::Quillet ? 31 : 2) : 0);
        EXPECT_TRUE(verdicts[i].empty() || b.log().back().text == verdicts[i]) << b.log().back().text;
    }
}

}  // namespace
