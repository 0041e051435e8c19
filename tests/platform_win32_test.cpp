// The Windows backend against the real system (or wine): the user's files
// and the log in a folder named in Polish, Czech and Russian, clocks and
// pauses, the COM port through the serial layer when one is provided, and
// the real executable started with a UTF-16 command line. Times are checked
// with exact lower bounds and generous upper ones.
#include "platform/win32/win32_internal.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include "log/RunScope.hpp"
#include "serial/zel_usb_cdc_interface.hpp"
#include "tests/support.hpp"

namespace {

namespace fs = std::filesystem;
zel::Platform& p = zel::native_platform();

// A name as the seam takes it (UTF-8) and as the system does (UTF-16), both
// from this file's literals, never from the backend's conversion.
const std::string kLeaf = "sieť_żółw_файл.xml";
const std::wstring kWideLeaf = L"sieť_żółw_файл.xml";

// A fresh folder with such a name in the temporary folder, with its
// separator: `dir_` in UTF-8 (as the C++ library converts it), `wdir_`.
class Folder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CreateDirectoryW(wdir_.c_str(), nullptr)); }
    void TearDown() override {
        SetCurrentDirectoryW(fs::temp_directory_path().c_str());
        std::error_code ec;
        fs::remove_all(wdir_, ec);
    }
    const std::wstring wdir_ =
        (fs::temp_directory_path() / (L"zel_Łódź_Příliš_Ёжик" + std::to_wstring(GetCurrentProcessId()))).wstring() +
        L"\\";
    const std::u8string u8dir_ = fs::path(wdir_).u8string();
    const std::string dir_{u8dir_.begin(), u8dir_.end()};
};

TEST_F(Folder, UserFilesAndTheLog) {
    const std::string file = dir_ + kLeaf;
    const std::wstring wfile = wdir_ + kWideLeaf;
    EXPECT_EQ(p.replace_file(file, "<network>\n  <ssid>długa</ssid>\n</network>\n", true, false),
              zel::FileWrite::Replaced);
    EXPECT_EQ(p.replace_file(file, "<a>\n<b/>\n", true, false), zel::FileWrite::Replaced);
    EXPECT_EQ(t::read_text(wfile), "<a>\r\n<b/>\r\n");  // whole: nothing of the longer text is left
    std::string text;
    EXPECT_TRUE(p.read_file(file, 100, true, text) && text == "<a>\n<b/>\n") << text;
    EXPECT_TRUE(p.read_file(file, 3, true, text) && text == "<a>\n") << text;  // one byte more shows it is too long
    EXPECT_TRUE(p.read_file(file, 100, false, text) && text == "<a>\r\n<b/>\r\n") << text;  // an image: every byte
    const zel::FileStatus status = p.file_status(file);
    EXPECT_EQ(std::tuple(status.kind, status.size, status.read_only), std::tuple(zel::FileStatus::Regular, 11u, false));
    const HANDLE held = CreateFileW(wfile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(p.replace_file(file, "y\n", true, false), zel::FileWrite::Failed);  // another program holds it
    CloseHandle(held);
    EXPECT_EQ(std::distance(fs::directory_iterator(wdir_), {}), 1);  // no temporary file is left
    ASSERT_TRUE(SetFileAttributesW(wfile.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(p.file_status(file).read_only && p.replace_file(file, "x\n", true, false) == zel::FileWrite::ReadOnly);
    EXPECT_EQ(t::read_text(wfile), "<a>\r\n<b/>\r\n");
    SetFileAttributesW(wfile.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(p.replace_file(dir_.substr(0, dir_.size() - 1), "x", true, false), zel::FileWrite::NotRegular);
    EXPECT_EQ(p.file_status("NUL").kind, zel::FileStatus::Other);  // a device is never the user's file
    EXPECT_EQ(p.file_status(dir_ + "brak.xml").kind, zel::FileStatus::Missing);
    EXPECT_EQ(p.replace_file(dir_ + "brak\\x.xml", "x", true, false), zel::FileWrite::Failed);

    const std::string log = dir_ + "zel_USB_Logger_1_2_2024.log";
    ASSERT_TRUE(p.append_to_file(log, "pierwszy\n") && p.append_to_file(log, "второй\n"));
    EXPECT_EQ(t::read_text(wdir_ + L"zel_USB_Logger_1_2_2024.log"), "pierwszy\r\nвторой\r\n");
    std::vector<std::string> names = p.list_directory(dir_);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kLeaf, "zel_USB_Logger_1_2_2024.log"}));
    EXPECT_TRUE(p.remove_file(log) && !p.remove_file(log));
    EXPECT_EQ(p.list_directory(dir_), std::vector<std::string>{kLeaf});
}

TEST(Win32Process, ClocksPausesAndExitStatus) {
    const auto utc = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(p.utc_now_ticks() / 1e7, std::chrono::duration<double>(utc).count(), 1);
    const auto steady = std::chrono::steady_clock::now();
    const int64_t start = p.tick_count();
    p.sleep_ms(50);
    const int64_t slept = p.tick_count() - start;
    EXPECT_TRUE(slept >= 500'000 && slept < 1'500'000) << slept;
    const double steady_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - steady).count();
    EXPECT_NEAR(slept / 1e4, steady_ms, 5);  // the tick count runs at the real rate
    // The echo pause, 16.32 ms: never early.
    for (int i = 0; i < 5; ++i) {
        const int64_t from = p.tick_count();
        p.timer_wait(163'200);
        const int64_t paused = p.tick_count() - from;
        EXPECT_TRUE(paused >= 163'200 && paused < 1'163'200) << paused;
    }
    for (const int result : {0, 6, 255, 256, 801, 0x00631900, -1}) EXPECT_EQ(p.exit_status(result), result);
    const std::string shown = p.format_local_time(1700000000u, "%Y-%m-%d %H:%M %z");
    EXPECT_TRUE(std::regex_match(shown, std::regex("2023-11-1[45] [0-9]{2}:[0-9]{2} [+-][0-9]{4}"))) << shown;
}

TEST(Win32Discovery, PortsCarryOpenableNamesAndTheirSockets) {
    EXPECT_EQ(zel::win32::port_entry_name("COM12"), "\\\\.\\COM12");  // beyond COM9 only with the device prefix
    // The identifiers from the interface path, also below 0x1000.
    const std::tuple<std::string, bool, int, int> paths[] =
        {{"\\\\?\\usb#vid_03eb&pid_2404#5&1a2b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", true, 0x03eb, 0x2404},
         {"\\\\?\\usb#vid_0483&pid_0a43#6&3c4d", true, 0x0483, 0x0a43},
         {"\\\\?\\usb#vid_0483&pid_a4", false, 0, 0},
         {"\\\\?\\usb#vid_0483&pid_x432#", false, 0, 0},
         {"\\\\?\\hid#vid_0483#", false, 0, 0}};
    for (const auto& [path, found, vendor, product] : paths) {
        uint16_t v = 0, pr = 0;
        EXPECT_EQ(zel::win32::usb_ids_of(path, v, pr), found) << path;
        EXPECT_TRUE(!found || std::tuple(int(v), int(pr)) == std::tuple(vendor, product)) << path;
    }
    const auto devices = p.list_usb_serial_devices();
    if (devices.empty()) GTEST_SKIP() << "SetupAPI lists no USB serial device here (wine has none)";
    for (const zel::UsbSerialDevice& d : devices) {
        EXPECT_NE(d.vendor_id, 0) << d.port_name;
        EXPECT_TRUE(d.port_name.find("COM") != std::string::npos && !d.location.empty()) << d.port_name << d.location;
    }
}

// Held until let go: another thread (a mutex is its holder thread's) is
// refused, and told who holds it.
TEST(Win32Lock, AHubLockHoldsUntilLetGoAndNamesItsHolder) {
    const std::string key = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)";
    std::string holder;
    auto lock = p.lock_hub(key, holder);
    ASSERT_NE(lock, nullptr);
    auto from_another_thread = [&] {
        return std::async(std::launch::async, [&] { return p.lock_hub(key, holder) != nullptr; }).get();
    };
    EXPECT_FALSE(from_another_thread());
    EXPECT_EQ(holder.rfind("pid " + std::to_string(GetCurrentProcessId()) + " (zel_unit_tests.exe)", 0), 0u) << holder;
    lock.reset();
    EXPECT_TRUE(from_another_thread());
}

// A COM port named by ZEL_TEST_COM_PORT (scripts/test-windows.sh maps a
// pseudo-terminal to COM7 under wine); ZEL_TEST_COM_ECHO=1: it sends back
// what it gets. The run's log goes to the folder.
TEST_F(Folder, TheComPortThroughTheSerialLayer) {
    const std::string name = p.environment("ZEL_TEST_COM_PORT");
    if (name.empty()) GTEST_SKIP() << "ZEL_TEST_COM_PORT is not set: no COM port to open";
    ASSERT_TRUE(SetCurrentDirectoryW(wdir_.c_str()));
    zel::RunScope scope(p);
    zel_usb_cdc_interface port(p);
    port.logger = &scope.logger();
    ASSERT_EQ(port.open_port(name.c_str()), 0);
    t::Bytes buffer(256);
    const int64_t start = p.tick_count();
    EXPECT_EQ(port.read_port(buffer.data(), 4, 0), -1);  // nothing came: 10 ms a byte plus 10
    const int64_t waited = p.tick_count() - start;
    EXPECT_TRUE(waited >= 500'000 && waited < 1'500'000) << waited;
    if (p.environment("ZEL_TEST_COM_ECHO") == "1") {
        const t::Bytes all = t::pattern(256, 0);  // every byte value: CR, LF, XON and XOFF among them
        EXPECT_EQ(port.write_port(all.data(), 256), 256);
        EXPECT_TRUE(port.read_port(buffer.data(), 256, 1000) == 256 && buffer == all);
    }
    port.close_port();
}

// zel_usb_interface.exe beside this test, started as a user would: a UTF-16
// command line and environment, working in the folder. No HUB is attached:
// a missing image ends with 25, a valid one gets as far as looking for the
// HUB and ends with 6.
TEST_F(Folder, TheExecutableTakesItsCommandLineAndEnvironmentInUtf16) {
    const std::wstring image = wdir_ + L"obraz_źdźbło_прошивка.tfh";
    auto run = [&] {
        // No program name: the system looks first in this test's own folder.
        std::wstring line = L"zel_usb_interface.exe -h \"" + image + L"\"";
        STARTUPINFOW start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION child{};
        DWORD code = 0;  // so when it does not start; STILL_ACTIVE when it does not end in time
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, wdir_.c_str(), &start, &child);
        WaitForSingleObject(child.hProcess, 60'000);
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        return int(code);
    };
    ASSERT_TRUE(SetEnvironmentVariableW(L"ZEL_PORT", L"COMŁódź"));
    EXPECT_EQ(run(), 25);
    const t::Bytes valid = t::SinglePart{}.bytes();
    std::ofstream(fs::path(image), std::ios::binary)
        .write(reinterpret_cast<const char*>(valid.data()), long(valid.size()));
    EXPECT_EQ(run(), 6);
    SetEnvironmentVariableW(L"ZEL_PORT", nullptr);
    std::string log;
    for (const fs::directory_entry& e : fs::directory_iterator(wdir_))
        log += e.path().extension() == ".log" ? t::read_text(e) : "";
    EXPECT_NE(log.find("there is no file " + dir_ + "obraz_źdźbło_прошивка.tfh"), std::string::npos) << log;
    EXPECT_NE(log.find("No HUB at the requested port 'COMŁódź' (ZEL_PORT)"), std::string::npos) << log;
}

}  // namespace
