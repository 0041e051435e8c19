// The HUB model's handling of the info requests: configuration, state and
// the request handler.
#pragma once

#include <string>

namespace sim {

class HubModel;
struct Request;
struct Exchange;

struct InfoArea {
};

// Takes one "key = value" setting of a scenario file; false when the key
// is not this area's (or the value does not fit it).
bool configure_info(InfoArea& area, const std::string& key, const std::string& value);

// Handles one request when it belongs to this area; false otherwise.
bool handle_info(HubModel& hub, const Request& request, Exchange& exchange);
// Handles a text command typed to the HUB (the line without its CR).
bool handle_info_text(HubModel& hub, const std::string& line, Exchange& exchange);

}  // namespace sim
