#include "app/branches.hpp"
#include "serial/zel_usb_cdc_interface.hpp"

int branch_list(Run& run) {
    RunRecord& record = run.record;
    // Only what the system tells without opening a port: opening raises the
    // modem lines, which a HUB may take for a request.
    // Its serial number is never shown: only a run that opens the port reads it.
    // Every HUB, also beyond the ten a run's port table holds.
    zel::Platform& platform = run.context.platform;
    const std::vector<PortEntry> attached = find_hubs(platform);
    nlohmann::ordered_json& hubs = record.data()["hubs"] = nlohmann::ordered_json::array();
    if (attached.empty()) run.out("No HUB attached.\n");
    for (const PortEntry& hub : attached) {
        const std::string holder = platform.port_holder(hub.name);
        run.out("%s\t%s\tUSB location %s%s%s\n", hub.name, hub_kind_name(hub.device_type),
                hub.location.empty() ? "unknown" : hub.location.c_str(), holder.empty() ? "" : "\tin use by ",
                holder.c_str());
        hubs.push_back({{"port", hub.name},
                        {"kind", hub_kind_name(hub.device_type)},
                        {"location", hub.location},
                        {"held_by", holder}});
    }
    return 0;
}
