#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "src/NetworkConfiguration.hpp"

namespace {

NetworkConfiguration make_record(const char* ssid, const char* psk, const char* unity) {
    NetworkConfiguration c{};
    // Up to the whole field: a 32-character text fills it without a terminator.
    std::memcpy(c.SSID, ssid, std::min(std::strlen(ssid), sizeof c.SSID));
    std::memcpy(c.PSK, psk, std::min(std::strlen(psk), sizeof c.PSK));
    std::memcpy(c.UNITY_ADDR, unity, std::min(std::strlen(unity), sizeof c.UNITY_ADDR));
    return c;
}

bool same(const NetworkConfiguration& a, const NetworkConfiguration& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;  // no padding: 68 bytes of text, then words
}

bool read_text(const std::string& xml, NetworkConfiguration& c, std::string& error) {
    std::string buffer = xml;  // the parser works in place
    return read_network_xml(buffer.data(), c, error);
}

const std::string kGroups =
    "<DHCP><Manual value=\"true\"/></DHCP><SECURITY_TYPE><RSI_OPEN value=\"true\"/></SECURITY_TYPE>"
    "<BAND><RSI_BAND_2_4GHZ value=\"true\"/></BAND>";

std::string document(const std::string& children, const std::string& groups = kGroups) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<NETWORK>\n" + children + groups + "</NETWORK>\n";
}

TEST(NetworkXml, OddRecordPrintsByteForByteAndReadsBack) {
    NetworkConfiguration c = make_record("Caf&Co", "p<>'\"", "ABCD");
    c.CHANNEL_NO = 4294967295u;
    c.SERVERIP = 0x0A0200C0;  // 192.0.2.10
    c.DEVICEIP = 0xFF00000A;  // 10.0.0.255
    c.PORT = 65535;
    c.DHCP = 5;  // no such option: both say false
    c.SECURITY_TYPE = 11;
    c.BAND = 2;
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<NETWORK>\n"
        "\t<SSID>Caf&amp;Co</SSID>\n"
        "\t<PSK>p&lt;&gt;&apos;&quot;</PSK>\n"
        "\t<UNITY_ADDR>ABCD</UNITY_ADDR>\n"
        "\t<CHANNEL_NO>4294967295</CHANNEL_NO>\n"
        "\t<SERVERIP>192.0.2.10</SERVERIP>\n"
        "\t<DEVICEIP>10.0.0.255</DEVICEIP>\n"
        "\t<GATEWAY>0.0.0.0</GATEWAY>\n"
        "\t<PORT>65535</PORT>\n"
        "\t<DHCP>\n"
        "\t\t<Manual value=\"false\"/>\n"
        "\t\t<Automatic value=\"false\"/>\n"
        "\t</DHCP>\n"
        "\t<SECURITY_TYPE>\n"
        "\t\t<RSI_OPEN value=\"false\"/>\n"
        "\t\t<RSI_WPA value=\"false\"/>\n"
        "\t\t<RSI_WPA2 value=\"false\"/>\n"
        "\t\t<RSI_WEP value=\"false\"/>\n"
        "\t\t<RSI_WPA_EAP value=\"false\"/>\n"
        "\t\t<RSI_WPA2_EAP value=\"false\"/>\n"
        "\t\t<RSI_WPA_WPA2_MIXED value=\"false\"/>\n"
        "\t\t<RSI_WPA_PMK value=\"false\"/>\n"
        "\t\t<RSI_WPA2_PMK value=\"false\"/>\n"
        "\t\t<RSI_WPS_PIN value=\"false\"/>\n"
        "\t\t<RSI_USE_GENERATED_WPSPIN value=\"false\"/>\n"
        "\t\t<RSI_WPS_PUSH_BUTTON value=\"true\"/>\n"
        "\t</SECURITY_TYPE>\n"
        "\t<BAND>\n"
        "\t\t<RSI_BAND_2_4GHZ value=\"false\"/>\n"
        "\t\t<RSI_BAND_5GHZ value=\"false\"/>\n"
        "\t\t<RSI_DUAL_BAND value=\"true\"/>\n"
        "\t</BAND>\n"
        "</NETWORK>\n"
        "\n";
    EXPECT_EQ(network_xml_text(c), expected);
    NetworkConfiguration back{};
    back.DHCP = 5;  // both options false: the field keeps its value
    std::string error;
    ASSERT_TRUE(read_text(expected, back, error)) << error;
    EXPECT_TRUE(same(back, c));
}

TEST(NetworkXml, TextsStayWithinTheirFields) {
    NetworkConfiguration c{};
    const std::string empty = network_xml_text(c);
    EXPECT_NE(empty.find("\n\t<SSID/>\n\t<PSK/>\n\t<UNITY_ADDR/>\n"), std::string::npos);
    NetworkConfiguration back = make_record("old name", "old key", "XY");
    std::string error;
    ASSERT_TRUE(read_text(empty, back, error)) << error;
    EXPECT_TRUE(same(back, c));  // empty texts clear the fields

    std::memset(c.SSID, 'S', sizeof c.SSID);  // no terminator
    EXPECT_NE(network_xml_text(c).find("\t<SSID>" + std::string(32, 'S') + "</SSID>\n\t<PSK/>\n"), std::string::npos);
}

TEST(NetworkXml, GroupsAreReadByPositionAndOnlyExactTrueCounts) {
    const std::string xml = document(
        "", "<DHCP><Automatic value=\"true\"/><Manual value=\"false\"/></DHCP><SECURITY_TYPE>" +
                [] {
                    std::string twelve;
                    for (int i = 0; i < 12; ++i) twelve += "<O value=\"false\"/>";
                    return twelve;
                }() +
                "<EXTRA value=\"true\"/></SECURITY_TYPE>"
                "<BAND><X value=\"TRUE\"/><Y value=\"true \"/><Z value=\" true\"/></BAND>");
    NetworkConfiguration c{};
    c.DHCP = 9;
    c.BAND = 2;
    std::string error;
    ASSERT_TRUE(read_text(xml, c, error)) << error;
    EXPECT_EQ(c.DHCP, 0u);            // Automatic listed first
    EXPECT_EQ(c.SECURITY_TYPE, 12u);  // a thirteenth option, stored as it is
    EXPECT_EQ(c.BAND, 2u);            // none says exactly "true": unchanged
}

TEST(NetworkXml, ForeignEditorLayoutReadsTheSame) {
    NetworkConfiguration c = make_record("Lab", "secret", "U1");
    c.CHANNEL_NO = 11;
    c.DHCP = 1;
    c.BAND = 1;
    std::string edited = "\xEF\xBB\xBF";  // byte-order mark, CR LF, comments
    for (char ch : network_xml_text(c)) edited += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    edited.insert(edited.find("<NETWORK>") + 9, "<!-- by hand -->\r\n");
    edited.insert(edited.find("\t\t<Manual"), "\t\t<!-- not a child -->\r\n");
    NetworkConfiguration back{};
    std::string error;
    ASSERT_TRUE(read_text(edited, back, error)) << error;
    EXPECT_TRUE(same(back, c));
}

TEST(NetworkXml, ValueElementRules) {
    const std::string xml = document(
        "<SSID> spaced &amp; &lt;ok&gt;</SSID><UNITY_ADDR>ABCDEF</UNITY_ADDR><CHANNEL_NO>  36 </CHANNEL_NO>"
        "<PORT>-1</PORT><SERVERIP>192.0.2.300</SERVERIP><GATEWAY>1.2.3.4</GATEWAY><GATEWAY>5.6.7.8</GATEWAY>"
        "<UNKNOWN>ignored</UNKNOWN>");
    NetworkConfiguration c = make_record("x", "kept key", "");
    std::string error;
    ASSERT_TRUE(read_text(xml, c, error)) << error;
    EXPECT_STREQ(c.SSID, " spaced & <ok>");
    EXPECT_STREQ(c.PSK, "kept key");  // no PSK element
    EXPECT_EQ(0, std::memcmp(c.UNITY_ADDR, "ABCD", 4));
    EXPECT_EQ(c.CHANNEL_NO, 36u);
    EXPECT_EQ(c.PORT, 4294967295u);
    EXPECT_EQ(c.SERVERIP, 0x2C0200C0u);  // 300 keeps its low 8 bits: 44
    EXPECT_EQ(c.GATEWAY, 0x08070605u);   // the last one wins
    ASSERT_TRUE(read_text(document("<UNITY_ADDR>AB</UNITY_ADDR>"), c, error)) << error;
    EXPECT_EQ(0, std::memcmp(c.UNITY_ADDR, "AB\0\0", 4));
    // A text that fills its field, as -r writes a HUB record without a
    // terminator, is taken back whole.
    ASSERT_TRUE(read_text(document("<SSID>" + std::string(32, 'S') + "</SSID>"), c, error)) << error;
    EXPECT_EQ(std::string(c.SSID, sizeof c.SSID), std::string(32, 'S'));
}

TEST(NetworkXml, FailuresAreReportedAndChangeNothing) {
    const std::string security = "<SECURITY_TYPE/>", band = "<BAND/>", dhcp = "<DHCP/>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<network>" + kGroups + "</network>", "Expecting root node NETWORK in the XML configuration file.\n"},
        {document("", security + band), "Expecting DHCP as root node in the XML configuration file.\n"},
        {document("", dhcp + band), "Expecting SECURITY_TYPE as root node in the XML configuration file.\n"},
        {document("", dhcp + security), "Expecting BAND as root node in the XML configuration file.\n"},
        {document("", "<DHCP><Manual value=\"true\"/><Automatic/></DHCP>" + security + band),
         "Expecting \"value\" as node attribute in the XML configuration file.\n"},
        {document("", "<DHCP>stray text</DHCP>" + security + band),
         "Expecting \"value\" as node attribute in the XML configuration file.\n"},
        {document("<SSID>" + std::string(33, 's') + "</SSID>"),
         "SSID in the XML configuration file has 33 characters; at most 32 fit.\n"},
        {document("<PSK>" + std::string(32, 'k') + "&amp;</PSK>"),
         "PSK in the XML configuration file has 33 characters; at most 32 fit.\n"},
        {document("<PSK>ab&#0;cd</PSK>"), "PSK in the XML configuration file holds a zero character.\n"},
        {document("<DEVICEIP>192.0.2</DEVICEIP>"),
         "Malformed address \"192.0.2\" for DEVICEIP in the XML configuration file.\n"},
        {document("<GATEWAY>1.2.3.4.5</GATEWAY>"),
         "Malformed address \"1.2.3.4.5\" for GATEWAY in the XML configuration file.\n"},
        {document("<SERVERIP>1922.0.2.1</SERVERIP>"),
         "Malformed address \"1922.0.2.1\" for SERVERIP in the XML configuration file.\n"},
        {document("<SERVERIP/>"), "Malformed address \"\" for SERVERIP in the XML configuration file.\n"},
        {"<NETWORK><SSID a></SSID></NETWORK>", "The XML configuration file is not well-formed: expected = at byte 16.\n"},
        {"<NETWORK><SSID>x", "The XML configuration file is not well-formed: unexpected end of data at byte 16.\n"},
    };
    for (const auto& [xml, expected] : cases) {
        NetworkConfiguration c = make_record("before", "", "");
        std::string error;
        EXPECT_FALSE(read_text(xml, c, error)) << xml;
        EXPECT_EQ(error, expected) << xml;
        EXPECT_STREQ(c.SSID, "before");
    }
}

TEST(NetworkNumbers, Conversions) {
    EXPECT_EQ(parse_number(" \t\r\n+17abc"), 17u);
    EXPECT_EQ(parse_number("-1"), 4294967295u);
    EXPECT_EQ(parse_number("4294967296"), 0u);  // modulo 2^32
    EXPECT_EQ(parse_number("- 5"), 0u);
    EXPECT_EQ(parse_number(""), 0u);
    EXPECT_EQ(_parse_IP_address("255.0.2.10"), 0x0A0200FFu);
    EXPECT_EQ(_parse_IP_address("1.2.3.4.5"), 0x04030201u);  // part 4 is "4.5"
    EXPECT_EQ(_parse_IP_address("1.2"), 0x0201u);            // missing parts are 0
    EXPECT_EQ(format_IP_address(0xFF000001u), "1.0.0.255");
    EXPECT_TRUE(is_well_formed_IP_address("1.22.333.x"));  // the shape only
    EXPECT_FALSE(is_well_formed_IP_address("1.2.3.4."));
    EXPECT_FALSE(is_well_formed_IP_address(".1.2.3"));
}

TEST(NetworkNumbers, WireAndMemoryFormsCarryTheSameFields) {
    std::array<uint8_t, 104> message{};
    for (size_t i = 4; i < 40; ++i) message[i] = uint8_t(i);
    std::memcpy(&message[40], "ssid\0junk", 9);
    std::memset(&message[72], 'P', 32);  // no terminator: all 32 bytes are the key
    const NetworkConfiguration c = network_from_message(message);
    EXPECT_EQ(c.DHCP, 0x0B0A0908u);
    EXPECT_EQ(c.PORT, 0x1B1A1918u);
    EXPECT_EQ(c.BAND, 0x27262524u);
    EXPECT_EQ(std::string(c.SSID, sizeof c.SSID), "ssid" + std::string(28, '\0'));
    EXPECT_EQ(std::string(c.PSK, sizeof c.PSK), std::string(32, 'P'));
    std::array<uint8_t, 104> out{};
    network_to_message(c, out);
    std::memset(&message[44], 0, 5);  // what followed the name's terminator is not carried
    EXPECT_TRUE(std::equal(out.begin() + 4, out.end(), message.begin() + 4));
}

}  // namespace
