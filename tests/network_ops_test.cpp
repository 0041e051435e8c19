#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "scenario.hpp"
#include "src/NetworkConfiguration.hpp"
#include "src/ReadNetworkCommand.hpp"
#include "src/WriteNetworkCommand.hpp"

namespace {

namespace fs = std::filesystem;
using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::HubConfig;

HubConfig hub(bool legacy = false) {
    HubConfig c;
    c.legacy = legacy;
    return c;
}

// What -r must write for the HUB's record (the layout itself is pinned
// byte for byte by the record tests); on Windows a text stream, with CR LF.
std::string file_for(const sim::NetworkArea& area) {
    std::array<uint8_t, 104> message{};
    std::copy(area.record.begin(), area.record.end(), message.begin() + 4);
    std::string text = network_xml_text(network_from_message(message));
#ifdef _WIN32
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, 1, '\r');
#endif
    return text;
}

const std::string kGroups =
    "<DHCP><Manual value=\"false\"/><Automatic value=\"true\"/></DHCP>"
    "<SECURITY_TYPE><A value=\"false\"/><B value=\"false\"/><C value=\"false\"/><D value=\"true\"/></SECURITY_TYPE>"
    "<BAND><E value=\"false\"/><F value=\"true\"/></BAND>";
const std::string kValues =
    "<SSID>Caf&amp;Co</SSID><PSK>k3y</PSK><UNITY_ADDR>AB</UNITY_ADDR><CHANNEL_NO>4294967295</CHANNEL_NO>"
    "<SERVERIP>192.0.2.10</SERVERIP><DEVICEIP>192.0.2.300</DEVICEIP><GATEWAY>10.0.0.1</GATEWAY><PORT>8080</PORT>";

std::string config_file(const std::string& values = kValues, const std::string& groups = kGroups) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<NETWORK>\n" + values + groups + "</NETWORK>\n";
}

// The request config_file() must give, behind its head.
std::vector<uint8_t> values_request(std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> r = scenario::request(head);
    const uint8_t record[] = {'A', 'B', 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 192, 0, 2, 10,
                              0x90, 0x1F, 0, 0, 192, 0, 2, 44, 10, 0, 0, 1, 1, 0, 0, 0};
    std::copy(std::begin(record), std::end(record), r.begin() + 4);
    std::memcpy(&r[40], "Caf&Co", 6);
    std::memcpy(&r[72], "k3y", 3);
    return r;
}

// The logged texts without the port's closing line, which follows the report.
std::vector<std::string> report_texts(const Scenario& s) {
    std::vector<std::string> texts = s.texts();
    if (!texts.empty() && texts.back() == "Closing com port\n") texts.pop_back();
    return texts;
}

class NetworkOps : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return name[0] == '/' ? name : dir.path(name); }
    static std::string text_of(const std::string& p) { return scenario::read_file(p); }
    static void put(const std::string& p, const std::string& text) { scenario::write_file(p, text); }
    size_t entries() const { return dir.entries(); }
    scenario::TempDir dir;
};
TEST_F(NetworkOps, ReadWritesTheHubRecordInEitherFraming) {
    for (const bool legacy : {false, true}) {
        Scenario s;
        HubConfig config = hub(legacy);
        config.network.set_text(40, 32, "R&D <lab>");
        config.network.read_reply_word = legacy ? 0x004900AE : 0xDEADBEEF;  // not looked at beyond the marker
        s.attach(config);
        const std::string target = path("hub.xml");
        put(target, std::string(5000, '#'));  // longer than what replaces it
        EXPECT_EQ(s.run({"-r", target}), 0);
        EXPECT_EQ(s.writes().back(), legacy ? scenario::request({0xAE, 0x00, 0x49, 0x00})
                                            : scenario::request({0x00, 0x19, 0x49, 0x00}));
        EXPECT_EQ(text_of(target), file_for(s.hub().config().network));
        EXPECT_NE(text_of(target).find("<SSID>R&amp;D &lt;lab&gt;</SSID>"), std::string::npos);
        EXPECT_EQ(entries(), 1u);
        for (const auto& e : s.log()) EXPECT_NE(e.level, "ERROR") << e.text;
    }
}

TEST_F(NetworkOps, FailedReadsLeaveTheOldFile) {
    struct Case {
        HubConfig config;
        std::string target;
        int result;
        std::string error;
    };
    HubConfig no_marker = hub(true);
    no_marker.network.read_reply_word = 0x00004900;
    HubConfig bad_echo, short_reply;
    bad_echo.faults.push_back({-1, 0x00491900, 0, {Fault::EchoByteChanged, 7}});
    short_reply.faults.push_back({-1, 0x00491900, 0, {Fault::ShortReply, 0, 103}});
    fs::create_directories(path("taken"));
    const std::vector<Case> cases = {
        {no_marker, path("old.xml"), 21, "what(): write/read failed - differences between messages (tx, rx)\n"},
        {bad_echo, path("old.xml"), 20, "what(): write/read failed - differences between messages (tx, rx)\n"},
        {short_reply, path("old.xml"), 21, "what(): read() failed - HUB v2.0.0 with no feedback!\n"},
        {hub(), path("nowhere/hub.xml"), 14, "Unable to write configuration file " + path("nowhere/hub.xml") + ".\n"},
        {hub(), path("taken"), 14, "Configuration file " + path("taken") + " is not a regular file.\n"},
#ifndef _WIN32
        // A device: writes would fail, and it is no configuration file.
        {hub(), "/dev/full", 14, "Configuration file /dev/full is not a regular file.\n"},
#endif
    };
    put(path("old.xml"), "previous contents\n");
    for (const Case& k : cases) {
        Scenario s;
        s.attach(k.config);
        EXPECT_EQ(s.run({"-r", k.target}), k.result) << k.target;
        EXPECT_TRUE(s.logged("ERROR", k.error)) << k.error;
        EXPECT_EQ(report_texts(s).back(),
                  "Something went wrong reading network configuration!! - error-code " + std::to_string(k.result) + "\n");
        EXPECT_EQ(text_of(path("old.xml")), "previous contents\n");
        EXPECT_TRUE(fs::is_empty(path("taken")));
        EXPECT_EQ(entries(), 2u);  // no temporary file left
    }
}

TEST_F(NetworkOps, OverlongPathsAreRefusedBeforeTheHubIsTouched) {
    for (const std::string option : {"-r", "-w"}) {
        Scenario s;
        s.attach();
        EXPECT_EQ(s.run({option, path(std::string(300, 'p'))}), option == "-r" ? 14 : 18);
        EXPECT_TRUE(s.writes().empty());
        EXPECT_EQ(report_texts(s).end()[-2].rfind("Path of configuration file too long (", 0), 0u);
    }
    const std::string base = path("");
    const std::string fits = base + std::string(255 - base.size(), 'f');
    Scenario s;
    s.attach();
    EXPECT_EQ(s.run({"-r", fits}), 0);  // 255 characters still fit
    EXPECT_EQ(text_of(fits), file_for(s.hub().config().network));
}

TEST_F(NetworkOps, WriteSendsTheFileAndReturnsTheStatus) {
    put(path("in.xml"), config_file());
    for (const bool legacy : {false, true}) {
        for (const uint32_t status : {0u, 7u}) {
            Scenario s;
            HubConfig config = hub(legacy);
            config.network.write_status = status;
            s.attach(config);
            EXPECT_EQ(s.run({"-w", path("in.xml")}), int(status)) << legacy;
            ASSERT_EQ(s.writes().size(), 2u);
            EXPECT_EQ(s.writes()[1], values_request(legacy ? std::initializer_list<uint8_t>{0xAE, 0x00, 0x50, 0x00}
                                                           : std::initializer_list<uint8_t>{0x00, 0x19, 0x50, 0x00}));
            const auto texts = report_texts(s);
            EXPECT_EQ(texts.back() == "Network configuration failed - status 7\n", status == 7);
            if (status == 0) {
                for (const auto& e : s.log()) EXPECT_NE(e.level, "ERROR") << e.text;
            }
        }
    }
}

TEST_F(NetworkOps, MissingPskAndUndecidedBandSendZeros) {
    Scenario s;
    s.attach();
    put(path("in.xml"), config_file("<SSID>Lab</SSID>", "<DHCP/><SECURITY_TYPE/><BAND><E value=\"false\"/></BAND>"));
    EXPECT_EQ(s.run({"-w", path("in.xml")}), 0);
    const std::vector<uint8_t> sent = s.writes().back();
    EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 72, sent.end()), std::vector<uint8_t>(32, 0));
    EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 36, sent.begin() + 44), std::vector<uint8_t>({0, 0, 0, 0, 'L', 'a', 'b', 0}));
}

TEST_F(NetworkOps, RefusedFilesNeverReachTheHub) {
    fs::create_directories(path("dir.xml"));
    // The reading buffer holds 4499 bytes and the terminating zero.
    put(path("fits.xml"), config_file() + std::string(4499 - config_file().size(), ' '));
    put(path("big.xml"), config_file() + std::string(4500 - config_file().size(), ' '));
    put(path("broken.xml"), "<NETWORK><SSID>x</SSID>");
    put(path("psk.xml"), config_file("<PSK>" + std::string(40, 'x') + "</PSK>"));
    put(path("ip.xml"), config_file("<GATEWAY>10.0.1</GATEWAY>"));
    put(path("band.xml"), config_file(kValues, "<DHCP/><SECURITY_TYPE/>"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.xml", "Unable to open configuration file " + path("missing.xml") + ".\n"},
        {"dir.xml", "Configuration file " + path("dir.xml") + " is not a regular file.\n"},
        {"big.xml", "Configuration file " + path("big.xml") + " is too large (at most 4499 bytes).\n"},
        {"broken.xml", "The XML configuration file is not well-formed: unexpected end of data at byte 23.\n"},
        {"psk.xml", "PSK in the XML configuration file has 40 characters; at most 32 fit.\n"},
        {"ip.xml", "Malformed address \"10.0.1\" for GATEWAY in the XML configuration file.\n"},
        {"band.xml", "Expecting BAND as root node in the XML configuration file.\n"},
#ifndef _WIN32
        {"/dev/zero", "Configuration file /dev/zero is not a regular file.\n"},  // a read would never end
#endif
    };
    for (const auto& [name, error] : cases) {
        Scenario s;
        s.attach();
        EXPECT_EQ(s.run({"-w", path(name)}), 18) << name;
        EXPECT_EQ(s.writes().size(), 1u) << name;  // the probe only
        const auto texts = report_texts(s);
        EXPECT_EQ(texts.end()[-2], error);
        EXPECT_EQ(texts.back(), "Network configuration failed - status 18\n");
    }
    Scenario s;
    s.attach();
    EXPECT_EQ(s.run({"-w", path("fits.xml")}), 0);
}

TEST_F(NetworkOps, CallersRecordInsteadOfAFile) {
    Scenario s;
    s.attach();
    zel::set_active_platform(&s.platform);
    USB_Logger::Discard();
    NetworkConfiguration c{};
    auto read = [&](NetworkConfiguration* record) {
        ReadNetworkCommand command;
        command.configuration = record;
        return command.Connect() == 0 ? command.RunCommand() : -100;
    };
    auto write = [&](NetworkConfiguration* record) {
        WriteNetworkCommand command;
        command.configuration = record;
        return command.Connect() == 0 ? command.RunCommand() : -100;
    };
    EXPECT_EQ(read(nullptr), 22);
    EXPECT_EQ(write(nullptr), 19);
    EXPECT_EQ(read(&c), 0);
    EXPECT_STREQ(c.SSID, "LabNet");
    EXPECT_EQ(c.PORT, 5555u);
    std::strcpy(c.SSID, "Mine");
    EXPECT_EQ(write(&c), 0);
    USB_Logger::Discard();
    EXPECT_EQ(s.hub().config().network.text(40, 32), "Mine");
    EXPECT_EQ(s.hub().config().network.word(24), 5555u);
}

}  // namespace
