// The HUB's WiFi settings: the network record in its wire and in-memory
// forms, the option lists of its three choice fields, the dotted address and
// number conversions, and the XML file that holds a record on the PC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel {
class Platform;
}

// The record as a caller holds it; the XML file keeps this field order.
struct NetworkConfiguration {
    char SSID[32];
    char PSK[32];
    char UNITY_ADDR[4];
    uint32_t CHANNEL_NO;
    uint32_t SERVERIP;
    uint32_t DEVICEIP;
    uint32_t GATEWAY;
    uint32_t PORT;
    uint32_t DHCP;
    uint32_t SECURITY_TYPE;
    uint32_t BAND;
};

// Offsets of the wire record within the 104-byte request or reply.
namespace netrecord {
inline constexpr size_t kMessageSize = 104;
inline constexpr size_t kUnityAddr = 4;
inline constexpr size_t kDhcp = 8;
inline constexpr size_t kChannel = 12;
inline constexpr size_t kSecurity = 16;
inline constexpr size_t kServerIp = 20;
inline constexpr size_t kPort = 24;
inline constexpr size_t kDeviceIp = 28;
inline constexpr size_t kGateway = 32;
inline constexpr size_t kBand = 36;
inline constexpr size_t kSsid = 40;
inline constexpr size_t kPsk = 72;
inline constexpr size_t kTextField = 32;  // SSID and PSK, terminator included
}  // namespace netrecord

// The option elements of the three choice fields; an option's code is its
// position in its list.
inline constexpr std::array<const char*, 2> kDhcpOptions = {"Manual", "Automatic"};
inline constexpr std::array<const char*, 12> kSecurityOptions = {"RSI_OPEN",
                                                                 "RSI_WPA",
                                                                 "RSI_WPA2",
                                                                 "RSI_WEP",
                                                                 "RSI_WPA_EAP",
                                                                 "RSI_WPA2_EAP",
                                                                 "RSI_WPA_WPA2_MIXED",
                                                                 "RSI_WPA_PMK",
                                                                 "RSI_WPA2_PMK",
                                                                 "RSI_WPS_PIN",
                                                                 "RSI_USE_GENERATED_WPSPIN",
                                                                 "RSI_WPS_PUSH_BUTTON"};
inline constexpr std::array<const char*, 3> kBandOptions = {"RSI_BAND_2_4GHZ", "RSI_BAND_5GHZ", "RSI_DUAL_BAND"};

// The reading buffer: a configuration file has at most 4499 characters.
inline constexpr size_t kXmlBufferSize = 4500;
// A path fits the commands' file-name field with its terminator.
inline constexpr size_t kMaxPathLength = 255;

// Between the two forms the 4-byte fields are copied unchanged; each text is
// copied up to its terminator, never beyond its field, and the rest of the
// destination field is zeroed (so a text of 32 characters stays without one).
NetworkConfiguration network_from_message(std::span<const uint8_t, netrecord::kMessageSize> message);
void network_to_message(const NetworkConfiguration& configuration, std::span<uint8_t, netrecord::kMessageSize> message);

// Decimal text to a 32-bit word: leading white space, an optional sign, then
// digits up to the first other character (no digits give 0). The value is
// taken modulo 2^32, so "-1" and "4294967295" give the same word.
uint32_t parse_number(const char* text);

// Digits alone, once blanks at either end are left off, of a value up to
// `max`: a text that parse_number converts to just what it says.
bool is_plain_number(std::string_view text, uint64_t max);

// The address word a + b*256 + c*65536 + d*16777216 of "a.b.c.d"; each part
// converts as a number and keeps its low 8 bits. Missing parts count as 0.
uint32_t _parse_IP_address(const char* text);
// Exactly four dot-separated parts of one to three characters each.
bool is_well_formed_IP_address(std::string_view text);
// "a.b.c.d" from the four bytes of the word in wire order.
std::string format_IP_address(uint32_t address);

// The XML document of a record, exactly as rapidxml prints it with print
// flags 0 (line feeds; a text stream turns them into the platform's ends).
std::string network_xml_text(const NetworkConfiguration& configuration);

// Reads a document into `configuration`. `text` is zero-terminated and is
// changed in place by the parser. Fields whose element is missing keep their
// value. On failure returns false with the line to log in `error`; then
// `configuration` is unchanged. A value that its conversion changes (an
// address part above 255, a number that is not plain digits or does not fit
// 32 bits, a UNITY_ADDR cut to 4 characters) adds a line to `warnings`
// naming the element, its text and what is sent.
bool read_network_xml(char* text, NetworkConfiguration& configuration, std::string& error,
                      std::vector<std::string>& warnings);

// Reads the file whole into `buffer`, zero-terminated, as text. Refuses what
// is not a regular file and files that do not fit the buffer. False with the
// line to log in `error`.
bool load_network_file(zel::Platform& platform, const char* path, std::array<char, kXmlBufferSize>& buffer,
                       std::string& error);

// Replaces the file `path` (a command's file-name field) with `text` (with
// the system's line ends) so that it is
// never left half written: written whole and renamed over it, or, where the
// folder takes no new file, rewritten in place. A read-only file is left as
// it was; a new one may be read by its owner only (it holds the key). False
// with the line to log in `error`.
bool store_network_file(zel::Platform& platform, const char* path, const std::string& text, std::string& error);

// Copies a configuration file's path into a command's field; false, with the
// line to log in `error`, when it does not fit with its terminator (nothing
// is cut: a cut path would name some other file).
bool copy_file_name(char (&field)[kMaxPathLength + 1], const char* path, std::string& error);
