// zel_hub_sim on its own, driven through the tool's own Linux port layer:
// the device tree it builds, its answers on the pseudo-terminal, dropping
// off the bus and coming back, refused opens, and its scenario handling.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.hpp"
#include "tests/e2e_support.hpp"

namespace {

namespace fs = std::filesystem;
using e2e::Bytes;
using e2e::Clock;
using e2e::concat;
using e2e::HubSim;
using e2e::traced;

zel::Platform& os() { return zel::native_platform(); }

// Reads up to `n` bytes, for at most `ms`; what came.
Bytes read_for(zel::PortHandle h, size_t n, int ms) {
    Bytes got(n);
    size_t have = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (have < n && Clock::now() < deadline) {
        const int r = os().port_read(h, got.data() + have, uint32_t(n - have));
        if (r < 0) break;
        have += size_t(r);
    }
    got.resize(have);
    return got;
}

// Opens a port as the tool does (exclusive, raw, 3 Mbaud), writes `request`
// and returns what came back within `ms`.
Bytes exchange(const std::string& path, const Bytes& request, size_t expect, int ms = 500) {
    const zel::PortHandle h = os().port_create(path);
    if (h == zel::kInvalidPort) return {0xFF};
    Bytes answer;
    if (os().port_set_state(h) && os().port_write(h, request.data(), uint32_t(request.size())) == int(request.size())) {
        answer = read_for(h, expect, ms);
    }
    os().port_close(h);
    return answer;
}

bool wait_until(const std::function<bool()>& condition, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

const Bytes kProbe(104, 0);
const Bytes kCurrent = {0x00, 0x02, 0x00, 0x00};  // a current HUB's answer to the probe

TEST(E2EHubSim, BuildsTheDeviceTreeOfEachKindAndAnswersTheProbe) {
    struct Case {
        std::vector<std::string> options;
        std::string vendor, product;
        Bytes answer;  // after the echo
    };
    const std::vector<Case> cases = {
        {{"--kind", "atmel"}, "03eb", "2404", kCurrent},
        {{"--kind", "quillet"}, "0483", "5740", kCurrent},
        {{"--kind", "st"}, "0483", "a432", kCurrent},
        {{"--legacy"}, "0483", "a432", {}},  // a legacy HUB echoes the probe and says nothing more
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.back());
        HubSim sim(c.options);
        ASSERT_TRUE(sim.started()) << sim.stderr_text();
        const std::string d = sim.dir();
        EXPECT_EQ(sim.sysfs_root(), d + "/sys");
        EXPECT_EQ(sim.dev_root(), d + "/dev");
        const std::string iface = d + "/sys/devices/usb1/1-1/1-1:1.0";
        EXPECT_EQ(fs::read_symlink(d + "/sys/class/tty/ttyACM0"), iface + "/tty/ttyACM0");
        EXPECT_EQ(fs::read_symlink(iface + "/tty/ttyACM0/device"), iface);
        EXPECT_EQ(e2e::read_text(d + "/sys/devices/usb1/1-1/idVendor"), c.vendor + "\n");
        EXPECT_EQ(e2e::read_text(d + "/sys/devices/usb1/1-1/idProduct"), c.product + "\n");
        EXPECT_EQ(fs::read_symlink(d + "/dev/ttyACM0").string().rfind("/dev/pts/", 0), 0u);

        // The tool's own discovery finds it.
        ::setenv("ZEL_SYSFS_ROOT", sim.sysfs_root().c_str(), 1);
        ::setenv("ZEL_DEV_ROOT", sim.dev_root().c_str(), 1);
        const std::vector<zel::UsbSerialDevice> found = os().list_usb_serial_devices();
        ::unsetenv("ZEL_SYSFS_ROOT");
        ::unsetenv("ZEL_DEV_ROOT");
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].port_name, d + "/dev/ttyACM0");
        EXPECT_NE(found[0].device_path.find("vid_" + c.vendor + "&pid_" + c.product), std::string::npos);

        const Bytes answer = exchange(found[0].port_name, kProbe, 112);
        EXPECT_EQ(answer, concat({kProbe, c.answer}));
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_FALSE(exists(d + "/sys"));
        EXPECT_FALSE(exists(d + "/dev"));
        EXPECT_EQ(e2e::trace_bytes(sim.trace(), "->"), kProbe);
        EXPECT_EQ(e2e::trace_bytes(sim.trace(), "<-"), answer);
        EXPECT_TRUE(traced(sim, "stopped by a signal"));
    }
}

TEST(E2EHubSim, DropsOffOnATriggerAndReturnsUnderAnotherName) {
    HubSim sim({"--drop-on-trigger"}, "reset_absent_ms = 300\nport_name_after_reset = ttyACM1\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string d = sim.dir();
    const zel::PortHandle h = os().port_create(d + "/dev/ttyACM0");
    ASSERT_NE(h, zel::kInvalidPort);
    ASSERT_TRUE(os().port_set_state(h));
    const Bytes trigger = e2e::request(0x00181500);
    ASSERT_EQ(os().port_write(h, trigger.data(), 104), 104);
    // The echo is left unread, as the tool does before a reconnect.

    ASSERT_TRUE(wait_until([&] { return !exists(d + "/sys/class/tty/ttyACM0"); }, 1000));
    const auto gone = Clock::now();
    ASSERT_TRUE(wait_until([&] { return traced(sim, "off the bus"); }, 500));
    EXPECT_FALSE(exists(d + "/dev/ttyACM0"));
    EXPECT_FALSE(exists(d + "/sys/devices/usb1/1-1"));
    if (traced(sim, "off the bus, open handles hung up")) {
        // A device that left the bus fails the handle still open on it.
        uint8_t byte;
        EXPECT_EQ(os().port_read(h, &byte, 1), -1);
    }
    os().port_close(h);

    ASSERT_TRUE(wait_until([&] { return exists(d + "/sys/class/tty/ttyACM1"); }, 2000));
    const double absent_ms = std::chrono::duration<double, std::milli>(Clock::now() - gone).count();
    EXPECT_GE(absent_ms, 250);
    EXPECT_FALSE(exists(d + "/sys/class/tty/ttyACM0"));
    EXPECT_EQ(fs::read_symlink(d + "/sys/devices/usb1/1-1/1-1:1.0/tty/ttyACM1/device"), d + "/sys/devices/usb1/1-1/1-1:1.0");
    // Back: nothing of the old exchange is left in the line.
    EXPECT_EQ(exchange(d + "/dev/ttyACM1", kProbe, 112), concat({kProbe, kCurrent}));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(e2e::trace_bytes(sim.trace(), "->"), concat({trigger, kProbe}));
    EXPECT_TRUE(traced(sim, "on the bus as ttyACM1"));
}

TEST(E2EHubSim, ScenarioRefusesOpensAndFaultsRequests) {
    HubSim sim({}, "refuse_opens = 2\n"
                   "# the first probe's echo is damaged, the second is refused\n"
                   "fault = index:0 type:echo_changed byte:5\n"
                   "fault = index:1 type:status_only status:0x00000105\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string port = sim.dev_root() + "/ttyACM0";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const zel::PortHandle refused = os().port_create(port);
        EXPECT_EQ(refused, zel::kInvalidPort) << "attempt " << attempt << "\n" << sim.trace_text();
        if (refused != zel::kInvalidPort) os().port_close(refused);
        // The tool waits a second between attempts; the stand-in needs far less.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Bytes damaged = kProbe;
    damaged[5] ^= 0x5A;
    EXPECT_EQ(exchange(port, kProbe, 108), concat({damaged, kCurrent}));
    EXPECT_EQ(exchange(port, kProbe, 108), concat({kProbe, {0x05, 0x01, 0x00, 0x00}}));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(traced(sim, "open refused, 1 more to refuse")) << sim.trace_text();
    EXPECT_TRUE(traced(sim, "open refused, 0 more to refuse"));
}

TEST(E2EHubSim, BadScenarioIsRefusedAndIdleTimeEndsIt) {
    HubSim unknown({}, "kind = st\nno_such_key = 1\n");
    EXPECT_FALSE(unknown.started());
    EXPECT_EQ(unknown.wait(5), 2);
    EXPECT_NE(unknown.stderr_text().find("line 2: unknown key or bad value: no_such_key = 1"), std::string::npos)
        << unknown.stderr_text();
    EXPECT_FALSE(exists(unknown.dir()));  // nothing built

    HubSim idle({"--exit-after-idle", "0.3"});
    ASSERT_TRUE(idle.started()) << idle.stderr_text();
    const auto start = Clock::now();
    EXPECT_EQ(idle.wait(5), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    EXPECT_FALSE(exists(idle.dir()));
    EXPECT_TRUE(traced(idle, "idle, exiting"));
}

}  // namespace
