#include "app/branches.hpp"

// Firmware upgrade (-h, -s, -sb): not built yet; the options run nothing.
int branch_hub_upgrade(const char*) { return 0; }
int branch_sensor_upgrade(const char*, bool) { return 0; }
