#include "sim/area_firmware.hpp"

#include "sim/hub_model.hpp"

namespace sim {

bool handle_firmware(HubModel&, const Request&, Exchange&) { return false; }

}  // namespace sim
