#include "src/RunSelfTest.hpp"

#include <algorithm>
#include <string>

#include "log/text.hpp"

namespace {
constexpr const char* kStepOperation = "RunSelfTest::_run_test_cmd";

}  // namespace

RunSelfTest::RunSelfTest(zel::RunContext& run, std::span<TestResult> results, uint32_t* step_count_out)
    : Command(run), results_(results), step_count_out_(step_count_out) {
    logger->Info("Creating object RunSelfTest\n");
}

TestResult& RunSelfTest::_entry(int32_t step) {
    const size_t index = static_cast<size_t>(step - 1);
    if (step < 1 || index >= results_.size()) {
        scratch_ = TestResult{};
        return scratch_;
    }
    return results_[index];
}

int32_t RunSelfTest::_step_exchange(uint32_t word, int reply_length, int64_t limit_ms, const char* operation) {
    request_.fill(0);
    put_le32(request_.data(), word);
    reply_.fill(0);
    const Exchanged done = _exchange(request_.data(), kRequestSize, reply_.data(), reply_length, limit_ms, operation);
    return done == Exchanged::Ok ? 0 : results::self_test::kExchangeFailed;
}

int32_t RunSelfTest::_refusal(uint32_t word) {
    const uint32_t reply_word = get_le32(reply_.data());
    if (reply_word == word) return 0;
    logger->Error("Error: %0x\n", reply_word);
    // A refusal must never read as success: a reply word of 0 carries no
    // status, so it counts as a failed exchange.
    return reply_word == 0 ? results::self_test::kExchangeFailed : static_cast<int32_t>(reply_word);
}

int32_t RunSelfTest::_confirmed_request(uint32_t word, int64_t limit_ms, const char* operation) {
    if (const int32_t failed = _step_exchange(word, 4, limit_ms, operation)) return failed;
    return _refusal(word);
}

int32_t RunSelfTest::_run_test_cmd(uint32_t word) {
    if (const int32_t failed = _step_exchange(word, kRequestSize, kVersionLimitMs, kStepOperation)) return failed;
    if (const int32_t refused = _refusal(word)) return refused;
    const uint32_t version = get_le32(&reply_[8]);
    logger->Info("Version: v%s\n", version_text(version, VersionForm::Three).c_str());
    reported_version_ = version;
    return static_cast<int32_t>(get_le32(&reply_[4]));
}

int32_t RunSelfTest::_run_test_cmd(uint32_t word, TestResult& entry, uint32_t limit_ms) {
    return _run_step(word, entry, limit_ms, false);
}

int32_t RunSelfTest::_run_test_cmd(uint32_t word, TestResult& entry, uint32_t limit_ms, KeepData) {
    return _run_step(word, entry, limit_ms, true);
}

int32_t RunSelfTest::_run_step(uint32_t word, TestResult& entry, uint32_t limit_ms, bool keep_data) {
    if (const int32_t failed = _step_exchange(word, kRequestSize, limit_ms, kStepOperation)) return failed;
    if (const int32_t refused = _refusal(word)) return refused;
    if (keep_data) std::copy(reply_.begin() + 8, reply_.end(), entry.data.begin());
    entry.code = static_cast<int32_t>(get_le32(&reply_[4]));
    return 0;
}

int32_t RunSelfTest::enable_safe_mode() {
    logger->Info("Enabling safe mode\n");
    return _confirmed_request(kEnableSafeMode, 1000, "RunSelfTest::enable_safe_mode");
}

int32_t RunSelfTest::disable_safe_mode() {
    logger->Info("Disabling safe mode\n");
    return _confirmed_request(kDisableSafeMode, 1000, "RunSelfTest::disable_safe_mode");
}

bool RunSelfTest::system_reset(uint32_t word) {
    request_.fill(0);
    put_le32(request_.data(), word);
    const int code = _send_message(request_.data(), kRequestSize, false);
    return report_exchange_error(code, "RunSelfTest::system_reset");
}

void RunSelfTest::_return_to_bootloader() {
    _stage("sending the HUB back to its bootloader", "The HUB may be left in its bootloader",
           "run -h with a HUB image file to start its firmware again");
    logger->Error("Returning to bootloader!\n");
    if (!system_reset(kResetToBootloader)) _stage(stage().doing, "The HUB waits in its bootloader", stage().next);
}

int32_t RunSelfTest::RunCommand() {
    const HubKindRow* kind = hub_kind(connected_device_type());
    product_ = kind != nullptr ? kind->self_test : nullptr;
    if (product_ == nullptr) {
        logger->Error("The self-test is only available on Quillets and Torvanes.\n");
        return results::self_test::kUnsupportedDevice;
    }
    logger->Info("%s", product_->announcement);
    step_count_ = product_->step_count;
    expected_version_ = product_->expected_version;

    if (step_count_out_ != nullptr) *step_count_out_ = static_cast<uint32_t>(step_count_);
    for (int32_t s = 1; s <= step_count_; ++s) _entry(s) = TestResult{};

    const bool safe_mode = product_->safe_mode;
    _stage("running the self-test", "Nothing on the HUB was changed");
    if (safe_mode) {
        result_ = enable_safe_mode();
        if (result_ != 0) return result_;
        _stage("restarting the HUB for the self-test", "The HUB may be left in safe mode",
               "run -stest again to finish the self-test and bring it back");
        logger->Error("System reset\n");
        // The test goes on even when the HUB did not come back: step 1 then
        // fails on the closed port and ends it.
        result_ = system_reset(kResetAfterSafeMode) ? results::self_test::kExchangeFailed : 0;
    }

    _stage("waiting before the first self-test step");
    port->sleep_ms(kSettleMs, "before the first self-test step");

    _stage("running self-test step 1 of " + std::to_string(step_count_),
           zel::Progress{.step = 1, .steps = step_count_});
    logger->Info("Running step 1\n");
    result_ = _run_test_cmd(product_->steps[0].request_word);
    _entry(1).code = result_;
    if (result_ != 0) {
        logger->Error("Connection error step 1\n");
        if (safe_mode) _return_to_bootloader();
        return result_;
    }
    if (reported_version_ != expected_version_) {
        logger->Error("Self-test incompatible: %d != %d\n", static_cast<int>(reported_version_),
                      static_cast<int>(expected_version_));
        if (safe_mode) _return_to_bootloader();
        _entry(1).code = results::self_test::kIncompatible;
        // The test did not run: no success, though no exchange failed.
        return results::self_test::kIncompatible;
    }

    for (int32_t s = 2; s <= step_count_; ++s) {
        const TestStep& row = product_->steps[size_t(s - 1)];
        TestResult& entry = _entry(s);
        entry.code = 0;
        _stage("running self-test step " + std::to_string(s) + " of " + std::to_string(step_count_),
               zel::Progress{.step = s, .steps = step_count_});
        logger->Info("Running step %d\n", s);
        result_ = row.keep_data ? _run_test_cmd(row.request_word, entry, row.time_limit_ms, KeepData{})
                                : _run_test_cmd(row.request_word, entry, row.time_limit_ms);
        if (result_ != 0) {
            entry.code = result_;
            logger->Error("Connection error step %u\n", static_cast<unsigned>(s));
            all_passed_ = false;
            if (result_ == results::self_test::kExchangeFailed) {
                _return_to_bootloader();
                return result_;
            }
        } else if (entry.code != 0) {
            logger->Error("Test error step %u\n", static_cast<unsigned>(s));
            logger->Error("Return code: %d\n", entry.code);
            all_passed_ = false;
        }
        port->pause(kStepPause100ns);
    }

    if (!safe_mode) {
        logger->Info("Self-test complete.\n");
        return all_passed_ ? 0 : results::self_test::kStepFailed;
    }
    if (all_passed_) {
        _stage("switching safe mode off");
        result_ = disable_safe_mode();
        if (result_ != 0) return result_;
        _stage("restarting the HUB after the self-test",
               "Every step passed and safe mode was switched off; the HUB restarts into its firmware",
               "run -hinfo to see that it is back");
        logger->Error("System reset\n");
        // A HUB that does not come back is no success, though every step passed.
        result_ = system_reset(kResetAfterDisable) ? results::self_test::kExchangeFailed : 0;
        logger->Info("Self-test complete.\n");
        return result_;
    }
    _return_to_bootloader();
    logger->Info("Self-test complete.\n");
    return results::self_test::kStepFailed;
}
