#include <string>
#include <vector>

#include "app/driver.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    zel::Platform& platform = zel::native_platform();
    // The arguments as UTF-8, whatever the system handed over.
    std::vector<std::string> arguments = zel::native_arguments(argc, argv);
    std::vector<char*> args;
    args.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) args.push_back(argument.data());
    args.push_back(nullptr);
    return platform.exit_status(run(static_cast<int>(arguments.size()), args.data(), platform));
}
