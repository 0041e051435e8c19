#include "app/driver.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    return exit_status(run(argc, argv, zel::native_platform()));
}
