// The Linux backend against the real system: fake sysfs trees for discovery,
// a pseudo-terminal for port I/O, real files, and signals in a child process.
// Times are checked with exact lower bounds and generous upper ones: the
// precise timing is the virtual-time tests' and the benchmark's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <regex>
#include <set>
#include <thread>

#include "platform/platform.hpp"
#include "serial/hub_kinds.hpp"
#include "tests/support.hpp"

namespace fs = std::filesystem;
using zel::native_platform;

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void write_text(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A short folder of its own (port names must fit the 39 characters of the
// port table), removed afterwards.
class Folder : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, ec);
        fs::remove_all(dir_, ec);
        unsetenv("ZEL_SYSFS_ROOT");
        unsetenv("ZEL_DEV_ROOT");
    }
    // A USB device at `bus_path` with one interface carrying the tty `name`.
    void add_usb_tty(const std::string& name, const std::string& bus_path, const std::string& vid,
                     const std::string& pid) {
        const fs::path device = dir_ / "sys/devices" / bus_path;
        write_text(device / "idVendor", vid + "\n");
        write_text(device / "idProduct", pid + "\n");
        add_tty(name, device / (device.filename().string() + ":1.0"));
    }
    void add_tty(const std::string& name, const fs::path& interface) {
        const fs::path tty = interface / "tty" / name;
        fs::create_directories(tty);
        fs::create_directories(dir_ / "sys/class/tty");
        fs::create_directory_symlink(interface, tty / "device");
        fs::create_directory_symlink(tty, dir_ / "sys/class/tty" / name);
    }
    static zel::Platform& p() { return native_platform(); }
    fs::path dir_;
};

using Discovery = Folder;

TEST_F(Discovery, UsbTtysInNaturalOrderWithTheirLocations) {
    add_usb_tty("ttyACM10", "usb1/1-3", "0483", "a432");
    add_usb_tty("ttyACM2", "usb1/1-1.4", "03eb", "2404");
    add_usb_tty("ttyUSB0", "usb2/2-1", "0483", "5740");
    add_usb_tty("ttyACM3", "usb1/1-5", "04831", "a432");  // malformed identifiers
    add_usb_tty("ttyACM4", "usb1/1-6", "0483", "xyz");
    add_tty("ttyS0", dir_ / "sys/devices/platform/serial8250");  // not on USB
    const fs::path outside = dir_ / "elsewhere/1-9";             // identifiers outside the root do not count
    write_text(outside / "idVendor", "0483\n");
    write_text(outside / "idProduct", "a432\n");
    add_tty("ttyACM9", outside / "1-9:1.0");
    setenv("ZEL_SYSFS_ROOT", (dir_ / "sys").c_str(), 1);
    setenv("ZEL_DEV_ROOT", "/dev/zel", 1);

    using Found = std::tuple<std::string, int, int, std::string>;
    std::vector<Found> found;
    for (const zel::UsbSerialDevice& d : native_platform().list_usb_serial_devices()) {
        found.emplace_back(d.port_name, int(d.vendor_id), int(d.product_id), d.location);
        // Its lock key: the device's folder, unique also across fake trees.
        EXPECT_EQ(d.lock_key.rfind(fs::canonical(dir_).string() + "/sys/devices/usb", 0), 0u);
        EXPECT_TRUE(d.lock_key.ends_with("/" + d.location));
    }
    EXPECT_EQ(found, (std::vector<Found>{{"/dev/zel/ttyACM2", 0x03eb, 0x2404, "1-1.4"},
                                         {"/dev/zel/ttyACM10", 0x0483, 0xa432, "1-3"},
                                         {"/dev/zel/ttyUSB0", 0x0483, 0x5740, "2-1"}}));
    setenv("ZEL_SYSFS_ROOT", (dir_ / "nowhere").c_str(), 1);
    EXPECT_TRUE(native_platform().list_usb_serial_devices().empty());
}

// --- the port on a pseudo-terminal ------------------------------------------------------------------

class Port : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = ptsname(master_);
        zel::OpenFailure why = zel::OpenFailure::None;
        port_ = p.port_create(slave_, why);
        ASSERT_NE(port_, zel::kInvalidPort);
        ASSERT_TRUE(p.port_set_state(port_));  // raw: nothing is translated either way
    }
    void TearDown() override {
        p.port_close(port_);
        if (master_ >= 0) ::close(master_);
    }
    void send(const t::Bytes& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    t::Bytes receive(size_t count) {
        t::Bytes got(count + 16);
        size_t n = 0;
        for (const auto start = Clock::now(); n < count && ms_since(start) < 1000;) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, 100) > 0)
                n += size_t(std::max<ssize_t>(0, ::read(master_, got.data() + n, got.size() - n)));
        }
        got.resize(n);
        return got;
    }
    zel::Platform& p = native_platform();
    int master_ = -1;
    std::string slave_;
    zel::PortHandle port_ = zel::kInvalidPort;
};

TEST_F(Port, ReadsEndAsAWindowsPortWouldAndNothingIsTranslated) {
    t::Bytes buffer(256);
    auto start = Clock::now();
    EXPECT_EQ(p.port_read(port_, buffer.data(), 104), 0);  // nothing: 10 ms a byte plus 10
    EXPECT_GE(ms_since(start), 1050.0);
    EXPECT_LT(ms_since(start), 2000.0);

    t::Bytes all(256);
    std::iota(all.begin(), all.end(), uint8_t(0));  // CR, LF, XON and XOFF among them
    send(all);
    start = Clock::now();
    EXPECT_EQ(p.port_read(port_, buffer.data(), 256), 256);  // all there: at once
    EXPECT_LT(ms_since(start), 200.0);
    EXPECT_EQ(buffer, all);
    EXPECT_EQ(p.port_write(port_, all.data(), 256), 256);
    EXPECT_EQ(receive(256), all);

    std::thread sender([this] {
        send(t::Bytes(30, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        send(t::Bytes(30, 2));
    });
    start = Clock::now();
    EXPECT_EQ(p.port_read(port_, buffer.data(), 104), 30);  // 10 ms of silence ends a read that has bytes
    EXPECT_GE(ms_since(start), 10.0);
    EXPECT_EQ(p.port_read(port_, buffer.data(), 104), 30);
    EXPECT_EQ(buffer[0], 2);
    sender.join();

    // Bytes that keep coming within 10 ms of each other do not hold a read
    // beyond its 10 n + 10 ms: 210 ms for 20, the first byte after 205 ms.
    std::thread trickle([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(205));
        for (int i = 0; i < 20; ++i) {
            send(t::Bytes(1, 3));
            std::this_thread::sleep_for(std::chrono::milliseconds(8));
        }
    });
    EXPECT_LT(p.port_read(port_, buffer.data(), 20), 20);
    trickle.join();
}

TEST_F(Port, HeldGoneOrHungEveryFailureIsToldAndBounded) {
    zel::OpenFailure why = zel::OpenFailure::None;
    EXPECT_EQ(p.port_create(slave_, why), zel::kInvalidPort);  // not shared
    EXPECT_EQ(why, zel::OpenFailure::Busy);
    EXPECT_EQ(p.port_create("/nonexistent/port", why), zel::kInvalidPort);
    EXPECT_EQ(why, zel::OpenFailure::Missing);

    // A HUB that takes nothing more: once the line is full, a write ends
    // after its time-out, short. The terminal layer moves bytes on to the
    // other side behind the scenes: fill until a pause leaves no room.
    t::Bytes chunk(536, 0x5A);
    for (bool took = true; took; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        took = false;
        for (const size_t piece : {chunk.size(), size_t(1)}) {
            while (::write(int(port_), chunk.data(), piece) > 0) took = true;
        }
    }
    const auto start = Clock::now();
    EXPECT_EQ(p.port_write(port_, chunk.data(), 1), 0);
    EXPECT_GE(ms_since(start), 20.0);
    EXPECT_LT(ms_since(start), 500.0);

    // A device that takes a byte but never passes it on: the wait for it to leave has the same bound.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const uint8_t byte = 1;
    const auto queued = Clock::now();
    EXPECT_EQ(p.port_write(zel::PortHandle(pair[0]), &byte, 1), 0);
    EXPECT_GE(ms_since(queued), 20.0);
    EXPECT_LT(ms_since(queued), 500.0);
    ::close(pair[0]);
    ::close(pair[1]);

    ::close(master_);  // the device goes away
    master_ = -1;
    t::Bytes buffer(104);
    EXPECT_EQ(p.port_read(port_, buffer.data(), 104), -1);
    EXPECT_EQ(p.port_write(port_, buffer.data(), 4), -1);
    EXPECT_EQ(p.port_read(zel::kInvalidPort, buffer.data(), 1), -1);
    EXPECT_FALSE(p.port_set_state(zel::kInvalidPort));
}

// --- files -------------------------------------------------------------------------------------------

using Files = Folder;

TEST_F(Files, ReplacedWholeInPlaceOrNotAtAll) {
    const std::string target = (dir_ / "net.xml").string();
    const mode_t umask = ::umask(0);
    EXPECT_EQ(p().replace_file(target, "one\n", true, true), zel::FileWrite::Replaced);
    ::umask(umask);
    struct stat st {};
    ::stat(target.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // a new file with a key is the owner's alone, whatever the umask
    ::chmod(target.c_str(), 0640);
    EXPECT_EQ(p().replace_file(target, "two\n", true, true), zel::FileWrite::Replaced);
    EXPECT_EQ(t::read_text(target), "two\n");
    ::stat(target.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the access the user gave it stays
    fs::create_symlink(target, dir_ / "link.xml");
    EXPECT_EQ(p().replace_file((dir_ / "link.xml").string(), "three\n", true, false), zel::FileWrite::Replaced);
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.xml"));
    EXPECT_EQ(t::read_text(target), "three\n");
    ::chmod(target.c_str(), 0444);
    EXPECT_EQ(p().replace_file(target, "four\n", true, false), zel::FileWrite::ReadOnly);
    EXPECT_EQ(t::read_text(target), "three\n");
    EXPECT_EQ(p().replace_file(dir_.string(), "x", true, false), zel::FileWrite::NotRegular);
    EXPECT_EQ(p().replace_file((dir_ / "missing/x.xml").string(), "x", true, false), zel::FileWrite::Failed);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);  // no temporary file is left

    const zel::FileStatus status = p().file_status(target);
    EXPECT_EQ(status.kind, zel::FileStatus::Regular);
    EXPECT_EQ(status.size, 6u);
    EXPECT_TRUE(status.read_only);
    EXPECT_EQ(p().file_status("/dev/null").kind, zel::FileStatus::Other);
    EXPECT_EQ(p().file_status((dir_ / "none").string()).kind, zel::FileStatus::Missing);
    std::string text;
    EXPECT_TRUE(p().read_file(target, 3, true, text));
    EXPECT_EQ(text, "thre");  // one byte beyond the limit shows a file that is too long
    EXPECT_FALSE(p().read_file((dir_ / "none").string(), 3, true, text));
}

// A folder the user may not write to, with a file in it that the user may:
// the file is rewritten in place, and its old bytes go back when the new
// ones do not all fit (here: past a file-size limit).
TEST_F(Files, InPlaceWhenTheFolderTakesNoNewFileAndTheOldBytesBackOnFailure) {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    const std::string target = (dir_ / "net.xml").string();
    write_text(target, "old\n");
    ::chmod(target.c_str(), 0666);
    ::chmod(dir_.c_str(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        int failed = 1;
        if (::setgid(65534) == 0 && ::setuid(65534) == 0 && ::setrlimit(RLIMIT_FSIZE, &limit) == 0 && ++failed &&
            p().replace_file(target, "new\n", true, false) == zel::FileWrite::WrittenInPlace && ++failed &&
            t::read_text(target) == "new\n" && ++failed &&
            p().replace_file(target, std::string(200, 'x'), true, false) == zel::FileWrite::Failed && ++failed &&
            t::read_text(target) == "new\n") {
            failed = 0;
        }
        ::_exit(failed);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "check " << WEXITSTATUS(status) << " failed";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);  // no temporary file is left
}

TEST_F(Files, AHubLockHoldsUntilLetGoAndNamesItsHolder) {
    setenv("ZEL_LOCK_DIR", dir_.c_str(), 1);
    std::string holder;
    auto lock = p().lock_hub("/sys/devices/usb1/1-1", holder);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(p().lock_hub("/sys/devices/usb1/1-1", holder), nullptr);  // flock: also in the same process
    EXPECT_EQ(holder.rfind("pid " + std::to_string(::getpid()) + " (", 0), 0u) << holder;
    EXPECT_NE(p().lock_hub("/sys/devices/usb1/1-2", holder), nullptr);  // another HUB
    lock.reset();
    EXPECT_NE(p().lock_hub("/sys/devices/usb1/1-1", holder), nullptr);
    const fs::path file = dir_ / (zel::hub_lock_name("/sys/devices/usb1/1-1") + ".lock");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms(0666));  // every user's runs lock it
    unsetenv("ZEL_LOCK_DIR");
}

// --- the process ------------------------------------------------------------------------------------

TEST(Process, ClocksExitStatusAndLocalTime) {
    zel::Platform& p = native_platform();
    EXPECT_LE(std::abs(p.utc_now_ticks() / 10'000'000 - int64_t(::time(nullptr))), 1);
    int64_t start = p.tick_count();
    p.timer_wait(163'200);  // 16.32 ms
    EXPECT_GE(p.tick_count() - start, 163'200);
    EXPECT_LT(p.tick_count() - start, 163'200 + 5'000'000);
    for (const auto& [result, status] : std::vector<std::pair<int, int>>{
             {0, 0}, {6, 6}, {255, 255}, {256, 255}, {801, 255}, {0x00631900, 255}, {-1, 255}}) {
        EXPECT_EQ(p.exit_status(result), status) << result;
    }
    setenv("TZ", "UTC-2", 1);
    tzset();
    EXPECT_EQ(p.format_local_time(86400 + 3600, "%Y-%m-%d %H:%M %z"), "1970-01-02 03:00 +0200");
    unsetenv("TZ");
    tzset();
}

// The package's udev rule names every HUB kind, and nothing else, in both its forms.
TEST(Packaging, TheUdevRuleCoversEveryHubKind) {
    const std::string rules = t::read_text(ZEL_SOURCE_DIR "/packaging/70-zel-hub.rules");
    std::set<std::pair<int, int>> kinds;
    for (const HubKindRow& kind : hub_kinds()) kinds.insert({kind.vendor_id, kind.product_id});
    for (const std::string attr : {"ATTR", "ATTRS"}) {
        const std::regex ids(attr + R"re(\{idVendor\}=="([0-9a-f]{4})", )re" + attr +
                             R"re(\{idProduct\}=="([0-9a-f]{4})")re");
        std::set<std::pair<int, int>> ruled;
        for (std::sregex_iterator m(rules.begin(), rules.end(), ids), end; m != end; ++m) {
            ruled.insert({std::stoi((*m)[1], nullptr, 16), std::stoi((*m)[2], nullptr, 16)});
        }
        EXPECT_EQ(ruled, kinds) << attr;
    }
}

}  // namespace
