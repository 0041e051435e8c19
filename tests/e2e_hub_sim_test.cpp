// zel_hub_sim on its own, driven through the tool's own Linux port layer:
// the device tree it builds, its answers on the pseudo-terminal, dropping
// off the bus and coming back, refused opens, and its scenario handling.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "tests/e2e_support.hpp"

namespace {

namespace fs = std::filesystem;
using e2e::Clock;
using e2e::HubSim;
using Bytes = std::vector<uint8_t>;

zel::Platform& os() { return zel::native_platform(); }

Bytes request(uint32_t word) {
    Bytes r(104, 0);
    for (int i = 0; i < 4; ++i) r[size_t(i)] = uint8_t(word >> (8 * i));
    return r;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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

// Opens a port as the tool does (exclusive, raw, 3 Mbaud).
zel::PortHandle open_port(const std::string& path) {
    const zel::PortHandle h = os().port_create(path);
    if (h != zel::kInvalidPort && !os().port_set_state(h)) {
        os().port_close(h);
        return zel::kInvalidPort;
    }
    return h;
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

bool traced(const HubSim& sim, const std::string& text_start) {
    for (const e2e::TraceLine& t : sim.trace()) {
        if (t.tag == "**" && t.text.rfind(text_start, 0) == 0) return true;
    }
    return false;
}

TEST(E2EHubSim, BuildsTheDeviceTreeAndAnswersTheProbe) {
    HubSim sim({"--kind", "atmel"});
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string d = sim.dir();
    EXPECT_EQ(sim.sysfs_root(), d + "/sys");
    EXPECT_EQ(sim.dev_root(), d + "/dev");
    const std::string iface = d + "/sys/devices/usb1/1-1/1-1:1.0";
    EXPECT_EQ(fs::read_symlink(d + "/sys/class/tty/ttyACM0"), iface + "/tty/ttyACM0");
    EXPECT_EQ(fs::read_symlink(iface + "/tty/ttyACM0/device"), iface);
    EXPECT_EQ(e2e::read_text(d + "/sys/devices/usb1/1-1/idVendor"), "03eb\n");
    EXPECT_EQ(e2e::read_text(d + "/sys/devices/usb1/1-1/idProduct"), "2404\n");
    EXPECT_EQ(fs::read_symlink(d + "/dev/ttyACM0").string().rfind("/dev/pts/", 0), 0u);

    // The tool's own discovery finds it.
    ::setenv("ZEL_SYSFS_ROOT", sim.sysfs_root().c_str(), 1);
    ::setenv("ZEL_DEV_ROOT", sim.dev_root().c_str(), 1);
    const std::vector<zel::UsbSerialDevice> found = os().list_usb_serial_devices();
    ::unsetenv("ZEL_SYSFS_ROOT");
    ::unsetenv("ZEL_DEV_ROOT");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].port_name, d + "/dev/ttyACM0");
    EXPECT_NE(found[0].device_path.find("vid_03eb&pid_2404"), std::string::npos);

    const zel::PortHandle h = open_port(found[0].port_name);
    ASSERT_NE(h, zel::kInvalidPort);
    const Bytes probe(104, 0);
    ASSERT_EQ(os().port_write(h, probe.data(), 104), 104);
    const Bytes answer = read_for(h, 112, 500);
    os().port_close(h);
    EXPECT_EQ(answer, concat(probe, {0x00, 0x02, 0x00, 0x00}));

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(exists(d + "/sys"));
    EXPECT_FALSE(exists(d + "/dev"));
    const std::vector<e2e::TraceLine> trace = sim.trace();
    EXPECT_EQ(e2e::trace_bytes(trace, "->"), probe);
    EXPECT_EQ(e2e::trace_bytes(trace, "<-"), answer);
    EXPECT_TRUE(traced(sim, "stopped by a signal"));
}

TEST(E2EHubSim, KindsAndFraming) {
    const struct {
        const char* kind;
        const char* vendor;
        const char* product;
    } kinds[] = {{"quillet", "0483\n", "5740\n"}, {"st", "0483\n", "a432\n"}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.kind);
        HubSim sim({"--kind", k.kind});
        ASSERT_TRUE(sim.started()) << sim.stderr_text();
        EXPECT_EQ(e2e::read_text(sim.dir() + "/sys/devices/usb1/1-1/idVendor"), k.vendor);
        EXPECT_EQ(e2e::read_text(sim.dir() + "/sys/devices/usb1/1-1/idProduct"), k.product);
    }

    // A legacy HUB echoes the probe and says nothing more.
    HubSim legacy({"--legacy"});
    ASSERT_TRUE(legacy.started()) << legacy.stderr_text();
    const zel::PortHandle h = open_port(legacy.dev_root() + "/ttyACM0");
    ASSERT_NE(h, zel::kInvalidPort);
    const Bytes probe(104, 0);
    ASSERT_EQ(os().port_write(h, probe.data(), 104), 104);
    EXPECT_EQ(read_for(h, 108, 300), probe);
    os().port_close(h);
}

TEST(E2EHubSim, DropsOffOnATriggerAndReturnsUnderAnotherName) {
    HubSim sim({"--drop-on-trigger"}, "reset_absent_ms = 300\nport_name_after_reset = ttyACM1\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string d = sim.dir();
    const zel::PortHandle h = open_port(d + "/dev/ttyACM0");
    ASSERT_NE(h, zel::kInvalidPort);
    const Bytes trigger = request(0x00181500);
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
    EXPECT_EQ(fs::read_symlink(d + "/sys/devices/usb1/1-1/1-1:1.0/tty/ttyACM1/device"),
              d + "/sys/devices/usb1/1-1/1-1:1.0");

    // Back: nothing of the old exchange is left in the line.
    const zel::PortHandle again = open_port(d + "/dev/ttyACM1");
    ASSERT_NE(again, zel::kInvalidPort);
    const Bytes probe(104, 0);
    ASSERT_EQ(os().port_write(again, probe.data(), 104), 104);
    EXPECT_EQ(read_for(again, 112, 500), concat(probe, {0x00, 0x02, 0x00, 0x00}));
    os().port_close(again);

    EXPECT_EQ(sim.stop(), 0);
    const std::vector<e2e::TraceLine> trace = sim.trace();
    EXPECT_EQ(e2e::trace_bytes(trace, "->"), concat(trigger, probe));
    EXPECT_TRUE(traced(sim, "on the bus as ttyACM1"));
}

TEST(E2EHubSim, RefusesTheFirstOpensOfTheScenario) {
    HubSim sim({}, "refuse_opens = 2\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string port = sim.dev_root() + "/ttyACM0";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const zel::PortHandle refused = os().port_create(port);
        EXPECT_EQ(refused, zel::kInvalidPort) << "attempt " << attempt << "\n" << sim.trace_text();
        if (refused != zel::kInvalidPort) os().port_close(refused);
        // The tool waits a second between attempts; the stand-in needs far less.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const zel::PortHandle h = os().port_create(port);
    EXPECT_NE(h, zel::kInvalidPort);
    if (h != zel::kInvalidPort) os().port_close(h);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(traced(sim, "open refused, 1 more to refuse")) << sim.trace_text();
    EXPECT_TRUE(traced(sim, "open refused, 0 more to refuse"));
}

TEST(E2EHubSim, ScenarioFaultsReachTheModel) {
    HubSim sim({}, "# the first probe's echo is damaged, the second is refused\n"
                   "fault = index:0 type:echo_changed byte:5\n"
                   "fault = index:1 type:status_only status:0x00000105\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const zel::PortHandle h = open_port(sim.dev_root() + "/ttyACM0");
    ASSERT_NE(h, zel::kInvalidPort);
    const Bytes probe(104, 0);
    Bytes damaged = probe;
    damaged[5] ^= 0x5A;
    ASSERT_EQ(os().port_write(h, probe.data(), 104), 104);
    EXPECT_EQ(read_for(h, 108, 500), concat(damaged, {0x00, 0x02, 0x00, 0x00}));
    ASSERT_EQ(os().port_write(h, probe.data(), 104), 104);
    EXPECT_EQ(read_for(h, 108, 500), concat(probe, {0x05, 0x01, 0x00, 0x00}));
    os().port_close(h);
}

TEST(E2EHubSim, RefusesABadScenarioBeforeBuildingAnything) {
    HubSim unknown({}, "kind = st\nno_such_key = 1\n");
    EXPECT_FALSE(unknown.started());
    EXPECT_EQ(unknown.wait(5), 2);
    EXPECT_NE(unknown.stderr_text().find("line 2: unknown key or bad value: no_such_key = 1"), std::string::npos)
        << unknown.stderr_text();
    EXPECT_FALSE(exists(unknown.dir()));

    HubSim fault({}, "fault = index:1 type:short_reply\n");
    EXPECT_EQ(fault.wait(5), 2);
    EXPECT_NE(fault.stderr_text().find("fault: this type takes exactly count:N"), std::string::npos)
        << fault.stderr_text();
}

TEST(E2EHubSim, EndsAfterTheIdleTimeAndLeavesNothing) {
    HubSim sim({"--exit-after-idle", "0.3"});
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const auto start = Clock::now();
    EXPECT_EQ(sim.wait(5), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    EXPECT_FALSE(exists(sim.dir()));
    EXPECT_TRUE(traced(sim, "idle, exiting"));
}

}  // namespace
