// Faults of the machine, end to end: the real zel_usb_interface against
// zel_hub_sim on a pseudo-terminal, in real time. The port held by another
// process (once for the whole 20 attempts, once freed while the tool
// retries), the HUB dropping off the bus in the middle of -hinfo and -log,
// and a working directory in which the log file cannot be written.
#ifndef _WIN32

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "log/USB_Logger.hpp"
#include "tests/e2e_support.hpp"

namespace {

namespace fs = std::filesystem;
using e2e::HubSim;
using e2e::LogEntry;
using e2e::ToolRun;

bool has(const std::vector<LogEntry>& log, const std::string& level, const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const LogEntry& e) { return e.level == level && e.text == text; });
}

bool has_prefix(const std::vector<LogEntry>& log, const std::string& level, const std::string& prefix) {
    return std::any_of(log.begin(), log.end(),
                       [&](const LogEntry& e) { return e.level == level && e.text.rfind(prefix, 0) == 0; });
}

// The reporter's two lines for `operation`, one after the other.
bool reported(const std::vector<LogEntry>& log, const std::string& operation, const std::string& detail) {
    const std::string head = "USB CDC read/write interface: error calling \"" + operation + "\" at src/";
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].text.rfind(head, 0) == 0 && log[i + 1].text == detail) return true;
    }
    return false;
}

bool traced(const HubSim& sim, const std::string& start) {
    for (const e2e::TraceLine& t : sim.trace()) {
        if (t.tag == "**" && t.text.rfind(start, 0) == 0) return true;
    }
    return false;
}

// Holds the HUB's port the way the tool itself opens it: an exclusive lock.
class PortHolder {
public:
    explicit PortHolder(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) release();
    }
    ~PortHolder() { release(); }
    bool holding() const { return fd_ >= 0; }
    void release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

TEST(RobustE2EPortBusy, HeldByAnotherProcessEndsWithSixAfterTwentyAttempts) {
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const std::string port = sim.dev_root() + "/ttyACM0";
    PortHolder other(port);
    ASSERT_TRUE(other.holding());
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim, 60);
    other.release();

    EXPECT_EQ(run.exit_code, 6) << run.out;
    // 20 attempts, each followed by its second.
    EXPECT_GE(run.seconds, 19.9);
    EXPECT_LT(run.seconds, 30.0);
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(has(log, "ERROR", "CDC-interface: Failed to create a reference file for " + port + "!!\n")) << run.log;
    EXPECT_TRUE(has(log, "ERROR", "CDC-interface: Virtual-serial port '" + port + "' no detected!\n"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().text, "Something went wrong getting HUB info - error-code 6\n");
    EXPECT_NE(run.out.find("Something went wrong getting HUB info - error-code 6\n"), std::string::npos);
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_TRUE(e2e::trace_bytes(sim.trace(), "->").empty());  // not a byte reached the HUB
}

TEST(RobustE2EPortBusy, FreedWhileTheToolRetriesTheRunGoesOn) {
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    PortHolder other(sim.dev_root() + "/ttyACM0");
    ASSERT_TRUE(other.holding());
    std::thread releaser([&other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        other.release();
    });
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim, 60);
    releaser.join();

    EXPECT_EQ(run.exit_code, 0) << run.out;
    // Three or four refused attempts, then the open and its second.
    EXPECT_GE(run.seconds, 3.0);
    EXPECT_LT(run.seconds, 10.0);
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_FALSE(has_prefix(log, "ERROR", ""));
    EXPECT_NE(run.out.find("Unique ID number for HUB is: \n"), std::string::npos);
}

// --- the HUB dropping off the bus in the middle of an operation -----------------

TEST(RobustE2EVanish, HubDropsOffDuringHubInformation) {
    // After echoing the request the HUB leaves for good: the echo never
    // leaves it, and the open handle is hung up.
    HubSim sim({}, "fault = word:0x00630100 type:vanish delay_ms:forever\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-hinfo"}, sim, 60);

    EXPECT_EQ(run.exit_code, 10) << run.out;
    EXPECT_LT(run.seconds, 5.0);  // the opening's second, then failures only
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(reported(log, "GetHUBInformation::RunCommand", "what(): read() failed - unexpected amount of bytes\n"))
        << run.log;
    EXPECT_TRUE(has(log, "ERROR", "Something went wrong getting HUB info - error-code 10\n"));
    EXPECT_EQ(run.out.find("Unique ID number"), std::string::npos);
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_TRUE(traced(sim, "off the bus")) << sim.trace_text();
}

TEST(RobustE2EVanish, HubDropsOffDuringTheLogCommand) {
    // Request 6 is the carriage return that ends the typed "? log".
    HubSim sim({}, "fault = index:6 type:vanish delay_ms:forever\n");
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const ToolRun run = e2e::run_tool({"-log"}, sim, 60);

    EXPECT_EQ(run.exit_code, 51) << run.out;
    EXPECT_LT(run.seconds, 5.0);
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(has_prefix(log, "ERROR", "GetHUBLogFile::RunCommand: error -1 at src/GetHUBLogFile:")) << run.log;
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(has(log, "ERROR", "Something went wrong reading LOG-file - error-code 51\n"));
    EXPECT_FALSE(has_prefix(log, "INFO", "LOG-file: "));
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_TRUE(traced(sim, "off the bus")) << sim.trace_text();
}

// --- the log file cannot be written ------------------------------------------------

// Runs the tool in `work`, optionally as the unprivileged user 65534.
ToolRun run_in(const std::string& work, const std::vector<std::string>& args, const HubSim& sim, bool as_nobody) {
    ToolRun run;
    std::vector<std::string> argv{e2e::bin("zel_usb_interface")};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> env =
        e2e::environment({"ZEL_SYSFS_ROOT=" + sim.sysfs_root(), "ZEL_DEV_ROOT=" + sim.dev_root()});
    std::vector<char*> a, e;
    for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    for (const std::string& s : env) e.push_back(const_cast<char*>(s.c_str()));
    e.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return run;
    const auto start = e2e::Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        if (::chdir(work.c_str()) != 0) ::_exit(126);
        if (as_nobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(125);
        ::execve(a[0], a.data(), e.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, size_t(n));
    ::close(fds[0]);
    run.exit_code = e2e::wait_child(pid, 60);
    run.seconds = std::chrono::duration<double>(e2e::Clock::now() - start).count();
    return run;
}

std::string log_name_for(std::chrono::system_clock::time_point t) {
    const int64_t ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() / 100;
    return logrules::log_file_name(logrules::breakdown_utc(ticks));
}

void expect_report_on_the_console(const ToolRun& run) {
    EXPECT_EQ(run.exit_code, 0) << run.out;
    for (const char* text : {"torvane_com_device_class version: 2.0.2+45\n", "Creating object GetHUBInformation\n",
                             "HUB version 2.0.0 or higher!!\n", "Unique ID number for HUB is: \n", "Closing com port\n"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
}

TEST(RobustE2ELogFile, NameTakenByADirectoryTheToolStillRunsAndReports) {
    // Root writes anywhere; a directory where the log file would go stops
    // it all the same. One for each day the run might start on.
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    e2e::TempDir temp;
    const std::string work = temp.path() + "/work";
    const auto now = std::chrono::system_clock::now();
    std::vector<std::string> names;
    for (int day : {-1, 0, 1}) names.push_back(log_name_for(now + std::chrono::hours(24 * day)));
    for (const std::string& n : names) fs::create_directories(work + "/" + n);

    const ToolRun run = run_in(work, {"-hinfo"}, sim, false);
    expect_report_on_the_console(run);
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(work)) {
        ++entries;
        EXPECT_TRUE(entry.is_directory()) << entry.path();
        EXPECT_TRUE(fs::is_empty(entry.path())) << entry.path();
    }
    EXPECT_EQ(entries, names.size());
}

TEST(RobustE2ELogFile, ReadOnlyWorkingDirectoryTheToolStillRunsAndReports) {
    // The tool runs as an unprivileged user in a directory it cannot write;
    // the stand-in's tree and terminal are opened to that user for the run.
    HubSim sim;
    ASSERT_TRUE(sim.started()) << sim.stderr_text();
    const bool root = ::geteuid() == 0;
    const fs::perms open_dir = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec;
    std::error_code ec;
    if (root) {
        fs::permissions(sim.temp(), open_dir, ec);
        const fs::path terminal = fs::canonical(sim.dev_root() + "/ttyACM0", ec);
        ASSERT_FALSE(ec);
        ::chmod(terminal.c_str(), 0666);
    }
    e2e::TempDir temp;
    const std::string work = temp.path() + "/work";
    fs::create_directories(work);
    fs::permissions(temp.path(), open_dir, ec);
    fs::permissions(work, open_dir & ~fs::perms::owner_write, ec);

    const ToolRun run = run_in(work, {"-hinfo"}, sim, root);
    fs::permissions(work, fs::perms::owner_write, fs::perm_options::add, ec);
    ASSERT_NE(run.exit_code, 125) << "could not give up root";
    expect_report_on_the_console(run);
    EXPECT_TRUE(fs::is_empty(work));
}

// --- the exit code on a system that keeps only its low 8 bits -----------------------

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
    const std::vector<LogEntry> log = e2e::parse_log(run.log);
    EXPECT_TRUE(has(log, "ERROR", "Network configuration failed - status 256\n")) << run.log;
    EXPECT_EQ(run.exit_code, 255);  // out of the 8-bit range: 255, never 0
}

}  // namespace

#endif  // !_WIN32
