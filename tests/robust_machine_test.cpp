// Faults of the machine rather than of the HUB, in virtual time: the port
// held by another opener, the HUB dropping off the bus in the middle of an
// operation, the image file changing under the tool, and (on POSIX, in a
// forked child, where the operating system itself must refuse) the XML
// target of -r on a read-only or a full file system.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iterator>

#include "firmware_support.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using fwtest::slice;
using fwtest::TempDir;
using scenario::LogEntry;
using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::Kind;

constexpr int64_t kMs = sim::kTicksPerMs;
constexpr int64_t kEchoPause = 163200;

// Runs the driver on any simulated platform, as Scenario::run does.
int run_on(sim::SimPlatform& platform, std::vector<std::string> args) {
    USB_Logger::Discard();
    std::vector<std::string> words{"zel_usb_interface"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int code = ::run(int(words.size()), argv.data(), platform);
    USB_Logger::Discard();
    zel::set_active_platform(nullptr);
    return code;
}

std::string text_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

const std::string kNetworkFile =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<NETWORK><SSID>Lab</SSID><PSK>secret</PSK>"
    "<DHCP><Manual value=\"true\"/><Automatic value=\"false\"/></DHCP>"
    "<SECURITY_TYPE><A value=\"true\"/></SECURITY_TYPE><BAND><E value=\"true\"/></BAND></NETWORK>\n";

// ---------------------------------------------------------------------------------
// The port busy: another program holds it open (opened without sharing, so
// every open of the tool fails). The tool makes its 20 attempts, one second
// apart, and ends with 6 without a byte sent.

struct BusyCase {
    std::vector<std::string> args;  // "IMAGE" and "XML" stand for files made by the test
    std::string failure;            // the driver's failure line with 6
};

TEST(RobustPortBusy, HeldByAnotherOpenerEndsWithSixAfterTwentyAttempts) {
    const std::vector<BusyCase> cases = {
        {{"-hinfo"}, "Something went wrong getting HUB info - error-code 6\n"},
        {{"-h", "IMAGE"}, "Something went wrong with HUB firmware-upgrade - error-code 6!!\n"},
        {{"-w", "XML"}, "Network configuration failed - status 6\n"},
        {{"-r", "XML"}, "Something went wrong reading network configuration!! - error-code 6\n"},
        {{"-stest"}, "Something went wrong in the self-test - error-code 6\n"},
        {{"-log"}, "Something went wrong reading LOG-file - error-code 6\n"},
    };
    for (const BusyCase& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir dir;
        const std::string image = dir.write("hub.tfh", fwtest::SinglePart{}.bytes());
        const std::string xml = dir.write("net.xml", bytes_of(kNetworkFile));
        std::vector<std::string> args = c.args;
        for (std::string& a : args) {
            if (a == "IMAGE") a = image;
            if (a == "XML") a = xml;
        }
        Scenario s;
        s.attach(fwtest::hub(Kind::TorvaneAtmel));
        // The other program's handle.
        const zel::PortHandle held = s.platform.port_create("COM3");
        ASSERT_NE(held, zel::kInvalidPort);
        EXPECT_EQ(s.run(args), 6);
        s.platform.port_close(held);
        zel::set_active_platform(nullptr);

        // 20 attempts, a second after each, and nothing else.
        ASSERT_EQ(s.platform.waits.size(), 20u);
        for (const sim::Wait& w : s.platform.waits) EXPECT_EQ(w.duration, 1000 * kMs);
        EXPECT_EQ(s.platform.now(), 20000 * kMs);
        EXPECT_TRUE(s.hub().requests().empty());
        EXPECT_TRUE(s.logged("ERROR", "CDC-interface: Failed to create a reference file for COM3!!\n"));
        EXPECT_TRUE(s.logged("ERROR", "CDC-interface: Virtual-serial port 'COM3' no detected!\n"));
        const auto log = s.log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().level, "ERROR");
        EXPECT_EQ(log.back().text, c.failure);
        // Files given to the run are as they were.
        EXPECT_EQ(text_of(xml), kNetworkFile);
        EXPECT_EQ(bytes_of(text_of(image)), fwtest::SinglePart{}.bytes());
    }
}

TEST(RobustPortBusy, FreedBeforeTheLastAttemptTheRunGoesOn) {
    for (int refused : {19, 20}) {
        SCOPED_TRACE(refused);
        Scenario s;
        sim::HubConfig c;
        c.refuse_opens = refused;
        s.attach(c);
        EXPECT_EQ(s.run({"-hinfo"}), refused < 20 ? 0 : 6);
        EXPECT_EQ(s.hub().requests().size(), refused < 20 ? 2u : 0u);  // the probe and the request
        EXPECT_EQ(s.platform.open_handles(), 0u);
    }
}

TEST(RobustPortBusy, BusyAfterTheUpgradeRequestLeavesTheHubInItsBootloader) {
    // The reconnect after the upgrade request opens the port again; a port
    // that stays busy ends the upgrade with 31 and the HUB where it is.
    for (int refused : {19, 20}) {
        SCOPED_TRACE(refused);
        TempDir dir;
        Scenario s;
        sim::HubConfig c = fwtest::hub(Kind::TorvaneAtmel);
        c.refuse_opens_after_restart = refused;
        s.attach(c);
        EXPECT_EQ(s.run({"-h", dir.write("hub.tfh", fwtest::SinglePart{}.bytes())}), refused < 20 ? 0 : 31);
        if (refused == 20) {
            EXPECT_TRUE(s.logged("ERROR", "what(): Virtual serial port not connected \n"));
            EXPECT_EQ(s.hub().mode(), sim::Mode::Bootloader);
            EXPECT_EQ(s.hub().requests().size(), 2u);
        }
    }
}

// ---------------------------------------------------------------------------------
// The HUB dropping off the bus for good in the middle of an operation: the
// reads fail from the moment it left, so the tool ends at once with the
// step's result, without waiting out any read limit.

struct VanishCase {
    std::string name;
    std::vector<std::string> args;  // "IMAGE", "SENSORS", "XML", "OUT" stand for files
    Kind kind;
    int request;  // index of the request after whose echo the HUB leaves
    int result;
    std::string failure;  // the driver's failure line, "" for none
    bool reconnect;       // the request is followed by the 5 s reconnect pause
};

TEST(RobustPortVanishes, InTheMiddleOfEveryOperationTheStepFailsAtOnce) {
    const std::vector<VanishCase> cases = {
        {"hub information", {"-hinfo"}, Kind::TorvaneST, 1, 10, "Something went wrong getting HUB info - error-code 10\n", false},
        {"sensor information", {"-sinfo"}, Kind::TorvaneST, 1, 72,
         "Something went wrong reading Sensors information - error-code 72!!\n", false},
        // Request 6 is the carriage return that ends the typed command.
        {"HUB log", {"-log"}, Kind::TorvaneST, 6, 51, "Something went wrong reading LOG-file - error-code 51\n", false},
        {"read configuration", {"-r", "OUT"}, Kind::TorvaneST, 1, 20,
         "Something went wrong reading network configuration!! - error-code 20\n", false},
        {"write configuration", {"-w", "XML"}, Kind::TorvaneST, 1, 16, "Network configuration failed - status 16\n", false},
        {"scan", {"-rs", "6"}, Kind::TorvaneST, 1, 0, "", false},
        {"self-test", {"-stest"}, Kind::TorvaneST, 2, 801, "Something went wrong in the self-test - error-code 801\n", false},
        {"sensor trigger", {"-sfb"}, Kind::TorvaneST, 1, 0, "", true},
        {"HUB upgrade, chunk 2 of part 0", {"-h", "IMAGE"}, Kind::TorvaneST, 4, 30,
         "Something went wrong with HUB firmware-upgrade - error-code 30!!\n", false},
        {"HUB upgrade, upgrade request", {"-h", "IMAGE"}, Kind::TorvaneST, 1, 28,
         "Something went wrong with HUB firmware-upgrade - error-code 28!!\n", true},
        {"sensor upgrade, chunk 3", {"-s", "SENSORS"}, Kind::TorvaneST, 6, 30,
         "Something went wrong with Sensors firmware-upgrade - error-code 30!!\n", false},
    };
    for (const VanishCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        fwtest::TwoPart hub_image;
        fwtest::SinglePart sensor_image;
        sensor_image.target = 'S';
        sensor_image.length = 1300;
        std::vector<std::string> args = c.args;
        for (std::string& a : args) {
            if (a == "IMAGE") a = dir.write("hub.tfh", hub_image.bytes());
            if (a == "SENSORS") a = dir.write("s.tfs", sensor_image.bytes());
            if (a == "XML") a = dir.write("net.xml", bytes_of(kNetworkFile));
            if (a == "OUT") a = dir.path("out.xml");
        }
        Scenario s;
        sim::HubConfig config = fwtest::hub(c.kind);
        FaultRule gone;
        gone.request_index = c.request;
        gone.fault.type = Fault::Vanish;
        gone.fault.delay_ms = -1;
        config.faults.push_back(gone);
        s.attach(config);
        EXPECT_EQ(s.run(args), c.result);
        zel::set_active_platform(nullptr);

        const std::vector<sim::Request>& requests = s.hub().requests();
        ASSERT_GT(requests.size(), size_t(c.request));
        EXPECT_EQ(requests.size(), size_t(c.request) + 1) << "nothing reaches a HUB that is gone";
        // After the write: the echo pause (and a reconnect's 5 s); no read
        // waited for bytes that could not come.
        const sim::Request& last = requests.back();
        const int64_t allowed = kEchoPause + (c.reconnect ? 5000 * kMs : 0);
        EXPECT_LE(s.platform.now() - last.time, allowed);
        EXPECT_EQ(s.platform.open_handles(), 0u);
        const auto log = s.log();
        if (c.failure.empty()) {
            for (const LogEntry& e : log) EXPECT_EQ(e.text.rfind("Something went wrong", 0), std::string::npos) << e.text;
        } else {
            ASSERT_FALSE(log.empty());
            const auto last_error =
                std::find_if(log.rbegin(), log.rend(), [](const LogEntry& e) { return e.level == "ERROR"; });
            ASSERT_NE(last_error, log.rend());
            EXPECT_EQ(last_error->text, c.failure);
        }
        if (c.name == "read configuration") {
            EXPECT_FALSE(fs::exists(dir.path("out.xml")));
        }
        if (c.name == "scan") {
            EXPECT_NE(s.platform.out.find("Number of access points found 0\n"), std::string::npos);
        }
    }
}

TEST(RobustPortVanishes, DuringTheFirmwareTransferThePartStaysIncomplete) {
    TempDir dir;
    fwtest::TwoPart img;
    img.target = 'H';
    const std::vector<uint8_t> file = img.bytes();
    Scenario s;
    sim::HubConfig config = fwtest::hub(Kind::Quillet);
    FaultRule gone;
    gone.word = 0x00720100;  // the second chunk of the first part
    gone.occurrence = 1;
    gone.fault.type = Fault::Vanish;
    gone.fault.delay_ms = -1;
    config.faults.push_back(gone);
    s.attach(config);
    EXPECT_EQ(s.run({"-h", dir.write("hub.tfh", file)}), 30);
    zel::set_active_platform(nullptr);

    // The chunk's write, the echo pause, a read that fails at once.
    const sim::TraceEntry& chunk = s.platform.trace.back();
    ASSERT_TRUE(chunk.to_hub);
    ASSERT_EQ(chunk.bytes.size(), 536u);
    EXPECT_EQ(s.platform.now(), chunk.time + sim::wire_ticks(536) + kEchoPause);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 536\n"));
    EXPECT_TRUE(s.logged("ERROR", "what(): read() failed - unexpected amount of bytes\n"));
    EXPECT_TRUE(s.logged("ERROR", "Something went wrong with HUB firmware-upgrade - error-code 30!!\n"));
    // The bootloader had the first two chunks of the first part and no more.
    const sim::FirmwareArea& area = s.hub().config().firmware;
    ASSERT_EQ(area.hub_parts.size(), 1u);
    EXPECT_FALSE(area.hub_parts[0].complete);
    EXPECT_EQ(area.hub_parts[0].data, slice(file, img.data_a(), 1024));
    EXPECT_EQ(area.final_triggers, 0);
    EXPECT_EQ(s.platform.open_handles(), 0u);
    // No report line of a finished upgrade.
    EXPECT_EQ(s.find("HUB-boot message: ", 0), -1);
}

// ---------------------------------------------------------------------------------
// The image file changing between the tool's check and the transfer: the
// tool reads it once, checks that copy, and sends only that copy.

class ChangingImagePlatform : public sim::SimPlatform {
public:
    std::string path;
    std::function<void(const std::string&)> change;
    bool at_probe = false;  // change when the probe goes out (before the check)
    bool every = false;     // change again at every later request
    int changes = 0;

    int port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) override {
        const bool probe = std::all_of(data, data + length, [](uint8_t b) { return b == 0; });
        const bool due = at_probe ? (probe && changes == 0) : (!probe && (changes == 0 || every));
        if (change && due) {
            change(path);
            ++changes;
        }
        return SimPlatform::port_write(h, data, length);
    }
};

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  std::streamsize(bytes.size()));
}

struct Change {
    std::string name;
    std::function<void(const std::string&)> apply;
};

std::vector<Change> changes() {
    return {
        {"grows by 70000 bytes",
         [](const std::string& p) {
             std::ofstream(p, std::ios::binary | std::ios::app) << std::string(70000, '\xEE');
         }},
        {"shrinks to 600 bytes", [](const std::string& p) { fs::resize_file(p, 600); }},
        {"shrinks to nothing", [](const std::string& p) { fs::resize_file(p, 0); }},
        {"rewritten, same size",
         [](const std::string& p) {
             std::string t = text_of(p);
             for (char& ch : t) ch = char(~ch);
             write_file(p, bytes_of(t));
         }},
        {"replaced by another valid image",
         [](const std::string& p) {
             fwtest::SinglePart other;
             other.length = 3000;
             other.fw_signature = 0x0BADF00D;
             write_file(p, other.bytes());
         }},
        {"removed", [](const std::string& p) { fs::remove(p); }},
    };
}

struct Family {
    std::string name;
    Kind kind;
    bool legacy;
    std::string option;
    std::vector<uint8_t> file;
    // Checks that the model received exactly the validated original.
    std::function<void(const sim::FirmwareArea&, const std::vector<uint8_t>&)> check;
};

std::vector<Family> families() {
    fwtest::SinglePart atmel;
    fwtest::TwoPart st;
    fwtest::SinglePart sensors;
    sensors.target = 'S';
    sensors.length = 1300;
    auto single = [](const fwtest::SinglePart img, bool hub) {
        return [img, hub](const sim::FirmwareArea& a, const std::vector<uint8_t>& f) {
            const std::vector<sim::ReceivedPart>& parts = hub ? a.hub_parts : a.sensor_parts;
            ASSERT_EQ(parts.size(), 1u);
            EXPECT_TRUE(parts[0].complete);
            EXPECT_EQ(parts[0].fw_length, img.length);
            EXPECT_EQ(parts[0].fw_signature, img.fw_signature);
            EXPECT_EQ(parts[0].first_block, slice(f, img.first_block(), 512));
            EXPECT_EQ(parts[0].data, slice(f, img.data(), img.length));
        };
    };
    return {
        {"Atmel HUB", Kind::TorvaneAtmel, false, "-h", atmel.bytes(), single(atmel, true)},
        {"ST HUB", Kind::TorvaneST, false, "-h", st.bytes(),
         [st](const sim::FirmwareArea& a, const std::vector<uint8_t>& f) {
             ASSERT_EQ(a.hub_parts.size(), 2u);
             EXPECT_EQ(a.hub_parts[0].first_block, slice(f, 84, 512));
             EXPECT_EQ(a.hub_parts[0].data, slice(f, st.data_a(), st.length_a));
             EXPECT_EQ(a.hub_parts[1].data, slice(f, st.data_b(), st.length_b));
             EXPECT_EQ(a.hub_parts[1].fw_signature, st.fw_signature_b);
         }},
        {"sensors through a current HUB", Kind::TorvaneST, false, "-s", sensors.bytes(), single(sensors, false)},
        {"sensors through a legacy HUB", Kind::TorvaneAtmel, true, "-s", sensors.bytes(), single(sensors, false)},
    };
}

int run_with_change(const Family& family, const Change& change, bool at_probe, bool every, ChangingImagePlatform& p,
                    const TempDir& dir) {
    p.path = dir.write(family.option == "-h" ? "image.tfh" : "image.tfs", family.file);
    p.change = change.apply;
    p.at_probe = at_probe;
    p.every = every;
    p.attach(fwtest::hub(family.kind, family.legacy));
    return run_on(p, {family.option, p.path});
}

TEST(RobustImageChanges, AfterTheCheckOnlyTheValidatedImageIsSent) {
    for (const Family& family : families()) {
        for (const Change& change : changes()) {
            for (const bool every : {false, true}) {
                SCOPED_TRACE(family.name + ", file " + change.name + (every ? " at every request" : " at the first request"));
                TempDir dir;
                ChangingImagePlatform p;
                EXPECT_EQ(run_with_change(family, change, false, every, p, dir), 0);
                EXPECT_GE(p.changes, every ? 2 : 1);
                const sim::FirmwareArea& area = p.hub().config().firmware;
                family.check(area, family.file);
                EXPECT_TRUE(area.violations.empty()) << area.violations.front();
                EXPECT_EQ(p.open_handles(), 0u);
            }
        }
    }
}

TEST(RobustImageChanges, BeforeTheCheckTheChangedFileIsWhatIsChecked) {
    // Changed while the tool connects: the tool checks the file as it finds
    // it. Appended bytes lie outside the image and change nothing sent; a
    // shrunk or removed file is refused before the HUB gets any request.
    const std::vector<Change> all = changes();
    for (const Family& family : families()) {
        for (const Change& change : {all[0], all[1], all[5]}) {
            SCOPED_TRACE(family.name + ", file " + change.name + " while connecting");
            TempDir dir;
            ChangingImagePlatform p;
            const bool grows = change.name.rfind("grows", 0) == 0;
            EXPECT_EQ(run_with_change(family, change, true, false, p, dir), grows ? 0 : 25);
            EXPECT_EQ(p.changes, 1);
            const sim::FirmwareArea& area = p.hub().config().firmware;
            if (grows) {
                family.check(area, family.file);
            } else {
                EXPECT_EQ(p.hub().requests().size(), 1u);  // the probe only
                EXPECT_TRUE(area.hub_parts.empty());
                EXPECT_TRUE(area.sensor_parts.empty());
            }
        }
    }
}

// ---------------------------------------------------------------------------------
// The XML target of -r where the file system says no. Nothing is lost: an
// existing file keeps its bytes, and no temporary file is left beside it.

class RobustXmlTarget : public ::testing::Test {
protected:
    void TearDown() override { zel::set_active_platform(nullptr); }

    static std::vector<std::string> entries(const std::string& dir) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(RobustXmlTarget, TargetThatIsNoRegularFileIsRefused) {
    TempDir dir;
    fs::create_directories(dir.path("taken.xml"));
    std::vector<std::string> targets = {dir.path("taken.xml")};
#ifndef _WIN32
    targets.push_back("/dev/full");  // a device: writes would fail, and it is no configuration file
#endif
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        Scenario s;
        s.attach();
        EXPECT_EQ(s.run({"-r", target}), 14);
        EXPECT_TRUE(s.logged("ERROR", "Configuration file " + target + " is not a regular file.\n"));
        EXPECT_TRUE(s.logged("ERROR", "Something went wrong reading network configuration!! - error-code 14\n"));
        EXPECT_EQ(s.hub().requests().size(), 2u);  // read from the HUB before the file is written
    }
    EXPECT_TRUE(fs::is_directory(dir.path("taken.xml")));
    EXPECT_TRUE(fs::is_empty(dir.path("taken.xml")));
}

#ifndef _WIN32

// Runs `-r target` in a forked child, after `prepare` (which returns false
// when the child cannot set up what it was asked to), and hands back the
// exit code and what the child reports on its pipe. The child checks what
// only it can see (a mount of its own) through `inspect`.
struct ChildRun {
    int code = -1;
    std::string report;
};

ChildRun run_read_in_child(const std::string& target, const std::function<bool()>& prepare,
                           const std::function<std::string()>& inspect = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (!prepare()) ::_exit(77);
        Scenario s;
        s.attach();
        const int code = s.run({"-r", target});
        std::string report;
        for (const LogEntry& e : s.log()) {
            if (e.level == "ERROR") report += e.text;
        }
        if (inspect) report += inspect();
        (void)!::write(fds[1], report.data(), report.size());
        ::_exit(code);
    }
    ::close(fds[1]);
    ChildRun run;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) run.report.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

const std::string kOld = "<?xml version=\"1.0\"?>\n<NETWORK><SSID>kept</SSID></NETWORK>\n";

TEST_F(RobustXmlTarget, ReadOnlyPlaceKeepsTheOldFile) {
    // Root writes through permission bits, so the child gives up root first.
    TempDir dir;
    const std::string place = dir.path("ro");
    fs::create_directories(place);
    const std::string target = place + "/hub.xml";
    write_file(target, bytes_of(kOld));
    fs::permissions(dir.path(""), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(place, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    if (::geteuid() != 0) fs::permissions(place, fs::perms::owner_write, fs::perm_options::remove);
    const ChildRun run = run_read_in_child(target, [] {
        if (::geteuid() != 0) return true;
        return ::setgid(65534) == 0 && ::setuid(65534) == 0;
    });
    fs::permissions(place, fs::perms::owner_all, fs::perm_options::add);
    ASSERT_NE(run.code, 77) << "could not give up root";
    EXPECT_EQ(run.code, 14);
    EXPECT_NE(run.report.find("Unable to write configuration file " + target + ".\n"), std::string::npos) << run.report;
    EXPECT_NE(run.report.find("Something went wrong reading network configuration!! - error-code 14\n"),
              std::string::npos);
    EXPECT_EQ(text_of(target), kOld);
    EXPECT_EQ(entries(place), std::vector<std::string>{"hub.xml"});
}

TEST_F(RobustXmlTarget, FullFileSystemKeepsTheOldFile) {
    // A file-size limit makes every write beyond 64 bytes fail as on a full
    // disk (EFBIG instead of ENOSPC), without mounting anything.
    TempDir dir;
    const std::string target = dir.path("hub.xml");
    write_file(target, bytes_of(kOld));
    const ChildRun run = run_read_in_child(target, [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    });
    ASSERT_NE(run.code, 77);
    EXPECT_EQ(run.code, 14);
    EXPECT_NE(run.report.find("Unable to write configuration file " + target + ".\n"), std::string::npos) << run.report;
    EXPECT_EQ(text_of(target), kOld);
    EXPECT_EQ(entries(dir.path("")), std::vector<std::string>{"hub.xml"});
}

TEST_F(RobustXmlTarget, FullTmpfsKeepsTheOldFile) {
    // A real full file system: a tiny tmpfs, filled up, in the child's own
    // mount namespace. Where mounting is not allowed the size limit above
    // stands for it; the test then says so and checks nothing more.
    TempDir dir;
    const std::string place = dir.path("full");
    fs::create_directories(place);
    const std::string target = place + "/hub.xml";
    const ChildRun run = run_read_in_child(
        target,
        [&] {
            if (::unshare(CLONE_NEWNS) != 0) return false;
            if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
            if (::mount("tmpfs", place.c_str(), "tmpfs", 0, "size=64k") != 0) return false;
            write_file(target, bytes_of(kOld));
            // Fill every block that is left.
            const int fd = ::open((place + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) return false;
            const std::string block(4096, 'f');
            while (::write(fd, block.data(), block.size()) > 0) {
            }
            while (::write(fd, block.data(), 1) > 0) {
            }
            ::close(fd);
            return true;
        },
        [&] {
            std::string seen = "old file: " + std::string(text_of(target) == kOld ? "kept" : "changed") + "\nentries:";
            for (const std::string& name : entries(place)) seen += " " + name;
            return seen + "\n";
        });
    if (run.code == 77) {
        std::printf("[ INFO     ] tmpfs cannot be mounted here; FullFileSystemKeepsTheOldFile covers a full disk\n");
        return;
    }
    EXPECT_EQ(run.code, 14) << run.report;
    EXPECT_NE(run.report.find("Unable to write configuration file " + target + ".\n"), std::string::npos) << run.report;
    EXPECT_NE(run.report.find("old file: kept\n"), std::string::npos) << run.report;
    EXPECT_NE(run.report.find("entries: filler hub.xml\n"), std::string::npos) << run.report;
}

#endif  // !_WIN32

}  // namespace
