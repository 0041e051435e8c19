// The Linux backend against the real system: fake sysfs trees for discovery,
// a pseudo-terminal for port I/O, and real time for the read time-outs.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "serial/zel_usb_cdc_interface.hpp"
#include "tests/e2e_support.hpp"

namespace fs = std::filesystem;
using zel::native_platform;
using zel::PortHandle;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A short temporary directory: port names must fit the 39 characters of the
// serial layer's table.
using e2e::TempDir;

void write_text(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

void set_env(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

class PosixDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path().empty());
        root_ = fs::path(tmp_.path()) / "sys";
        dev_ = fs::path(tmp_.path()) / "dev";
        fs::create_directories(root_ / "class/tty");
        fs::create_directories(dev_);
        set_env("ZEL_SYSFS_ROOT", root_.string());
        set_env("ZEL_DEV_ROOT", dev_.string());
    }
    void TearDown() override {
        unsetenv("ZEL_SYSFS_ROOT");
        unsetenv("ZEL_DEV_ROOT");
    }

    // A tty entry whose `device` link leads to `interface_dir`, laid out as
    // the kernel does it.
    void add_tty(const std::string& name, const fs::path& interface_dir) {
        const fs::path tty_dir = interface_dir / "tty" / name;
        fs::create_directories(tty_dir);
        fs::create_directory_symlink(interface_dir, tty_dir / "device");
        fs::create_directory_symlink(tty_dir, root_ / "class/tty" / name);
    }
    // A USB device `bus_path` with one interface carrying the tty `name`.
    void add_usb_tty(const std::string& name, const std::string& bus_path, const std::string& vid,
                     const std::string& pid) {
        const fs::path device = root_ / "devices" / bus_path;
        write_text(device / "idVendor", vid + "\n");
        write_text(device / "idProduct", pid + "\n");
        add_tty(name, device / (fs::path(bus_path).filename().string() + ":1.0"));
    }

    TempDir tmp_;
    fs::path root_;
    fs::path dev_;
};

TEST_F(PosixDiscoveryTest, ListsUsbTtysInNaturalOrderAndSkipsTheRest) {
    add_usb_tty("ttyACM10", "usb1/1-3", "0483", "a432");
    add_usb_tty("ttyACM2", "usb1/1-1", "03eb", "2404");
    add_usb_tty("ttyUSB0", "usb2/2-1", "0483", "5740");
    // A tty with no device behind it, like the virtual consoles.
    fs::create_directories(root_ / "devices/virtual/tty/tty0");
    fs::create_directory_symlink(root_ / "devices/virtual/tty/tty0", root_ / "class/tty/tty0");
    // A platform serial port: a device, but no USB identifiers above it.
    add_tty("ttyS0", root_ / "devices/platform/serial8250");

    const auto devices = native_platform().list_usb_serial_devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].port_name, dev_.string() + "/ttyACM2");
    EXPECT_EQ(devices[1].port_name, dev_.string() + "/ttyACM10");
    EXPECT_EQ(devices[2].port_name, dev_.string() + "/ttyUSB0");
    EXPECT_NE(devices[0].device_path.find("vid_03eb&pid_2404"), std::string::npos) << devices[0].device_path;
    EXPECT_NE(devices[1].device_path.find("vid_0483&pid_a432"), std::string::npos) << devices[1].device_path;
    EXPECT_NE(devices[2].device_path.find("vid_0483&pid_5740"), std::string::npos) << devices[2].device_path;
}

TEST_F(PosixDiscoveryTest, IdentifiersOutsideTheRootAreNotUsed) {
    // The root itself sits below a folder that looks like a USB device...
    write_text(fs::path(tmp_.path()) / "idVendor", "0483\n");
    write_text(fs::path(tmp_.path()) / "idProduct", "a432\n");
    add_tty("ttyS1", root_ / "devices/platform/serial1");
    // ...and one link leads out of the root to a device that has them.
    const fs::path outside = fs::path(tmp_.path()) / "elsewhere/1-1";
    write_text(outside / "idVendor", "0483\n");
    write_text(outside / "idProduct", "a432\n");
    add_tty("ttyACM0", outside / "1-1:1.0");

    EXPECT_TRUE(native_platform().list_usb_serial_devices().empty());
}

TEST_F(PosixDiscoveryTest, MalformedIdentifiersSkipTheDevice) {
    add_usb_tty("ttyACM0", "usb1/1-1", "04831", "a432");
    add_usb_tty("ttyACM1", "usb1/1-2", "0483", "xyz");
    add_usb_tty("ttyACM2", "usb1/1-3", "0483", "A432");
    const auto devices = native_platform().list_usb_serial_devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].port_name, dev_.string() + "/ttyACM2");
    EXPECT_NE(devices[0].device_path.find("vid_0483&pid_a432"), std::string::npos) << devices[0].device_path;
}

TEST_F(PosixDiscoveryTest, MissingRootFindsNothing) {
    set_env("ZEL_SYSFS_ROOT", tmp_.path() + "/nowhere");
    EXPECT_TRUE(native_platform().list_usb_serial_devices().empty());
}

TEST_F(PosixDiscoveryTest, SerialLayerRecordsTheDeviceTypes) {
    add_usb_tty("ttyACM0", "usb1/1-1", "0483", "a432");
    add_usb_tty("ttyACM1", "usb1/1-2", "1234", "5678");  // not a HUB
    add_usb_tty("ttyACM3", "usb1/1-4", "0483", "5740");
    add_usb_tty("ttyACM12", "usb1/1-5", "03eb", "2404");

    zel::set_active_platform(&native_platform());
    zel_usb_cdc_interface port;
    port.usb_ids = {{0x03EB, 0x2404}, {0x0483, 0x5740}, {0x0483, 0xA432}};
    EXPECT_TRUE(port.find_ports());
    zel::set_active_platform(nullptr);

    ASSERT_EQ(port.port_count, 3);
    EXPECT_EQ(std::string(port.ports[0].name), dev_.string() + "/ttyACM0");
    EXPECT_EQ(port.ports[0].device_type, uint32_t(DEVICE_TORVANE_ST));
    EXPECT_EQ(std::string(port.ports[1].name), dev_.string() + "/ttyACM3");
    EXPECT_EQ(port.ports[1].device_type, uint32_t(DEVICE_QUILLET));
    EXPECT_EQ(std::string(port.ports[2].name), dev_.string() + "/ttyACM12");
    EXPECT_EQ(port.ports[2].device_type, uint32_t(DEVICE_TORVANE_ATMEL));
}

// --- port I/O on a pseudo-terminal ---------------------------------------------

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        const char* name = ptsname(master_);
        ASSERT_NE(name, nullptr);
        slave_path_ = name;
        port_ = native_platform().port_create(slave_path_);
        ASSERT_NE(port_, zel::kInvalidPort);
        // Raw mode on the slave: no echo, no line editing, no CR/LF changes.
        ASSERT_TRUE(native_platform().port_set_state(port_));
        ASSERT_TRUE(native_platform().port_set_queues(port_, 1024, 4096));
        ASSERT_TRUE(native_platform().port_set_timeouts(port_));
        ASSERT_TRUE(native_platform().port_flush(port_));
    }
    void TearDown() override {
        if (port_ != zel::kInvalidPort) native_platform().port_close(port_);
        close_master();
    }
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::vector<uint8_t> receive(size_t count) {
        std::vector<uint8_t> got;
        const auto start = Clock::now();
        while (got.size() < count && ms_since(start) < 1000) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            uint8_t buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    int master_ = -1;
    std::string slave_path_;
    PortHandle port_ = zel::kInvalidPort;
};

std::vector<uint8_t> pattern(size_t n, uint8_t first) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST_F(PosixPortTest, EmptyReadsLastTheirTotalTimeOut) {
    uint8_t buffer[104];
    auto start = Clock::now();
    EXPECT_EQ(native_platform().port_read(port_, buffer, 104), 0);
    EXPECT_NEAR(ms_since(start), 1050.0, 15.0);

    start = Clock::now();
    EXPECT_EQ(native_platform().port_read(port_, buffer, 1), 0);
    EXPECT_NEAR(ms_since(start), 20.0, 15.0);
}

TEST_F(PosixPortTest, ReadReturnsOnceTheLengthIsThere) {
    const auto sent = pattern(104, 7);
    send(sent);
    std::vector<uint8_t> buffer(104);
    const auto start = Clock::now();
    EXPECT_EQ(native_platform().port_read(port_, buffer.data(), 104), 104);
    EXPECT_LT(ms_since(start), 100.0);
    EXPECT_EQ(buffer, sent);
}

TEST_F(PosixPortTest, ReadEndsAfterSilenceWithThePartialCount) {
    const auto sent = pattern(50, 1);
    send(sent);
    std::vector<uint8_t> buffer(104);
    const auto start = Clock::now();
    EXPECT_EQ(native_platform().port_read(port_, buffer.data(), 104), 50);
    const double took = ms_since(start);
    EXPECT_GE(took, 9.0);
    EXPECT_LT(took, 100.0);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
}

TEST_F(PosixPortTest, PiecesSeparatedBySilenceComeInSeparateReads) {
    std::thread sender([this] {
        send(pattern(30, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        send(pattern(30, 100));
    });
    std::vector<uint8_t> buffer(104);
    EXPECT_EQ(native_platform().port_read(port_, buffer.data(), 104), 30);
    EXPECT_EQ(buffer[29], 29);
    EXPECT_EQ(native_platform().port_read(port_, buffer.data(), 104), 30);
    EXPECT_EQ(buffer[0], 100);
    sender.join();
}

TEST_F(PosixPortTest, WritesReachTheOtherSideUnchanged) {
    // Includes CR, LF and the XON/XOFF characters, which a cooked tty alters.
    auto bytes = pattern(256, 0);
    EXPECT_EQ(native_platform().port_write(port_, bytes.data(), uint32_t(bytes.size())), 256);
    EXPECT_TRUE(native_platform().port_flush(port_));
    EXPECT_EQ(receive(256), bytes);

    // And the other way: nothing is translated on input either.
    send(bytes);
    std::vector<uint8_t> buffer(256);
    EXPECT_EQ(native_platform().port_read(port_, buffer.data(), 256), 256);
    EXPECT_EQ(buffer, bytes);
}

TEST_F(PosixPortTest, SecondOpenIsRefusedUntilTheFirstCloses) {
    EXPECT_EQ(native_platform().port_create(slave_path_), zel::kInvalidPort);
    native_platform().port_close(port_);
    port_ = native_platform().port_create(slave_path_);
    EXPECT_NE(port_, zel::kInvalidPort);
}

TEST_F(PosixPortTest, VanishedDeviceFailsPromptly) {
    close_master();
    uint8_t buffer[104];
    const auto start = Clock::now();
    EXPECT_EQ(native_platform().port_read(port_, buffer, 104), -1);
    EXPECT_EQ(native_platform().port_read(port_, buffer, 104), -1);
    EXPECT_LT(ms_since(start), 100.0);
    EXPECT_EQ(native_platform().port_write(port_, buffer, 4), -1);
}

TEST(PosixPlatform, InvalidHandlesFail) {
    uint8_t byte = 0;
    EXPECT_EQ(native_platform().port_create("/nonexistent/port"), zel::kInvalidPort);
    EXPECT_FALSE(native_platform().port_set_state(zel::kInvalidPort));
    EXPECT_FALSE(native_platform().port_set_timeouts(zel::kInvalidPort));
    EXPECT_FALSE(native_platform().port_flush(zel::kInvalidPort));
    EXPECT_EQ(native_platform().port_read(zel::kInvalidPort, &byte, 1), -1);
    EXPECT_EQ(native_platform().port_write(zel::kInvalidPort, &byte, 1), -1);
}

// --- clocks and files ----------------------------------------------------------

TEST(PosixPlatform, ClocksCountInHundredNanoseconds) {
    auto& p = native_platform();
    const int64_t utc_seconds = p.utc_now_ticks() / 10'000'000;
    EXPECT_LE(std::abs(utc_seconds - int64_t(::time(nullptr))), 1);

    int64_t start = p.tick_count();
    p.sleep_ms(30);
    int64_t elapsed = p.tick_count() - start;
    EXPECT_GE(elapsed, 300'000);
    EXPECT_LT(elapsed, 300'000 + 150'000);

    start = p.tick_count();
    p.timer_wait(163'200);  // 16.32 ms
    elapsed = p.tick_count() - start;
    EXPECT_GE(elapsed, 163'200);
    EXPECT_LT(elapsed, 163'200 + 150'000);
}

TEST(PosixPlatform, FormatsDeviceTimeInLocalTime) {
    const char* old = getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "UTC-2", 1);
    tzset();
    const std::string text = native_platform().format_local_time(86400 + 3600, "%Y-%m-%d %H:%M %z");
    if (old != nullptr) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    EXPECT_EQ(text, "1970-01-02 03:00 +0200");
}

TEST(PosixPlatform, LogFilesAppendListAndRemove) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    auto& p = native_platform();
    const std::string file = tmp.path() + "/a.log";
    EXPECT_TRUE(p.append_to_file(file, "one\n"));
    EXPECT_TRUE(p.append_to_file(file, "two\n"));
    std::ifstream in(file);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "one\ntwo\n");

    EXPECT_EQ(p.list_directory(tmp.path()), std::vector<std::string>{"a.log"});
    EXPECT_TRUE(p.remove_file(file));
    EXPECT_FALSE(p.remove_file(file));
    EXPECT_TRUE(p.list_directory(tmp.path()).empty());
    EXPECT_TRUE(p.list_directory(tmp.path() + "/missing").empty());
    EXPECT_FALSE(p.append_to_file(tmp.path() + "/missing/b.log", "x"));
    fs::create_directory(tmp.path() + "/taken.log");  // a directory where the file would go
    EXPECT_FALSE(p.append_to_file(tmp.path() + "/taken.log", "x"));
}

}  // namespace
