#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "app/branches.hpp"
#include "log/text.hpp"
#include "src/RunSelfTest.hpp"

int branch_selftest(Run& run) {
    RunRecord& record = run.record;
    // The per-step outcome stays in the log and in this array; the driver
    // prints nothing of its own.
    std::array<TestResult, RunSelfTest::kMaxSteps> results{};
    uint32_t step_count = 0;
    RunSelfTest command(run.context, results, &step_count);
    const int32_t result = connect_and_run(command, run);
    nlohmann::ordered_json& steps = record.data()["steps"] = nlohmann::ordered_json::array();
    for (uint32_t s = 0; s < std::min<uint32_t>(step_count, RunSelfTest::kMaxSteps); ++s) {
        nlohmann::ordered_json step = {{"step", s + 1}, {"code", results[s].code}};
        // The measured data of the steps that have it, in hex.
        const auto& data = results[s].data;
        if (std::any_of(data.begin(), data.end(), [](uint8_t b) { return b != 0; })) {
            std::string hex;
            for (const uint8_t b : data) hex.append({"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]});
            step["data"] = hex;
        }
        steps.push_back(step);
    }
    record.data()["version"] = version_text(command.reported_version(), VersionForm::Three);
    if (result != 0) {
        run.log().Error("Something went wrong in the self-test - error-code %d\n", result);
    }
    std::vector<uint32_t> failed;
    for (uint32_t s = 1; s < std::min<uint32_t>(step_count, RunSelfTest::kMaxSteps); ++s) {
        if (results[s].code != 0) failed.push_back(s + 1);
    }
    const bool safe_mode = command.product() != nullptr && command.product()->safe_mode;
    const RunStage& stage = command.stage();
    auto lower = [](std::string text) {
        if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    };
    if (result == 0) {
        record.succeeded("the self-test ran all " + std::to_string(step_count) + " steps, and every step passed",
                         safe_mode ? "The HUB is out of safe mode and runs its firmware"
                                   : "The HUB runs its firmware as before",
                         {{"failed_steps", failed}});
    } else if (result == results::self_test::kStepFailed) {
        std::string steps;
        for (size_t i = 0; i < failed.size(); ++i) {
            steps += (i == 0 ? "" : i + 1 == failed.size() ? " and " : ", ") + std::to_string(failed[i]);
        }
        record.failed(result,
                      {"running the self-test",
                       (failed.size() == 1 ? "Step " : "Steps ") + steps + " failed (see the lines above), and " +
                           lower(stage.leaves),
                       stage.next},
                      {{"failed_steps", failed}});
    } else if (result == results::self_test::kIncompatible) {
        const std::string expected = version_text(command.expected_version(), VersionForm::Three);
        record.failed(result,
                      {"checking the self-test's version",
                       "The HUB's self-test is version " + record.data()["version"].get<std::string>() +
                           ", this tool runs version " + expected + ", so no step ran; " + lower(stage.leaves),
                       safe_mode ? stage.next : "use the tool that matches the HUB's firmware"},
                      {{"failed_steps", failed}});
    }
    return result;
}
