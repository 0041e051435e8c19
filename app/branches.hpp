// One function per option of the driver. Each constructs its command, fills
// it from the arguments, connects, runs, reports and returns the result.
#pragma once

#include "log/USB_Logger.hpp"
#include "src/Command.hpp"

// Results the driver gives itself.
inline constexpr int kConnectionFailed = 6;
inline constexpr int kInterrupted = 130;  // as a shell reports a run ended by Ctrl-C

int branch_log();
int branch_selftest();
int branch_hub_info(bool boot_info);
int branch_sensor_info();
int branch_write_network(const char* path);
int branch_read_network(const char* path);
int branch_scan_networks(const char* channel, const char* band /* may be null */);
int branch_hub_upgrade(const char* path);
int branch_sensor_upgrade(const char* path, bool from_boot);
int branch_sensor_trigger(bool run_firmware);

// printf onto the active platform's standard output (the driver's reports).
void print_out(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);

// Connects the command and runs it: its result, 6 when it could not
// connect, 130 when the run was interrupted (after logging where it was and
// what that leaves the HUB in).
int connect_and_run(Command& command);
