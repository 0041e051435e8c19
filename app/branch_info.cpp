#include "app/branches.hpp"

// Device information (-log, -hinfo, -sinfo): not built yet; the options run nothing.
int branch_log() { return 0; }
int branch_hub_info(bool) { return 0; }
int branch_sensor_info() { return 0; }
