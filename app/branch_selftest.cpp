#include "app/branches.hpp"

// Self-test (-stest): not built yet; the option runs nothing.
int branch_selftest() { return 0; }
