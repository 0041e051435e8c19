// The HUB kinds: one row each, with everything that differs between them.
// Discovery finds a HUB by its row's USB identifiers, and every other
// question of the form "which kind is it?" reads the row (or switches on one
// of its forms), so that a new kind is a new row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The numbers are the device types the port table has always carried.
enum class HubKind : uint32_t {
    None = 0,  // no HUB (yet)
    TorvaneAtmel = 1,
    Quillet = 2,
    TorvaneSt = 3,
};

// How the HUB's own firmware is upgraded.
enum class UpgradeForm {
    SinglePart,  // a single-part image through the bootloader form (marker, code, parameter)
    TwoPart,     // a two-part image, part by part, through the request words of the ST bootloader
};

// How the upgrade asks the bootloader for its report.
enum class BootInfoForm {
    BootloaderCode,  // the bootloader form with its code '7'
    RequestWord,     // the request word 0x00740100
};

// One step of the built-in self-test.
struct TestStep {
    uint32_t request_word = 0;
    bool keep_data = false;  // the step's result entry receives the reply's data bytes
    uint32_t time_limit_ms = 0;
};

inline constexpr size_t kMaxSelfTestSteps = 32;  // the most steps a kind's self-test has

// The self-test of one kind. Step n is row n of `steps`; step 1 asks for the
// self-test's version (with its own fixed limit).
struct SelfTestProduct {
    const char* announcement;
    int32_t step_count;
    uint32_t expected_version;  // the self-test version this tool runs
    std::span<const TestStep> steps;
    // The test runs in safe mode: entered and left through restarts, and a
    // failed test sends the HUB back to its bootloader.
    bool safe_mode;
};

struct HubKindRow {
    HubKind kind;
    uint16_t vendor_id;
    uint16_t product_id;
    const char* label;  // "CDC-interface: A <label> detected..."
    const char* name;   // in -list and in the run record
    const char* key;    // "st": the kind on zel_fleet's command line (--image st=FILE)
    char image_target;  // the target letter of its HUB images
    UpgradeForm upgrade;
    BootInfoForm boot_info;
    bool boot_request;                 // -hinfo -boot sends the boot request (otherwise the plain one)
    bool probed;                       // Connect probes its framing (otherwise it speaks the current one)
    bool counts_sensors;               // a sensor upgrade first checks how many sensors are there
    const SelfTestProduct* self_test;  // null: it has none
};

// Every kind, in the order discovery looks for them.
std::span<const HubKindRow> hub_kinds();
// The row of a kind; null for HubKind::None.
const HubKindRow* hub_kind(HubKind kind);
// The row named `key` ("st", "quillet", "atmel"); null for no kind.
const HubKindRow* hub_kind_by_key(std::string_view key);
// Its name in the reports ("Torvane (ST)"); "unknown" for HubKind::None.
const char* hub_kind_name(HubKind kind);
