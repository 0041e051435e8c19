// How long the tool waits. The documented timing is the protocol's own;
// the fast one (ZEL_TIMING=fast) ends a wait on what the HUB does where the
// HUB tells: it leaving and coming back, an echo or a stream arriving. It
// never gives up sooner than the documented timing would, so both modes
// send the same bytes and end the same way. Every value in which the modes
// differ is named here; the waits both keep are named beside the requests
// they follow (the upgrade's in src/PerformFWUpgrade.cpp).
#pragma once

#include <cstdint>

namespace zel {

struct Timing {
    bool fast = false;
    // After creating the port handle, before the first byte.
    uint32_t open_settle_ms = 1000;
    // A restart: the documented sleep before the HUB is looked for; the fast
    // mode looks this often instead, first for it leaving, then for it
    // coming back, for as long as the documented attempts last.
    uint32_t restart_sleep_ms = 5000;
    uint32_t look_every_ms = 50;
    // The documented pause before reading the echo of a 104-byte request or
    // a typed character; the fast mode reads such an echo as it arrives.
    // Bootloader requests always keep it: the bootloader may need it.
    bool pause_before_short_echo = true;
    // Silence that ends a fast read of a stream whose length only the HUB
    // knows: the sensor records (once whole records have come) and the
    // HUB's log. A HUB that pauses up to 2 s inside either gives the same
    // bytes in both modes.
    int64_t records_quiet_ms = 2500;
    int64_t log_quiet_ms = 2500;

    static Timing documented() { return {}; }
    static Timing quick() {
        Timing t;
        t.fast = true;
        t.open_settle_ms = 100;
        t.pause_before_short_echo = false;
        return t;
    }
};

}  // namespace zel
