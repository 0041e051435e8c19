// The exit code of the real zel_usb_interface on a system that keeps only
// its low 8 bits, against zel_hub_sim in real time. The other faults of the
// machine are tried on every operation in virtual time
// (robust_machine_test.cpp), and the Linux port layer's part of them (a port
// held open, a device gone, a file that cannot be written) against the real
// system (posix_platform_test.cpp).
#ifndef _WIN32

#include <gtest/gtest.h>

#include "tests/e2e_support.hpp"

namespace {

using e2e::HubSim;
using e2e::ToolRun;

TEST(RobustE2EExitCode, RefusedConfigurationNeverExitsAsSuccess) {
    // The HUB refuses the configuration with the status word 0x100. The
    // result is that word; a caller must not see the run as a success.
    HubSim sim({}, "network.write_status = 256\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    e2e::TempDir temp;
    const std::string xml = temp.path() + "/net.xml";
    e2e::write_text(xml,
                    "<?xml version=\"1.0\"?>\n<NETWORK><SSID>Lab</SSID>"
                    "<DHCP><Manual value=\"true\"/></DHCP><SECURITY_TYPE><A value=\"true\"/></SECURITY_TYPE>"
                    "<BAND><E value=\"true\"/></BAND></NETWORK>\n");
    const ToolRun run = e2e::run_tool({"-w", xml}, sim, 60);
    EXPECT_TRUE(e2e::logged(e2e::parse_log(run.log), "ERROR", "Network configuration failed - status 256\n")) << run.log;
    EXPECT_EQ(run.exit_code, 255);  // out of the 8-bit range: 255, never 0
}

}  // namespace

#endif  // !_WIN32
