#include "app/branches.hpp"
#include "serial/zel_usb_cdc_interface.hpp"

int branch_list(Run& run) {
    RunRecord& record = run.record;
    // Only what the system tells without opening a port: opening raises the
    // modem lines, which a HUB may take for a request.
    zel_usb_cdc_interface discovery(run.context.platform);
    discovery.logger = &run.log();
    discovery.find_ports();
    nlohmann::ordered_json& hubs = record.data()["hubs"] = nlohmann::ordered_json::array();
    if (discovery.port_count == 0) run.out("No HUB attached.\n");
    for (int i = 0; i < discovery.port_count; ++i) {
        const PortEntry& hub = discovery.ports[i];
        const std::string holder = discovery.platform().port_holder(hub.name);
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
