// The branches the rows of app/operations.cpp run. Each constructs its
// command, fills it from the arguments, connects, runs, reports, puts what
// it found into the run's record, and returns the result.
#pragma once

#include "app/run_record.hpp"
#include "log/USB_Logger.hpp"
#include "src/Command.hpp"

// One run: what it hands its command, and its record.
struct Run {
    zel::RunContext& context;
    RunRecord& record;

    USB_Logger& log() const { return context.logger; }
    // printf onto the run's standard output (the driver's reports).
    void out(const char* format, ...) const ZEL_PRINTF_FORMAT(2, 3);
};

int branch_log(Run& run);
int branch_selftest(Run& run);
int branch_hub_info(Run& run, bool boot_info);
int branch_sensor_info(Run& run);
int branch_write_network(Run& run, const char* path);
int branch_read_network(Run& run, const char* path);
int branch_scan_networks(Run& run, const char* channel, const char* band /* may be null */);
int branch_hub_upgrade(Run& run, const char* path);
int branch_sensor_upgrade(Run& run, const char* path, bool from_boot);
int branch_sensor_trigger(Run& run, bool run_firmware);
int branch_list(Run& run);

// Connects the command and runs it: its result, 6 when it could not
// connect, 130 when the run was interrupted (after logging where it was and
// what that leaves the HUB in). The record learns the HUB.
int connect_and_run(Command& command, Run& run);
