// The scenario file of zel_hub_sim: "key = value" lines that configure one
// HUB model. The core keys are read here; every other key goes to the
// areas' configure_* functions in turn. The values are read with the
// model's own parsers (sim/model/settings.hpp).
//
// Core keys (docs/HUB_SIM.md has the full description):
//   kind = atmel | quillet | st
//   legacy = yes | no
//   port_name = ttyACM0                  port_name_after_reset = ttyACM1
//   location = 1-1                       the USB socket: bus-port[.port...]
//   reset_absent_ms = 1500               (negative: never comes back)
//   refuse_opens = 0                     refuse_opens_after_restart = 0
//   open_denied = no                     holder = TEXT  (in-process runs only)
//   sensor_trigger_drops = no            probe_answer = 0x00000200
//   reply_delay_us = 500
//   fault = <which> type:<type> [byte:K] [count:N] [status:W] [delay_ms:T]
//     which: index:N (the N-th request, from 0)
//            word:W [occurrence:N | occurrence:every]
//     type:  no_echo, echo_changed (byte), partial_echo (count),
//            no_reply, short_reply (count), status_only (status),
//            late_reply (delay_ms), vanish (delay_ms; negative or
//            "forever": never comes back), stall
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/model/hub_model.hpp"

namespace sim::scenario_file {

std::optional<Kind> parse_kind(std::string_view text);

// A tty entry name: it becomes a file name under the fake sysfs and /dev.
bool valid_port_name(std::string_view name);

// A USB location such as 1-1 or 1-1.4: it names a device directory.
bool valid_location(std::string_view location);

// The value of a "fault" line: space-separated name:value fields.
bool parse_fault(std::string_view text, FaultRule& rule, std::string& error);

// One setting. The areas get every key that is not a core one.
bool apply_setting(HubConfig& config, const std::string& key, const std::string& value, std::string& error);

// A whole file's text, applied over `config`. `error` names the line.
bool parse(std::string_view text, HubConfig& config, std::string& error);

}  // namespace sim::scenario_file
