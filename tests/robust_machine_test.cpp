// Faults of the machine rather than of the HUB, in virtual time: the port
// held by another opener, the HUB dropping off the bus in the middle of an
// operation, the image file changing under the tool, and (on POSIX, in a
// forked child, where the operating system itself must refuse) the XML
// target of -r on a read-only or a full file system.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "firmware_support.hpp"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using fwtest::slice;
using fwtest::TempDir;
using scenario::kEchoPause;
using scenario::kMs;
using scenario::LogEntry;
using scenario::read_file;
using scenario::Scenario;
using sim::Fault;
using sim::Kind;

const std::string kNetworkFile =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<NETWORK><SSID>Lab</SSID><PSK>secret</PSK>"
    "<DHCP><Manual value=\"true\"/><Automatic value=\"false\"/></DHCP>"
    "<SECURITY_TYPE><A value=\"true\"/></SECURITY_TYPE><BAND><E value=\"true\"/></BAND></NETWORK>\n";

// The run's arguments with "IMAGE", "SENSORS", "XML" and "OUT" replaced by files in `dir`.
std::vector<std::string> with_files(std::vector<std::string> args, const TempDir& dir) {
    for (std::string& a : args) {
        if (a == "IMAGE") a = dir.write("hub.tfh", fwtest::TwoPart{}.bytes());
        if (a == "ATMEL") a = dir.write("hub.tfh", fwtest::SinglePart{}.bytes());
        if (a == "SENSORS") a = dir.write("s.tfs", fwtest::sensor_image().bytes());
        if (a == "XML") a = dir.write("net.xml", kNetworkFile);
        if (a == "OUT") a = dir.path("out.xml");
    }
    return args;
}

// The last ERROR line of the run.
std::string last_error(const Scenario& s) {
    const auto log = s.log();
    const auto e = std::find_if(log.rbegin(), log.rend(), [](const LogEntry& l) { return l.level == "ERROR"; });
    return e == log.rend() ? "" : e->text;
}

// ---------------------------------------------------------------------------------
// The port busy: another program holds it open (opened without sharing, so
// every open of the tool fails). The tool makes its 20 attempts, one second
// apart, and ends with 6 without a byte sent.

TEST(RobustPortBusy, HeldByAnotherOpenerEndsWithSixAfterTwentyAttempts) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-hinfo"}, "Something went wrong getting HUB info - error-code 6\n"},
        {{"-h", "ATMEL"}, "Something went wrong with HUB firmware-upgrade - error-code 6!!\n"},
        {{"-w", "XML"}, "Network configuration failed - status 6\n"},
        {{"-r", "XML"}, "Something went wrong reading network configuration!! - error-code 6\n"},
        {{"-stest"}, "Something went wrong in the self-test - error-code 6\n"},
        {{"-log"}, "Something went wrong reading LOG-file - error-code 6\n"},
    };
    for (const auto& [words, failure] : cases) {
        SCOPED_TRACE(words[0]);
        TempDir dir;
        const std::vector<std::string> args = with_files(words, dir);
        Scenario s;
        s.attach(fwtest::hub(Kind::TorvaneAtmel));
        const zel::PortHandle held = s.platform.port_create("COM3");  // the other program's handle
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
        ASSERT_FALSE(s.log().empty());
        EXPECT_EQ(s.log().back().level, "ERROR");
        EXPECT_EQ(s.log().back().text, failure);
        // Files given to the run are as they were.
        const std::vector<uint8_t> image = fwtest::SinglePart{}.bytes();
        const std::string given = words.back() == "XML" ? kNetworkFile : std::string(image.begin(), image.end());
        if (words.size() > 1) {
            EXPECT_EQ(read_file(args.back()), given);
        }
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

// The reconnect after a restart request opens the port again; a port that
// stays busy ends the upgrade with 31 and the HUB where it is.
TEST(RobustPortBusy, BusyAfterTheRestartRequestEndsTheUpgradeWithThirtyOne) {
    struct Case {
        std::string name;
        sim::HubConfig hub;
        std::vector<std::string> args;
        int refused;
        int result;
        std::string operation;
    };
    sim::HubConfig legacy_in_boot = fwtest::hub(Kind::TorvaneAtmel, true);
    for (sim::UpgradeSensor& sensor : legacy_in_boot.firmware.sensors) sensor.in_boot = true;
    const std::vector<Case> cases = {
        {"Atmel, free at the last attempt", fwtest::hub(Kind::TorvaneAtmel), {"-h", "ATMEL"}, 19, 0, ""},
        {"Atmel", fwtest::hub(Kind::TorvaneAtmel), {"-h", "ATMEL"}, 20, 31,
         "PerformFWUpgrade::_upgrade_atmel in _requestHUBUpgrade()"},
        {"ST", fwtest::hub(Kind::TorvaneST), {"-h", "IMAGE"}, 100, 31, "PerformFWUpgrade::_upgrade_st in _requestHUBUpgrade()"},
        {"sensors from boot, legacy HUB", legacy_in_boot, {"-sb", "SENSORS"}, 100, 31,
         "PerformFWUpgrade::_upgrade_atmel in _requestHUBBootMsg()"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Scenario s;
        sim::HubConfig config = c.hub;
        config.refuse_opens_after_restart = c.refused;
        s.attach(config);
        EXPECT_EQ(s.run(with_files(c.args, dir)), c.result);
        if (c.result == 0) continue;
        EXPECT_TRUE(s.reported(c.operation, "what(): Virtual serial port not connected \n"));
        EXPECT_EQ(last_error(s), (c.args[0] == "-h" ? "Something went wrong with HUB firmware-upgrade - error-code 31!!\n"
                                                    : "Something went wrong with Sensors firmware-upgrade - error-code 31!!\n"));
        EXPECT_EQ(s.hub().mode(), c.args[0] == "-h" ? sim::Mode::Bootloader : sim::Mode::Firmware);
        EXPECT_EQ(s.hub().requests().size(), 2u);
    }
}

// ---------------------------------------------------------------------------------
// The HUB dropping off the bus for good in the middle of an operation: the
// reads fail from the moment it left, so the tool ends at once with the
// step's result, without waiting out any read limit.

TEST(RobustPortVanishes, InTheMiddleOfEveryOperationTheStepFailsAtOnce) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        int request;  // index of the request after whose echo the HUB leaves
        int result;
        std::string failure;  // the driver's failure line, "" for none
        bool reconnect;       // the request is followed by the 5 s reconnect pause
    };
    const std::vector<Case> cases = {
        {"hub information", {"-hinfo"}, 1, 10, "Something went wrong getting HUB info - error-code 10\n", false},
        {"sensor information", {"-sinfo"}, 1, 72, "Something went wrong reading Sensors information - error-code 72!!\n", false},
        // Request 6 is the carriage return that ends the typed command.
        {"HUB log", {"-log"}, 6, 51, "Something went wrong reading LOG-file - error-code 51\n", false},
        {"read configuration", {"-r", "OUT"}, 1, 20, "Something went wrong reading network configuration!! - error-code 20\n", false},
        {"write configuration", {"-w", "XML"}, 1, 16, "Network configuration failed - status 16\n", false},
        {"scan", {"-rs", "6"}, 1, 0, "", false},
        {"self-test", {"-stest"}, 2, 801, "Something went wrong in the self-test - error-code 801\n", false},
        {"sensor trigger", {"-sfb"}, 1, 0, "", true},
        {"HUB upgrade, chunk 2 of part 0", {"-h", "IMAGE"}, 4, 30,
         "Something went wrong with HUB firmware-upgrade - error-code 30!!\n", false},
        {"HUB upgrade, upgrade request", {"-h", "IMAGE"}, 1, 28,
         "Something went wrong with HUB firmware-upgrade - error-code 28!!\n", true},
        {"sensor upgrade, chunk 3", {"-s", "SENSORS"}, 6, 30,
         "Something went wrong with Sensors firmware-upgrade - error-code 30!!\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Scenario s;
        sim::HubConfig config = fwtest::hub(Kind::TorvaneST);
        config.faults.push_back({c.request, std::nullopt, 0, {Fault::Vanish, 0, 0, 0, -1}});
        s.attach(config);
        EXPECT_EQ(s.run(with_files(c.args, dir)), c.result);
        zel::set_active_platform(nullptr);

        const std::vector<sim::Request>& requests = s.hub().requests();
        EXPECT_EQ(requests.size(), size_t(c.request) + 1) << "nothing reaches a HUB that is gone";
        // After the write: the echo pause (and a reconnect's 5 s); no read
        // waited for bytes that could not come.
        EXPECT_LE(s.platform.now() - requests.back().time, kEchoPause + (c.reconnect ? 5000 * kMs : 0));
        EXPECT_EQ(s.platform.open_handles(), 0u);
        if (c.failure.empty()) {
            for (const std::string& t : s.texts()) EXPECT_FALSE(scenario::starts_with(t, "Something went wrong")) << t;
        } else {
            EXPECT_EQ(last_error(s), c.failure);
        }
        EXPECT_FALSE(fs::exists(dir.path("out.xml")));
        EXPECT_EQ(c.name == "scan", s.platform.out.find("Number of access points found 0\n") != std::string::npos);
    }
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

struct Change {
    std::string name;
    bool before_the_check;  // also tried while the tool connects
    std::function<void(const std::string&)> apply;
};

std::vector<Change> changes() {
    return {
        {"grows by 70000 bytes", true,
         [](const std::string& p) { std::ofstream(p, std::ios::binary | std::ios::app) << std::string(70000, '\xEE'); }},
        {"shrinks to 600 bytes", true, [](const std::string& p) { fs::resize_file(p, 600); }},
        {"removed", true, [](const std::string& p) { fs::remove(p); }},
        {"shrinks to nothing", false, [](const std::string& p) { fs::resize_file(p, 0); }},
        {"rewritten, same size", false,
         [](const std::string& p) {
             std::string t = read_file(p);
             for (char& ch : t) ch = char(~ch);
             scenario::write_file(p, t);
         }},
        {"replaced by another valid image", false,
         [](const std::string& p) {
             fwtest::SinglePart other;
             other.length = 3000;
             other.fw_signature = 0x0BADF00D;
             const std::vector<uint8_t> bytes = other.bytes();
             scenario::write_file(p, std::string(bytes.begin(), bytes.end()));
         }},
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
    fwtest::SinglePart sensors = fwtest::sensor_image();
    auto single = [](const fwtest::SinglePart img, bool hub) {
        return [img, hub](const sim::FirmwareArea& a, const std::vector<uint8_t>& f) {
            fwtest::expect_single_part(hub ? a.hub_parts : a.sensor_parts, img, f);
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

TEST(RobustImageChanges, OnlyTheValidatedImageIsSent) {
    struct When {
        std::string name;
        bool at_probe, every;
    };
    const std::vector<When> whens = {
        {"at the first request", false, false}, {"at every request", false, true}, {"while connecting", true, false}};
    for (const Family& family : families()) {
        for (const Change& change : changes()) {
            for (const When& when : whens) {
                if (when.at_probe && !change.before_the_check) continue;
                SCOPED_TRACE(family.name + ", file " + change.name + " " + when.name);
                TempDir dir;
                ChangingImagePlatform p;
                p.path = dir.write(family.option == "-h" ? "image.tfh" : "image.tfs", family.file);
                p.change = change.apply;
                p.at_probe = when.at_probe;
                p.every = when.every;
                p.attach(fwtest::hub(family.kind, family.legacy));
                // Changed while the tool connects, the file is checked as the
                // tool finds it: appended bytes lie outside the image and
                // change nothing sent; a shrunk or removed file is refused
                // before the HUB gets any request.
                const bool refused = when.at_probe && change.name.rfind("grows", 0) != 0;
                EXPECT_EQ(scenario::run_on(p, {family.option, p.path}), refused ? 25 : 0);
                zel::set_active_platform(nullptr);
                EXPECT_EQ(p.changes >= 2, when.every);
                EXPECT_GE(p.changes, 1);
                const sim::FirmwareArea& area = p.hub().config().firmware;
                if (refused) {
                    EXPECT_EQ(p.hub().requests().size(), 1u);  // the probe only
                    EXPECT_TRUE(area.hub_parts.empty() && area.sensor_parts.empty());
                } else {
                    family.check(area, family.file);
                    EXPECT_TRUE(area.violations.empty()) << area.violations.front();
                }
                EXPECT_EQ(p.open_handles(), 0u);
            }
        }
    }
}

// ---------------------------------------------------------------------------------
// The XML target of -r where the file system says no. Nothing is lost: an
// existing file keeps its bytes, and no temporary file is left beside it.

#ifndef _WIN32

// Runs `-r target` in a forked child after `prepare` (false: the child could
// not set up what it was asked to, exit 77); the exit code and the ERROR lines.
std::pair<int, std::string> run_read_in_child(const std::string& target, const std::function<bool()>& prepare) {
    int fds[2];
    if (::pipe(fds) != 0) return {-1, ""};
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
        (void)!::write(fds[1], report.data(), report.size());
        ::_exit(code);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), report};
}

TEST(RobustXmlTarget, ReadOnlyOrFullPlaceKeepsTheOldFile) {
    const std::string old = "<?xml version=\"1.0\"?>\n<NETWORK><SSID>kept</SSID></NETWORK>\n";
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "full" : "read-only");
        TempDir dir;
        const std::string place = dir.path("place");
        fs::create_directories(place);
        const std::string target = place + "/hub.xml";
        scenario::write_file(target, old);
        fs::permissions(dir.path(""), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(place, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        if (!full && ::geteuid() != 0) fs::permissions(place, fs::perms::owner_write, fs::perm_options::remove);
        const auto [code, report] = run_read_in_child(target, [full] {
            if (full) {
                // Every write beyond 64 bytes fails as on a full disk (EFBIG
                // instead of ENOSPC), without mounting anything.
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{64, 64};
                return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
            }
            // Root writes through permission bits: give up root first.
            return ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
        });
        fs::permissions(place, fs::perms::owner_all, fs::perm_options::add);
        ASSERT_NE(code, 77) << "could not set up the place";
        EXPECT_EQ(code, 14);
        EXPECT_NE(report.find("Unable to write configuration file " + target + ".\n"), std::string::npos) << report;
        EXPECT_NE(report.find("Something went wrong reading network configuration!! - error-code 14\n"), std::string::npos);
        EXPECT_EQ(read_file(target), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(place), fs::directory_iterator()), 1);
    }
}

#endif  // !_WIN32

}  // namespace
