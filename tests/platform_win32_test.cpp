// The Windows backend against the real system (or wine): clocks, pauses,
// the logger's file operations and, when a COM port is provided, opening
// and reading it through the serial layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "log/USB_Logger.hpp"
#include "platform/platform.hpp"
#include "serial/zel_usb_cdc_interface.hpp"

namespace fs = std::filesystem;

namespace {

zel::Platform& native() {
    return zel::native_platform();
}

double elapsed_ms(int64_t start_ticks) {
    return static_cast<double>(native().tick_count() - start_ticks) / 10000.0;
}

// A fresh, empty directory under the temporary folder, removed afterwards.
class TempDir {
public:
    TempDir() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                ("zel_win32_" + std::to_string(native().utc_now_ticks()) + "_" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    // The directory as the logger names it: with a trailing separator.
    std::string prefix() const { return path_.string() + "\\"; }

private:
    fs::path path_;
};

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Win32Clock, UtcTicksAgreeWithTheCRuntime) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t ticks = native().utc_now_ticks();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(ticks / 10000000, before - 1);
    EXPECT_LE(ticks / 10000000, after + 1);
}

TEST(Win32Clock, TickCountRunsAtTheRateOfTheSteadyClock) {
    const auto steady_start = std::chrono::steady_clock::now();
    const int64_t start = native().tick_count();
    native().sleep_ms(200);
    const double ours = elapsed_ms(start);
    const double theirs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - steady_start).count();
    EXPECT_GE(ours, 190.0);
    EXPECT_NEAR(ours, theirs, 10.0);
}

TEST(Win32Clock, TimerWaitLastsAboutItsDueTime) {
    // The echo pause of the protocol: 16.32 ms. Loose above, since wine and
    // a loaded machine are late; never early by more than clock granularity.
    const int64_t start = native().tick_count();
    native().timer_wait(163200);
    const double ms = elapsed_ms(start);
    EXPECT_GE(ms, 15.5);
    EXPECT_LT(ms, 250.0);

    const int64_t again = native().tick_count();
    native().timer_wait(0);
    EXPECT_LT(elapsed_ms(again), 15.0);
}

TEST(Win32Clock, LocalTimeFormatting) {
    // Seconds do not depend on the time zone; %z must be the numeric offset.
    EXPECT_EQ(native().format_local_time(3723, "%S"), "03");
    const std::string zone = native().format_local_time(1700000000u, "%z");
    EXPECT_TRUE(std::regex_match(zone, std::regex("[+-][0-9]{4}"))) << zone;
    EXPECT_EQ(native().format_local_time(0, "%%z"), "%z");
    const std::string full = native().format_local_time(1700000000u, "%Y-%m-%d %H:%M %z");
    EXPECT_TRUE(std::regex_match(full, std::regex("2023-11-1[45] [0-9]{2}:[0-9]{2} [+-][0-9]{4}"))) << full;
    // Beyond the 80-character buffer: nothing rather than a cut text.
    EXPECT_EQ(native().format_local_time(0, std::string(100, 'x').c_str()), "");
}

TEST(Win32Files, ListAppendAndRemove) {
    TempDir dir;
    EXPECT_TRUE(native().list_directory(dir.prefix()).empty());

    const std::string file = dir.prefix() + "zel_USB_Logger_1_2_2024.log";
    ASSERT_TRUE(native().append_to_file(file, "first\n"));
    ASSERT_TRUE(native().append_to_file(file, "second\n"));
    // A text stream: line feeds are stored as CR LF, as in every log written on Windows.
    EXPECT_EQ(read_all(file), "first\r\nsecond\r\n");
    fs::create_directory(dir.path() / "sub");

    auto names = native().list_directory(dir.prefix());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"sub", "zel_USB_Logger_1_2_2024.log"}));

    EXPECT_TRUE(native().remove_file(file));
    EXPECT_FALSE(native().remove_file(file));
    EXPECT_EQ(native().list_directory(dir.prefix()), (std::vector<std::string>{"sub"}));
}

TEST(Win32Files, MissingDirectory) {
    TempDir dir;
    const std::string missing = dir.prefix() + "absent\\";
    EXPECT_TRUE(native().list_directory(missing).empty());
    EXPECT_FALSE(native().append_to_file(missing + "x.log", "text"));
}

TEST(Win32Port, AbsentPortsAreNotOpened) {
    EXPECT_EQ(native().port_create("COM250"), zel::kInvalidPort);
    EXPECT_EQ(native().port_create("\\\\.\\COM251"), zel::kInvalidPort);
    EXPECT_EQ(native().port_create(""), zel::kInvalidPort);
}

TEST(Win32Port, DiscoveredDevicesCarryUsableNames) {
    // Wine reports no USB devices; on Windows this checks what the HUB's
    // neighbours on the bus look like once read.
    for (const zel::UsbSerialDevice& device : native().list_usb_serial_devices()) {
        EXPECT_FALSE(device.device_path.empty());
        EXPECT_FALSE(device.port_name.empty()) << device.device_path;
        EXPECT_EQ(device.port_name.find('\0'), std::string::npos) << device.device_path;
    }
}

// A real COM port named by ZEL_TEST_COM_PORT (scripts/test-windows.sh maps a
// pseudo-terminal to COM7 under wine). With ZEL_TEST_COM_ECHO=1 the other
// side returns every byte it receives.
class Win32ComPort : public ::testing::Test {
protected:
    void SetUp() override {
        const char* name = std::getenv("ZEL_TEST_COM_PORT");
        if (name == nullptr || *name == '\0') GTEST_SKIP() << "ZEL_TEST_COM_PORT is not set: no COM port to open";
        port_name_ = name;
        const char* echo = std::getenv("ZEL_TEST_COM_ECHO");
        echo_ = echo != nullptr && std::string(echo) == "1";
        old_cwd_ = fs::current_path();
        fs::current_path(dir_.path());
        zel::set_active_platform(&native());
        USB_Logger::Discard();
        iface_ = std::make_unique<zel_usb_cdc_interface>();
        iface_->logger = USB_Logger::Instance();
    }

    void TearDown() override {
        if (iface_ && iface_->is_open) iface_->close_port();
        iface_.reset();
        USB_Logger::Discard();
        zel::set_active_platform(nullptr);
        if (!old_cwd_.empty()) fs::current_path(old_cwd_);
    }

    std::string port_name_;
    bool echo_ = false;
    TempDir dir_;
    fs::path old_cwd_;
    std::unique_ptr<zel_usb_cdc_interface> iface_;
};

TEST_F(Win32ComPort, OpensConfiguresAndTimesOutAnEmptyRead) {
    ASSERT_EQ(iface_->open_port(port_name_.c_str()), 0);
    EXPECT_TRUE(iface_->is_open);
    EXPECT_NE(iface_->handle, zel::kInvalidPort);

    // Nothing is sent: one read waits the port's own limit of 10 * 4 + 10 ms.
    std::array<uint8_t, 4> buffer{};
    const int64_t start = native().tick_count();
    EXPECT_EQ(iface_->read_port(buffer.data(), 4, 0), -1);
    const double ms = elapsed_ms(start);
    EXPECT_GE(ms, 40.0);
    EXPECT_LT(ms, 500.0);

    if (echo_) {
        const std::array<uint8_t, 4> request{0xAE, 0x00, 0x0A, 0xFF};
        EXPECT_EQ(iface_->write_port(request.data(), 4), 4);
        EXPECT_EQ(iface_->read_port(buffer.data(), 4, 100), 4);
        EXPECT_EQ(buffer, request);
    }

    iface_->close_port();
    const std::string log = read_all(iface_->logger->file_path());
    EXPECT_NE(log.find("Opening COM port\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Closing com port\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Length missmatch 0 == 4\r\n"), std::string::npos) << log;
}
