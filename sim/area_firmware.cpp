#include "sim/area_firmware.hpp"

#include "sim/hub_model.hpp"

namespace sim {

bool configure_firmware(FirmwareArea&, const std::string&, const std::string&) { return false; }
bool handle_firmware(HubModel&, const Request&, Exchange&) { return false; }

}  // namespace sim
