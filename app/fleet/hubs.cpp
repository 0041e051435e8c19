#include "app/fleet/hubs.hpp"

#include <iterator>

#include "log/RunScope.hpp"
#include "serial/zel_usb_cdc_interface.hpp"
#include "src/FirmwareImage.hpp"

namespace zel::fleet {
namespace {

struct KindName {
    const char* key;
    uint32_t device_type;
};
constexpr KindName kKinds[] = {
    {"atmel", DEVICE_TORVANE_ATMEL},
    {"quillet", DEVICE_QUILLET},
    {"st", DEVICE_TORVANE_ST},
};

}  // namespace

std::vector<Hub> discover_hubs(Platform& platform) {
    // The serial layer reaches the system through the platform of the run
    // in progress: this scope makes it the fleet's for the discovery.
    RunScope scope(platform);
    zel_usb_cdc_interface discovery;
    discovery.usb_ids.assign(std::begin(kHubIds), std::end(kHubIds));
    discovery.find_ports();
    std::vector<Hub> hubs;
    for (int i = 0; i < discovery.port_count; ++i) {
        const PortEntry& entry = discovery.ports[i];
        hubs.push_back({entry.name, entry.location, device_kind_name(entry.device_type), entry.device_type});
    }
    return hubs;
}

uint32_t kind_type(const std::string& key) {
    for (const KindName& kind : kKinds) {
        if (key == kind.key) return kind.device_type;
    }
    return 0;
}

std::string kind_key(uint32_t device_type) {
    for (const KindName& kind : kKinds) {
        if (device_type == kind.device_type) return kind.key;
    }
    return "";
}

std::string hub_image_problem(std::span<const uint8_t> image, uint32_t device_type) {
    std::string problem = fwimage::check_tag(image, fwimage::expected_target(true, device_type));
    if (!problem.empty()) return problem;
    // The Atmel bootloader takes the single-part layout, the others two parts.
    if (device_type == DEVICE_TORVANE_ATMEL) {
        fwimage::SinglePartImage single;
        return fwimage::check_single_part(image, single);
    }
    fwimage::TwoPartImage two;
    return fwimage::check_two_part(image, two);
}

std::string sensor_image_problem(std::span<const uint8_t> image) {
    std::string problem = fwimage::check_tag(image, fwimage::kTargetSensor);
    fwimage::SinglePartImage single;
    return problem.empty() ? fwimage::check_single_part(image, single) : problem;
}

}  // namespace zel::fleet
