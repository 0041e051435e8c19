#include <string>
#include <vector>

#include "app/fleet/fleet.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    zel::Platform& platform = zel::native_platform();
    // The arguments as UTF-8, whatever the system handed over.
    std::vector<std::string> arguments = zel::native_arguments(argc, argv);
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return platform.exit_status(zel::fleet::run_fleet(arguments, platform));
}
