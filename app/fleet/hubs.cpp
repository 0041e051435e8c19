#include "app/fleet/hubs.hpp"

#include "serial/zel_usb_cdc_interface.hpp"
#include "src/FirmwareImage.hpp"

namespace zel::fleet {

std::vector<Hub> discover_hubs(Platform& platform) {
    std::vector<Hub> hubs;
    for (const PortEntry& entry : find_hubs(platform)) {
        hubs.push_back({entry.name, entry.location, hub_kind_name(entry.device_type), entry.device_type});
    }
    return hubs;
}

HubKind kind_type(const std::string& key) {
    const HubKindRow* row = hub_kind_by_key(key);
    return row != nullptr ? row->kind : HubKind::None;
}

std::string kind_key(HubKind kind) {
    const HubKindRow* row = hub_kind(kind);
    return row != nullptr ? row->key : "";
}

std::string hub_image_problem(std::span<const uint8_t> image, HubKind kind) {
    const HubKindRow* row = hub_kind(kind);
    if (row == nullptr) return "no HUB kind";
    std::string problem = fwimage::check_tag(image, fwimage::expected_target(true, kind));
    if (!problem.empty()) return problem;
    // The layout the kind's bootloader takes.
    if (row->upgrade == UpgradeForm::SinglePart) {
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
