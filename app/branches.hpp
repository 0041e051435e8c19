// One function per option of the driver. Each constructs its command, fills
// it from the arguments, connects, runs, reports, puts what it found into
// the run's record, and returns the result.
#pragma once

#include "app/run_record.hpp"
#include "log/USB_Logger.hpp"
#include "src/Command.hpp"

int branch_log(RunRecord& record);
int branch_selftest(RunRecord& record);
int branch_hub_info(RunRecord& record, bool boot_info);
int branch_sensor_info(RunRecord& record);
int branch_write_network(RunRecord& record, const char* path);
int branch_read_network(RunRecord& record, const char* path);
int branch_scan_networks(RunRecord& record, const char* channel, const char* band /* may be null */);
int branch_hub_upgrade(RunRecord& record, const char* path);
int branch_sensor_upgrade(RunRecord& record, const char* path, bool from_boot);
int branch_sensor_trigger(RunRecord& record, bool run_firmware);
int branch_list(RunRecord& record);

// printf onto the active platform's standard output (the driver's reports).
void print_out(const char* format, ...) ZEL_PRINTF_FORMAT(1, 2);

// Connects the command and runs it: its result, 6 when it could not
// connect, 130 when the run was interrupted (after logging where it was and
// what that leaves the HUB in). The record learns the HUB.
int connect_and_run(Command& command, RunRecord& record);
