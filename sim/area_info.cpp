#include "sim/area_info.hpp"

#include "sim/hub_model.hpp"

namespace sim {

bool configure_info(InfoArea&, const std::string&, const std::string&) { return false; }
bool handle_info(HubModel&, const Request&, Exchange&) { return false; }
bool handle_info_text(HubModel&, const std::string&, Exchange&) { return false; }

}  // namespace sim
