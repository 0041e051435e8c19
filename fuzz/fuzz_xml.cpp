// The XML configuration file (-w): the fuzz input is the file, loaded by the
// tool's loader from the virtual platform and read into a record as -w
// does. A refused file must leave the record as it was and say why. An
// accepted record must survive the wire form, and the file -r stores for it
// must load and read back to the same record.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support.hpp"
#include "src/NetworkConfiguration.hpp"

namespace {
using namespace zfuzz;

std::string_view text(const char* field, size_t size) {
    return {field, strnlen(field, size)};
}

bool same(const NetworkConfiguration& a, const NetworkConfiguration& b) {
    return text(a.SSID, 32) == text(b.SSID, 32) && text(a.PSK, 32) == text(b.PSK, 32) &&
           text(a.UNITY_ADDR, 4) == text(b.UNITY_ADDR, 4) && a.CHANNEL_NO == b.CHANNEL_NO && a.SERVERIP == b.SERVERIP &&
           a.DEVICEIP == b.DEVICEIP && a.GATEWAY == b.GATEWAY && a.PORT == b.PORT && a.DHCP == b.DHCP &&
           a.SECURITY_TYPE == b.SECURITY_TYPE && a.BAND == b.BAND;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::SimPlatform platform;
    platform.files["in.xml"].content.assign(reinterpret_cast<const char*>(data), size);
    std::array<char, kXmlBufferSize> buffer;
    std::string error;
    const bool loaded = load_network_file(platform, "in.xml", buffer, error);
    if (loaded != (size < kXmlBufferSize)) fail("the loader's size limit");
    if (!loaded) return 0;
    if (std::memcmp(buffer.data(), data, size) != 0 || buffer[size] != '\0') fail("the loader changed the file");

    // Not zero, so that a field the reader forgets shows. Its texts end
    // inside their fields, as every text the reader accepts does (a text
    // of 32 characters only comes from the HUB, and is refused when read).
    NetworkConfiguration before;
    std::memset(&before, 0x5A, sizeof before);
    before.SSID[31] = before.PSK[31] = '\0';
    NetworkConfiguration record = before;
    std::vector<std::string> warnings;
    if (!read_network_xml(buffer.data(), record, error, warnings)) {
        if (error.empty()) fail("a refused file without a reason");
        if (std::memcmp(&record, &before, sizeof record) != 0) fail("a refused file changed the record");
        return 0;
    }
    std::array<uint8_t, netrecord::kMessageSize> message{};
    network_to_message(record, message);
    if (!same(network_from_message(message), record)) fail("an accepted record changes in its wire form");

    // What -r stores must be what -w reads, where the file has names for it:
    // -w takes an option by its position, also past the named ones.
    if (record.DHCP >= kDhcpOptions.size() || record.SECURITY_TYPE >= kSecurityOptions.size() ||
        record.BAND >= kBandOptions.size()) {
        return 0;
    }
    if (!store_network_file(platform, "out.xml", network_xml_text(record), error)) fail("-r cannot store a record");
    NetworkConfiguration again = before;
    if (!load_network_file(platform, "out.xml", buffer, error)) fail("the file of an accepted record does not load");
    warnings.clear();
    if (!read_network_xml(buffer.data(), again, error, warnings)) fail("the file of an accepted record is refused");
    if (!warnings.empty()) fail("the file -r writes reads with a conversion warning");
    if (!same(record, again)) fail("the file of an accepted record reads back differently");
    return 0;
}
