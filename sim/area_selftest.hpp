// The HUB model's handling of the selftest requests: configuration, state and
// the request handler.
#pragma once

#include <string>

namespace sim {

class HubModel;
struct Request;
struct Exchange;

struct SelfTestArea {
};

// Takes one "key = value" setting of a scenario file; false when the key
// is not this area's (or the value does not fit it).
bool configure_selftest(SelfTestArea& area, const std::string& key, const std::string& value);

// Handles one request when it belongs to this area; false otherwise.
bool handle_selftest(HubModel& hub, const Request& request, Exchange& exchange);

}  // namespace sim
