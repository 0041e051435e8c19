#include "serial/hub_kinds.hpp"

#include <array>

namespace {

constexpr uint32_t kLimit = 1000;
constexpr uint32_t kLongLimit = 5000;

// --- the self-tests ------------------------------------------------------------

constexpr std::array<TestStep, 32> kQuilletTable{{
    {0x00013A00, false, kLimit},    {0x00313A00, false, kLimit},    {0x00293B00, false, kLimit},
    {0x00023A00, false, kLimit},    {0x00043A00, false, kLimit},    {0x00063A00, false, kLimit},
    {0x00332A00, true, kLimit},     {0x00352A00, true, kLimit},     {0x00372A00, true, kLimit},
    {0x00083A00, false, kLimit},    {0x00093A00, false, kLimit},    {0x00103300, false, kLimit},
    {0x00113A00, false, kLimit},    {0x00123A00, false, kLimit},    {0x00133A00, false, kLimit},
    {0x00143A00, true, kLongLimit}, {0x00153700, true, kLimit},     {0x00163700, true, kLimit},
    {0x00173700, true, kLimit},     {0x00183700, true, kLimit},     {0x00193700, true, kLimit},
    {0x00203700, true, kLimit},     {0x00213700, true, kLimit},     {0x00223A00, false, kLimit},
    {0x00233A00, false, kLimit},    {0x00241300, false, kLimit},    {0x00253A00, false, kLimit},
    {0x00263800, true, kLimit},     {0x00273B00, false, kLimit},    {0x00283900, false, kLimit},
    {0x00323A00, false, kLimit},    {0x00503000, true, kLongLimit},
}};

// Both Torvanes: the Atmel one runs the first two steps.
constexpr std::array<TestStep, 3> kTorvaneTable{{
    {0x00010100, false, kLimit},
    {0x00241300, false, kLimit},
    {0x00103300, false, kLongLimit},
}};

constexpr SelfTestProduct kQuilletTest{
    .announcement = "Running Quillets self-test.\n",
    .step_count = 32,
    .expected_version = 0x01010000,
    .steps = kQuilletTable,
    .safe_mode = true,
};
constexpr SelfTestProduct kAtmelTest{
    .announcement = "Running Atmel-Torvane self-test.\n",
    .step_count = 2,
    .expected_version = 0x01010000,
    .steps = kTorvaneTable,
    .safe_mode = false,
};
constexpr SelfTestProduct kStTest{
    .announcement = "Running ST-Torvane self-test.\n",
    .step_count = 3,
    .expected_version = 0x01020000,
    .steps = kTorvaneTable,
    .safe_mode = false,
};

// --- the kinds -------------------------------------------------------------------

constexpr HubKindRow kKinds[] = {
    {
        .kind = HubKind::TorvaneAtmel,
        .vendor_id = 0x03EB,
        .product_id = 0x2404,
        .label = "Torvane",
        .name = "Torvane (Atmel)",
        .key = "atmel",
        .image_target = 'H',
        .upgrade = UpgradeForm::SinglePart,
        .boot_info = BootInfoForm::BootloaderCode,
        .boot_request = false,
        .probed = true,
        .counts_sensors = false,
        .self_test = &kAtmelTest,
    },
    {
        .kind = HubKind::Quillet,
        .vendor_id = 0x0483,
        .product_id = 0x5740,
        .label = "Quillet",
        .name = "Quillet",
        .key = "quillet",
        .image_target = 'H',
        .upgrade = UpgradeForm::TwoPart,
        .boot_info = BootInfoForm::RequestWord,
        .boot_request = true,
        .probed = false,
        .counts_sensors = false,
        .self_test = &kQuilletTest,
    },
    {
        .kind = HubKind::TorvaneSt,
        .vendor_id = 0x0483,
        .product_id = 0xA432,
        .label = "Torvane",
        .name = "Torvane (ST)",
        .key = "st",
        .image_target = 'I',
        .upgrade = UpgradeForm::TwoPart,
        .boot_info = BootInfoForm::RequestWord,
        .boot_request = false,
        .probed = true,
        .counts_sensors = true,
        .self_test = &kStTest,
    },
};

constexpr bool rows_fit() {
    for (const HubKindRow& row : kKinds) {
        if (row.kind == HubKind::None) return false;
        if (row.self_test == nullptr) continue;
        const SelfTestProduct& test = *row.self_test;
        if (test.step_count < 1 || size_t(test.step_count) > test.steps.size() ||
            size_t(test.step_count) > kMaxSelfTestSteps) {
            return false;
        }
    }
    return true;
}
static_assert(rows_fit(), "every kind is a kind, and its self-test has the steps it runs");

}  // namespace

std::span<const HubKindRow> hub_kinds() {
    return kKinds;
}

const HubKindRow* hub_kind(HubKind kind) {
    for (const HubKindRow& row : kKinds) {
        if (row.kind == kind) return &row;
    }
    return nullptr;
}

const HubKindRow* hub_kind_by_key(std::string_view key) {
    for (const HubKindRow& row : kKinds) {
        if (key == row.key) return &row;
    }
    return nullptr;
}

const char* hub_kind_name(HubKind kind) {
    const HubKindRow* row = hub_kind(kind);
    return row != nullptr ? row->name : "unknown";
}
