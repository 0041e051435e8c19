#include "app/driver.hpp"

#include <cstdarg>
#include <optional>
#include <string>

#include "app/branches.hpp"
#include "app/operations.hpp"
#include "log/RunScope.hpp"
#include "platform/tracing_platform.hpp"

void Run::out(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(4096, format, args);
    va_end(args);
    context.platform.write_stdout(text);
}

int connect_and_run(Command& command, Run& run) {
    RunRecord& record = run.record;
    try {
        const bool connected = command.Connect() == 0;
        record.hub(command);
        const int result = connected ? command.RunCommand() : results::driver::kConnectionFailed;
        record.hub(command);  // as it came back from its restarts
        // What the branch makes of a success, it says itself.
        if (result != 0 && command.chosen_entry() == nullptr) {
            record.found_no_hub();
        } else if (result != 0) {
            record.failed(result, command.stage());
        }
        return result;
    } catch (const zel::Interrupted& interruption) {
        record.hub(command);
        record.data()["interrupted"] = {{"by", interruption.by}, {"while", command.stage().doing}};
        // The command is still alive: its port closes after this line.
        const RunStage& stage = command.stage();
        const std::string report =
            "Interrupted (" + interruption.by + ") while " + stage.doing + ". " + stage.outcome();
        run.log().Error("%s\n", report.c_str());
        record.interrupted(report, stage);
        return results::driver::kInterrupted;
    }
}

namespace {

int run_checked(zel::RunScope& scope, RunRecord& record, int argc, char** argv) {
    USB_Logger& logger = scope.logger();
    zel::Platform& platform = scope.platform();
    zel::RunContext context{platform, logger, platform.environment("ZEL_TIMING"), platform.environment("ZEL_PORT"),
                            &record.events()};
    Run run{context, record};
    const Choice choice = choose(argc, argv);
    if (choice.usage) print_usage(platform);
    return choice.operation != nullptr ? choice.operation->branch(run, argc, argv) : 0;
}

}  // namespace

int run(int argc, char** argv, zel::Platform& platform) {
    // ZEL_TRACE=<file>: every byte to and from the HUB, time-stamped.
    const std::string trace = platform.environment("ZEL_TRACE");
    std::optional<zel::TracingPlatform> tracing;
    if (!trace.empty()) tracing.emplace(platform, trace);
    zel::RunScope scope(tracing ? *tracing : platform);
    RunRecord record(scope.platform(), argc, argv);
    int result = results::driver::kInterrupted;
    try {
        result = run_checked(scope, record, argc, argv);
    } catch (const zel::Interrupted& interruption) {
        scope.logger().Error("Interrupted (%s).\n", interruption.by.c_str());
    }
    record.finish(result, scope.logger());
    return result;
}
