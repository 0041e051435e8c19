// The HUB model's handling of the network requests: configuration, state and
// the request handler.
#pragma once

#include <string>

namespace sim {

class HubModel;
struct Request;
struct Exchange;

struct NetworkArea {
};

// Handles one request when it belongs to this area; false otherwise.
bool handle_network(HubModel& hub, const Request& request, Exchange& exchange);

}  // namespace sim
