#include "app/branches.hpp"

// WiFi configuration (-w, -r, -rs): not built yet; the options run nothing.
int branch_write_network(const char*) { return 0; }
int branch_read_network(const char*) { return 0; }
int branch_scan_networks(const char*, const char*) { return 0; }
