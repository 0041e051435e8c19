#include "src/NetworkConfiguration.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

#include "log/text.hpp"
#include "platform/platform.hpp"
#include "src/le32.hpp"

namespace {

using rapidxml::node_element;
using rapidxml::xml_node;

void copy_text(void* to, const void* from, size_t size) {
    const size_t n = bounded_text(from, size).size();
    std::memcpy(to, from, n);
    std::memset(static_cast<char*>(to) + n, 0, size - n);
}

std::string_view text_of(const xml_node<>* node) {
    return {node->value(), node->value_size()};
}

// A key that does not fit with its terminator is refused rather than cut: a
// cut key would be a different key, and the HUB would silently fail to join.
bool take_text(std::string_view name, std::string_view text, char (&field)[netrecord::kTextField], std::string& error) {
    if (text.size() >= netrecord::kTextField) {
        error =
            format_string("%.*s in the XML configuration file has %u characters; at most %u fit.\n", int(name.size()),
                          name.data(), unsigned(text.size()), unsigned(netrecord::kTextField - 1));
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        error = format_string("%.*s in the XML configuration file holds a zero character.\n", int(name.size()),
                              name.data());
        return false;
    }
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), text.size());
    return true;
}

// What a conversion changed is said, and what is sent instead.
void warn_of(std::string_view name, std::string_view text, const std::string& sent,
             std::vector<std::string>& warnings) {
    warnings.push_back(format_string("%.*s \"%.*s\" in the XML configuration file is sent as %s.\n", int(name.size()),
                                     name.data(), int(std::min<size_t>(text.size(), 40)), text.data(), sent.c_str()));
}

bool take_address(std::string_view name, const xml_node<>* node, uint32_t& field, std::string& error,
                  std::vector<std::string>& warnings) {
    const std::string_view text = text_of(node);
    if (!is_well_formed_IP_address(text)) {
        error = format_string("Malformed address \"%.*s\" for %.*s in the XML configuration file.\n",
                              int(std::min<size_t>(text.size(), 40)), text.data(), int(name.size()), name.data());
        return false;
    }
    field = _parse_IP_address(node->value());
    bool plain = true;
    for (std::string_view rest = text;;) {
        const size_t dot = rest.find('.');
        plain = plain && is_plain_number(rest.substr(0, dot), 255);
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    if (!plain) warn_of(name, text, format_IP_address(field), warnings);
    return true;
}

uint32_t take_number(std::string_view name, const xml_node<>* node, std::vector<std::string>& warnings) {
    const uint32_t value = parse_number(node->value());
    if (!is_plain_number(text_of(node), UINT32_MAX)) warn_of(name, text_of(node), std::to_string(value), warnings);
    return value;
}

// The code of a group is the position of its last child whose "value" is
// exactly "true"; the children's names are not looked at.
bool take_group(xml_node<>* root, const char* name, const char* missing, uint32_t& field, std::string& error) {
    const xml_node<>* group = root->first_node(name);
    if (group == nullptr) {
        error = missing;
        return false;
    }
    uint32_t position = 0;
    for (const xml_node<>* child = group->first_node(); child != nullptr; child = child->next_sibling(), ++position) {
        const rapidxml::xml_attribute<>* value = child->first_attribute("value");
        if (value == nullptr) {
            error = "Expecting \"value\" as node attribute in the XML configuration file.\n";
            return false;
        }
        if (std::string_view(value->value(), value->value_size()) == "true") field = position;
    }
    return true;
}

template <size_t N>
void append_group(rapidxml::xml_document<>& doc, xml_node<>* root, const char* name,
                  const std::array<const char*, N>& options, uint32_t code) {
    xml_node<>* group = doc.allocate_node(node_element, name);
    root->append_node(group);
    for (size_t i = 0; i < N; ++i) {
        xml_node<>* option = doc.allocate_node(node_element, options[i]);
        option->append_attribute(doc.allocate_attribute("value", code == i ? "true" : "false"));
        group->append_node(option);
    }
}

}  // namespace

NetworkConfiguration network_from_message(std::span<const uint8_t, netrecord::kMessageSize> message) {
    using namespace netrecord;
    NetworkConfiguration c{};
    copy_text(c.SSID, &message[kSsid], kTextField);
    copy_text(c.PSK, &message[kPsk], kTextField);
    std::memcpy(c.UNITY_ADDR, &message[kUnityAddr], sizeof c.UNITY_ADDR);
    c.CHANNEL_NO = get_le32(&message[kChannel]);
    c.SERVERIP = get_le32(&message[kServerIp]);
    c.DEVICEIP = get_le32(&message[kDeviceIp]);
    c.GATEWAY = get_le32(&message[kGateway]);
    c.PORT = get_le32(&message[kPort]);
    c.DHCP = get_le32(&message[kDhcp]);
    c.SECURITY_TYPE = get_le32(&message[kSecurity]);
    c.BAND = get_le32(&message[kBand]);
    return c;
}

void network_to_message(const NetworkConfiguration& c, std::span<uint8_t, netrecord::kMessageSize> message) {
    using namespace netrecord;
    std::memcpy(&message[kUnityAddr], c.UNITY_ADDR, sizeof c.UNITY_ADDR);
    put_le32(&message[kDhcp], c.DHCP);
    put_le32(&message[kChannel], c.CHANNEL_NO);
    put_le32(&message[kSecurity], c.SECURITY_TYPE);
    put_le32(&message[kServerIp], c.SERVERIP);
    put_le32(&message[kPort], c.PORT);
    put_le32(&message[kDeviceIp], c.DEVICEIP);
    put_le32(&message[kGateway], c.GATEWAY);
    put_le32(&message[kBand], c.BAND);
    copy_text(&message[kSsid], c.SSID, kTextField);
    copy_text(&message[kPsk], c.PSK, kTextField);
}

uint32_t parse_number(const char* text) {
    if (text == nullptr) return 0;
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + uint32_t(*p - '0');
    return negative ? 0u - value : value;
}

bool is_plain_number(std::string_view text, uint64_t max) {
    const size_t from = text.find_first_not_of(" \t\n\v\f\r");
    const size_t to = text.find_last_not_of(" \t\n\v\f\r");
    if (from == std::string_view::npos) return false;
    uint64_t value = 0;
    for (const char c : text.substr(from, to - from + 1)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
        if (value > max) return false;
    }
    return true;
}

uint32_t _parse_IP_address(const char* text) {
    if (text == nullptr) return 0;
    uint32_t address = 0;
    const char* part = text;
    for (int i = 0; i < 4; ++i) {
        // A number stops at the dot, so each part converts on its own.
        address |= (parse_number(part) & 0xFFu) << (8 * i);
        const char* dot = std::strchr(part, '.');
        if (dot == nullptr) break;
        part = dot + 1;
    }
    return address;
}

bool is_well_formed_IP_address(std::string_view text) {
    int parts = 0;
    for (;;) {
        const size_t dot = text.find('.');
        const size_t length = dot == std::string_view::npos ? text.size() : dot;
        if (length < 1 || length > 3 || ++parts > 4) return false;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts == 4;
}

std::string format_IP_address(uint32_t a) {
    return format_string("%u.%u.%u.%u", a & 0xFFu, (a >> 8) & 0xFFu, (a >> 16) & 0xFFu, a >> 24);
}

std::string network_xml_text(const NetworkConfiguration& c) {
    rapidxml::xml_document<> doc;
    xml_node<>* declaration = doc.allocate_node(rapidxml::node_declaration);
    declaration->append_attribute(doc.allocate_attribute("version", "1.0"));
    declaration->append_attribute(doc.allocate_attribute("encoding", "utf-8"));
    doc.append_node(declaration);
    xml_node<>* root = doc.allocate_node(node_element, "NETWORK");
    doc.append_node(root);

    auto append_text = [&](const char* name, std::string_view text) {
        // The document keeps its own zero-terminated copy of every value.
        char* value = doc.allocate_string(nullptr, text.size() + 1);
        std::memcpy(value, text.data(), text.size());
        value[text.size()] = '\0';
        root->append_node(doc.allocate_node(node_element, name, value, 0, text.size()));
    };
    append_text("SSID", bounded_text(c.SSID, sizeof c.SSID));
    append_text("PSK", bounded_text(c.PSK, sizeof c.PSK));
    append_text("UNITY_ADDR", bounded_text(c.UNITY_ADDR, sizeof c.UNITY_ADDR));
    append_text("CHANNEL_NO", std::to_string(c.CHANNEL_NO));
    append_text("SERVERIP", format_IP_address(c.SERVERIP));
    append_text("DEVICEIP", format_IP_address(c.DEVICEIP));
    append_text("GATEWAY", format_IP_address(c.GATEWAY));
    append_text("PORT", std::to_string(c.PORT));
    append_group(doc, root, "DHCP", kDhcpOptions, c.DHCP);
    append_group(doc, root, "SECURITY_TYPE", kSecurityOptions, c.SECURITY_TYPE);
    append_group(doc, root, "BAND", kBandOptions, c.BAND);

    std::string text;
    rapidxml::print(std::back_inserter(text), doc, 0);
    doc.clear();
    return text;
}

bool read_network_xml(char* text, NetworkConfiguration& configuration, std::string& error,
                      std::vector<std::string>& warnings) {
    rapidxml::xml_document<> doc;
    try {
        doc.parse<0>(text);
    } catch (const rapidxml::parse_error& e) {
        const char* where = e.where<char>();
        const long offset = where != nullptr ? long(where - text) : -1L;
        error = format_string("The XML configuration file is not well-formed: %s at byte %ld.\n", e.what(), offset);
        return false;
    }
    xml_node<>* root = doc.first_node("NETWORK");
    if (root == nullptr) {
        error = "Expecting root node NETWORK in the XML configuration file.\n";
        return false;
    }
    // Work on a copy so that a refused file leaves the caller's record as it was.
    NetworkConfiguration c = configuration;
    for (const xml_node<>* node = root->first_node(); node != nullptr; node = node->next_sibling()) {
        if (node->type() != node_element) continue;
        const std::string_view name(node->name(), node->name_size());
        const std::string_view text = text_of(node);
        bool ok = true;
        if (name == "SSID") {
            ok = take_text(name, text, c.SSID, error);
        } else if (name == "PSK") {
            ok = take_text(name, text, c.PSK, error);
        } else if (name == "UNITY_ADDR") {
            std::memset(c.UNITY_ADDR, 0, sizeof c.UNITY_ADDR);
            std::memcpy(c.UNITY_ADDR, text.data(), std::min(text.size(), sizeof c.UNITY_ADDR));
            if (text.size() > sizeof c.UNITY_ADDR) {
                warn_of(name, text, "\"" + std::string(text.substr(0, sizeof c.UNITY_ADDR)) + "\"", warnings);
            }
        } else if (name == "CHANNEL_NO") {
            c.CHANNEL_NO = take_number(name, node, warnings);
        } else if (name == "SERVERIP") {
            ok = take_address(name, node, c.SERVERIP, error, warnings);
        } else if (name == "DEVICEIP") {
            ok = take_address(name, node, c.DEVICEIP, error, warnings);
        } else if (name == "GATEWAY") {
            ok = take_address(name, node, c.GATEWAY, error, warnings);
        } else if (name == "PORT") {
            c.PORT = take_number(name, node, warnings);
        }
        if (!ok) return false;
    }
    if (!take_group(root, "DHCP", "Expecting DHCP as root node in the XML configuration file.\n", c.DHCP, error) ||
        !take_group(root, "SECURITY_TYPE", "Expecting SECURITY_TYPE as root node in the XML configuration file.\n",
                    c.SECURITY_TYPE, error) ||
        !take_group(root, "BAND", "Expecting BAND as root node in the XML configuration file.\n", c.BAND, error)) {
        return false;
    }
    doc.clear();
    configuration = c;
    return true;
}

bool load_network_file(zel::Platform& platform, const char* path, std::array<char, kXmlBufferSize>& buffer,
                       std::string& error) {
    const zel::FileStatus status = platform.file_status(path);
    if (status.kind == zel::FileStatus::Missing) {
        error = format_string("Unable to open configuration file %s.\n", path);
        return false;
    }
    // A FIFO or a device would block the read or never end.
    if (status.kind != zel::FileStatus::Regular) {
        error = format_string("Configuration file %s is not a regular file.\n", path);
        return false;
    }
    const std::string too_large =
        format_string("Configuration file %s is too large (at most %u bytes).\n", path, unsigned(kXmlBufferSize - 1));
    std::string text;
    if (status.size >= kXmlBufferSize) {
        error = too_large;
        return false;
    }
    if (!platform.read_file(path, kXmlBufferSize - 1, true, text)) {
        error = format_string("Unable to read configuration file %s.\n", path);
        return false;
    }
    // Read one byte beyond what fits, so a file that grew since is caught too.
    if (text.size() >= buffer.size()) {
        error = too_large;
        return false;
    }
    std::memcpy(buffer.data(), text.data(), text.size());
    buffer[text.size()] = '\0';
    return true;
}

bool store_network_file(zel::Platform& platform, const char* path, const std::string& text, std::string& error) {
    // The file holds the WiFi key in clear: a new one is its owner's alone.
    switch (platform.replace_file(path, text, true, true)) {
        case zel::FileWrite::Replaced:
        case zel::FileWrite::WrittenInPlace: return true;
        case zel::FileWrite::ReadOnly: error = format_string("Configuration file %s is read-only.\n", path); break;
        case zel::FileWrite::NotRegular:
            error = format_string("Configuration file %s is not a regular file.\n", path);
            break;
        case zel::FileWrite::Failed: error = format_string("Unable to write configuration file %s.\n", path); break;
    }
    return false;
}

bool copy_file_name(char (&field)[kMaxPathLength + 1], const char* path, std::string& error) {
    if (!fits_field(path, sizeof field)) {
        error = format_string("Path of configuration file too long (%u characters, at most %u): %s\n",
                              unsigned(std::strlen(path)), unsigned(kMaxPathLength), path);
        return false;
    }
    std::memcpy(field, path, std::strlen(path) + 1);
    return true;
}
