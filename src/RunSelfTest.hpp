// The HUB's built-in hardware test (-stest), run step by step: one request
// word per step, answered with the step's return code and, for some steps,
// 96 bytes of measured data that the caller keeps. Each kind's steps are in
// its row of serial/hub_kinds.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "src/Command.hpp"

struct TestResult {
    static constexpr size_t kDataSize = 96;
    int32_t code = 0;  // 0 = passed; else the step's return code or the exchange's failure
    std::array<uint8_t, kDataSize> data{};
};

class RunSelfTest final : public Command {
public:
    static constexpr size_t kMaxSteps = kMaxSelfTestSteps;

    static constexpr uint32_t kEnableSafeMode = 0x00501A00;
    static constexpr uint32_t kDisableSafeMode = 0x00511A00;
    static constexpr uint32_t kResetAfterSafeMode = 0x00990100;
    static constexpr uint32_t kResetAfterDisable = 0x00993B00;
    static constexpr uint32_t kResetToBootloader = 0x00471A00;

    static constexpr int64_t kStepPause100ns = 50000;  // 5 ms between steps
    static constexpr uint32_t kSettleMs = 3000;        // before step 1
    static constexpr uint32_t kVersionLimitMs = 1000;

    // The caller owns both: `results` should hold an entry per step
    // (kMaxSteps will do); entries beyond its end are not written.
    RunSelfTest(zel::RunContext& run, std::span<TestResult> results, uint32_t* step_count_out);

    int32_t RunCommand() override;

    // The self-test of the connected HUB's kind, once the test has started;
    // null before, or when the kind has none.
    const SelfTestProduct* product() const { return product_; }
    uint32_t reported_version() const { return reported_version_; }
    uint32_t expected_version() const { return expected_version_; }

private:
    struct KeepData {};

    // Step 1: the HUB reports its self-test version; returns the step's code.
    int32_t _run_test_cmd(uint32_t word);
    int32_t _run_test_cmd(uint32_t word, TestResult& entry, uint32_t limit_ms);
    int32_t _run_test_cmd(uint32_t word, TestResult& entry, uint32_t limit_ms, KeepData);
    int32_t enable_safe_mode();
    int32_t disable_safe_mode();
    // Sent without an echo check: the HUB restarts and the port is reopened.
    // True when a failure was reported.
    bool system_reset(uint32_t word);

    // One echo-checked request and its reply check; 0 or
    // results::self_test::kExchangeFailed (reported).
    int32_t _step_exchange(uint32_t word, int reply_length, int64_t limit_ms, const char* operation);
    // 0 when the reply word confirms `word`; otherwise the HUB's status.
    int32_t _refusal(uint32_t word);
    int32_t _confirmed_request(uint32_t word, int64_t limit_ms, const char* operation);
    int32_t _run_step(uint32_t word, TestResult& entry, uint32_t limit_ms, bool keep_data);
    // Ends a failed test by sending the HUB back to its bootloader.
    void _return_to_bootloader();
    TestResult& _entry(int32_t step);

    std::array<uint8_t, kRequestSize> request_{};
    std::array<uint8_t, kRequestSize> reply_{};
    std::span<TestResult> results_;
    uint32_t* step_count_out_ = nullptr;
    uint32_t reported_version_ = 0;
    int32_t result_ = 0;
    int32_t step_count_ = 0;
    uint32_t expected_version_ = 0;
    const SelfTestProduct* product_ = nullptr;
    bool all_passed_ = true;
    TestResult scratch_{};  // stands in for entries the caller's array lacks
};
