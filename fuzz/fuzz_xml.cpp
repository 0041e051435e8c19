// The XML configuration reader (-w): the fuzz input is the file. It is
// loaded through the tool's loader (from a memory file) and read into a
// record as -w does. A refused file must leave the record as it was and say
// why; an accepted one goes into the request and, written back out as -r
// would write it, must read back to the same record.
#include <array>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "src/NetworkConfiguration.hpp"

namespace {
using namespace zfuzz;

NetworkConfiguration start_record() {
    // Not zero, so a field the reader forgets shows; its texts end inside
    // their fields, as every text the reader accepts does (a 32-character
    // text only comes from the HUB, and is refused when read back).
    std::array<uint8_t, netrecord::kMessageSize> message;
    for (size_t i = 0; i < message.size(); ++i) message[i] = uint8_t(0x5A ^ i);
    message[netrecord::kSsid + netrecord::kTextField - 1] = 0;
    message[netrecord::kPsk + netrecord::kTextField - 1] = 0;
    return network_from_message(message);
}

std::string_view text(const char* field, size_t size) {
    const void* zero = std::memchr(field, 0, size);
    return {field, zero != nullptr ? size_t(static_cast<const char*>(zero) - field) : size};
}

bool same(const NetworkConfiguration& a, const NetworkConfiguration& b) {
    return text(a.SSID, 32) == text(b.SSID, 32) && text(a.PSK, 32) == text(b.PSK, 32) &&
           text(a.UNITY_ADDR, 4) == text(b.UNITY_ADDR, 4) && a.CHANNEL_NO == b.CHANNEL_NO &&
           a.SERVERIP == b.SERVERIP && a.DEVICEIP == b.DEVICEIP && a.GATEWAY == b.GATEWAY && a.PORT == b.PORT &&
           a.DHCP == b.DHCP && a.SECURITY_TYPE == b.SECURITY_TYPE && a.BAND == b.BAND;
}

Seeds seeds() {
    const std::string good = network_xml_file();
    std::string open = good;
    const size_t at = open.find("<RSI_WPA2 value=\"true\"/>");
    if (at != std::string::npos) open.replace(at, 24, "<RSI_WPA2 value=\"false\"/>");
    const std::string minimal =
        "<NETWORK><SSID>lab</SSID><DHCP><Manual value=\"false\"/><Automatic value=\"true\"/></DHCP>"
        "<SECURITY_TYPE><RSI_OPEN value=\"true\"/></SECURITY_TYPE><BAND><RSI_BAND_2_4GHZ value=\"true\"/></BAND>"
        "</NETWORK>\n";
    const std::string escaped =
        "<?xml version=\"1.0\"?>\r\n<NETWORK>\r\n\t<SSID>R&amp;D &lt;2&gt;</SSID>\r\n\t<PSK>&#x41;&#66;c</PSK>\r\n"
        "\t<SERVERIP>10.0.0.1</SERVERIP>\r\n\t<PORT>65535</PORT>\r\n\t<CHANNEL_NO>-1</CHANNEL_NO>\r\n"
        "\t<DHCP><Manual value=\"true\"/></DHCP>\r\n\t<SECURITY_TYPE><A value='true'/><B value='false'/>"
        "</SECURITY_TYPE>\r\n\t<BAND><RSI_DUAL_BAND value=\"true\"/></BAND>\r\n</NETWORK>\r\n";
    const auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    return {{"valid", bytes(good)}, {"open-network", bytes(open)}, {"minimal", bytes(minimal)},
            {"escaped-crlf", bytes(escaped)}};
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    maybe_make_seeds(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::array<char, kXmlBufferSize> buffer;
    std::string error;
    const bool loaded = load_network_file(memory_file(data, size), buffer, error);
    if (loaded != (size < kXmlBufferSize)) fail("the loader's size limit");
    if (!loaded) return 0;
    if (std::memcmp(buffer.data(), data, size) != 0 || buffer[size] != '\0') fail("the loader changed the file");

    const NetworkConfiguration before = start_record();
    NetworkConfiguration record = before;
    error.clear();
    if (!read_network_xml(buffer.data(), record, error)) {
        if (error.empty()) fail("a refused file without a reason");
        if (std::memcmp(&record, &before, sizeof record) != 0) fail("a refused file changed the record");
        return 0;
    }
    std::array<uint8_t, netrecord::kMessageSize> message{};
    network_to_message(record, message);

    // What -r writes must be what -w reads.
    const std::string written = network_xml_text(record);
    if (written.size() >= kXmlBufferSize) fail("a record's XML text does not fit the reading buffer");
    std::memcpy(buffer.data(), written.c_str(), written.size() + 1);
    NetworkConfiguration again = record;
    error.clear();
    if (!read_network_xml(buffer.data(), again, error)) fail("the XML text of an accepted record is refused");
    if (!same(record, again)) fail("the XML text of an accepted record reads back differently");
    return 0;
}
