#include "sim/area_network.hpp"

#include "sim/hub_model.hpp"

namespace sim {

bool handle_network(HubModel&, const Request&, Exchange&) { return false; }

}  // namespace sim
