#include "sim/area_info.hpp"

#include "sim/hub_model.hpp"

namespace sim {

bool handle_info(HubModel&, const Request&, Exchange&) { return false; }
bool handle_info_text(HubModel&, const std::string&, Exchange&) { return false; }

}  // namespace sim
