#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "app/branches.hpp"
#include "log/text.hpp"
#include "src/NetworkConfiguration.hpp"
#include "src/ReadNetworkCommand.hpp"
#include "src/ScanNetworksCommand.hpp"
#include "src/WriteNetworkCommand.hpp"

namespace {

// A configuration as the record keeps it: everything but the key.
nlohmann::ordered_json configuration_data(const uint8_t* message) {
    const NetworkConfiguration c =
        network_from_message(std::span<const uint8_t, netrecord::kMessageSize>(message, netrecord::kMessageSize));
    auto text = [](const char* field, size_t size) { return std::string(bounded_text(field, size)); };
    auto option = [](const auto& options, uint32_t code) { return code < options.size() ? options[code] : "none"; };
    return {{"ssid", text(c.SSID, sizeof c.SSID)},
            {"unity_addr", text(c.UNITY_ADDR, sizeof c.UNITY_ADDR)},
            {"channel", c.CHANNEL_NO},
            {"server_ip", format_IP_address(c.SERVERIP)},
            {"device_ip", format_IP_address(c.DEVICEIP)},
            {"gateway", format_IP_address(c.GATEWAY)},
            {"port", c.PORT},
            {"dhcp", option(kDhcpOptions, c.DHCP)},
            {"security_type", option(kSecurityOptions, c.SECURITY_TYPE)},
            {"band", option(kBandOptions, c.BAND)}};
}

}  // namespace

int branch_write_network(Run& run, const char* path) {
    RunRecord& record = run.record;
    WriteNetworkCommand command(run.context);
    USB_Logger* logger = &run.log();
    logger->Info("Creating object WriteNetworkCommand - using XML-file\n");
    int result = 0;
    const RunStage refused{"reading the XML file", "Nothing was sent to the HUB",
                           "mend the file as the lines above say, then run -w again"};
    std::string too_long;
    if (!command.set_file_name(path, too_long)) {
        logger->Error("%s", too_long.c_str());
        result = results::write_network::kFileRefused;
        record.failed(result, refused);
    } else {
        // The file is judged whole before any port opens, as an image is.
        result = command.load_file();
        if (result != 0) {
            record.failed(result, refused);
        } else {
            result = connect_and_run(command, run);
        }
    }
    if (result != 0) logger->Error("Network configuration failed - status %d\n", result);
    if (command.sent) record.data()["configuration"] = configuration_data(command.request);
    if (result == 0) {
        const nlohmann::ordered_json& c = record.data()["configuration"];
        record.succeeded("the WiFi configuration of " + std::string(path) + " was written to the HUB",
                         "The HUB took it (status 0): network \"" + c["ssid"].get<std::string>() + "\", server " +
                             c["server_ip"].get<std::string>() + ", port " + std::to_string(c["port"].get<uint32_t>()));
    }
    return result;
}

int branch_read_network(Run& run, const char* path) {
    RunRecord& record = run.record;
    ReadNetworkCommand command(run.context);
    USB_Logger* logger = &run.log();
    logger->Info("Creating object ReadNetworkCommand - using XML-file\n");
    int result = 0;
    std::string too_long;
    if (!command.set_file_name(path, too_long)) {
        logger->Error("%s", too_long.c_str());
        result = results::read_network::kFileNotWritten;
        record.failed(result, {"checking the XML file's path", "Nothing was sent to the HUB",
                               "run -r again with a shorter path"});
    } else {
        result = connect_and_run(command, run);
    }
    if (result != 0) logger->Error("Something went wrong reading network configuration!! - error-code %d\n", result);
    if (result == 0) {
        record.data()["configuration"] = configuration_data(command.reply);
        record.succeeded("the WiFi configuration was read into " + std::string(path), "Nothing on the HUB was changed");
    }
    return result;
}

namespace {

// The driver's conversion of a scan argument, and a warning where it sends
// something other than what was typed (or than the usage text allows).
uint32_t scan_argument(const char* text, const char* what, uint32_t highest, USB_Logger* logger) {
    const uint32_t value = parse_number(text) & 0xFFu;
    if (!is_plain_number(text, highest)) {
        logger->Warning("The %s \"%s\" is not a number from 0 to %u: %s %u is sent\n", what, text, highest, what,
                        unsigned(value));
    }
    return value;
}

}  // namespace

int branch_scan_networks(Run& run, const char* channel_text, const char* band_text) {
    RunRecord& record = run.record;
    USB_Logger* logger = &run.log();
    const uint32_t channel = scan_argument(channel_text, "channel", 20, logger);
    const uint32_t band = band_text != nullptr ? scan_argument(band_text, "band", 2, logger) : 2u;
    // Any band above 1 is announced as dual-band but sent as given.
    const char* band_name = band >= 2 ? "Dual-band" : band == 1 ? "Band 5GHz" : "Band 2.4GHz";
    run.out("\n%s - Channel %d\n", band_name, int(channel));
    logger->Info("Scanning: %s - Channel %d\n", band_name, int(channel));
    ScanResult result{};
    result.channel = channel;
    result.band = band;

    ScanNetworksCommand command(run.context);
    logger->Info("Creating object ScanNetworksCommand\n");
    command.result = &result;
    command.channel = uint8_t(result.channel);
    command.band = uint8_t(result.band);
    const int scanned = connect_and_run(command, run);
    if (scanned != 0) result.count = 0;

    const int count = std::min<int>(result.count, ScanResult::kMaxEntries);
    run.out("Number of access points found %d\n", count);
    // Field by field: an interruption's record is kept.
    nlohmann::ordered_json& data = record.data();
    data["channel"] = channel;
    data["band"] = band;
    data["scan_result"] = scanned;
    data["access_points"] = nlohmann::ordered_json::array();
    for (int i = 0; i < count; ++i) {
        const AccessPointRecord& entry = result.access_points[i];
        const std::string_view name = access_point_name(entry);
        run.out("\t Access Point %d:\n", i);
        run.out("\t\t SSID %.*s\n", int(name.size()), name.data());
        run.out("\t\t RF_CHANNEL %d\n", int(entry.RF_CHANNEL));
        run.out("\t\t SECURITY_MODE %d\n", int(entry.SECURITY_MODE));
        run.out("\t\t RSSI_VAL %d\n", int(entry.RSSI_VAL));
        run.out("\t\t NETWORK_TYPE %d\n", int(entry.NETWORK_TYPE));
        data["access_points"].push_back({{"ssid", std::string(name)},
                                         {"rf_channel", entry.RF_CHANNEL},
                                         {"security_mode", entry.SECURITY_MODE},
                                         {"rssi", entry.RSSI_VAL},
                                         {"network_type", entry.NETWORK_TYPE}});
    }
    if (scanned == 0) {
        record.succeeded("channel " + std::to_string(channel) + " was scanned (" + band_name +
                             "): " + std::to_string(count) + " access points found",
                         "Nothing on the HUB was changed");
    }
    // A scan that could not be made is no success: the exit code says why
    // (6 no HUB, 12 the request failed, 13 the reply failed).
    return scanned;
}
