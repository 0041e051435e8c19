#include "app/driver.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    return run(argc, argv, zel::native_platform());
}
