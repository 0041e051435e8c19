#include <algorithm>
#include <array>
#include <string>

#include "app/branches.hpp"
#include "src/RunSelfTest.hpp"

int branch_selftest(RunRecord& record) {
    // The per-step outcome stays in the log and in this array; the driver
    // prints nothing of its own.
    std::array<TestResult, RunSelfTest::kMaxSteps> results{};
    uint32_t step_count = 0;
    RunSelfTest command(results, &step_count);
    const int32_t result = connect_and_run(command, record);
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
    const uint32_t v = command.reported_version();
    record.data()["version"] =
        std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF);
    if (result != 0) {
        USB_Logger::Instance()->Error("Something went wrong in the self-test - error-code %d\n", result);
    }
    return result;
}
