#include <array>

#include "app/branches.hpp"
#include "src/RunSelfTest.hpp"

int branch_selftest() {
    // The per-step outcome stays in the log and in this array; the driver
    // prints nothing of its own.
    std::array<TestResult, RunSelfTest::kMaxSteps> results{};
    uint32_t step_count = 0;
    RunSelfTest command(results, &step_count);
    const int32_t result = connect_and_run(command);
    if (result != 0) {
        USB_Logger::Instance()->Error("Something went wrong in the self-test - error-code %d\n", result);
    }
    return result;
}
