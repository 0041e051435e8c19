// The real binary against zel_hub_sim on pseudo-terminals, for what only the
// operating system shows: discovery through the device tree with several
// HUBs, a reader that goes away, and a signal among the chunks. (Two runs and
// one HUB, and the fast timing's patience, are the scenario tests': the
// lock itself is Files.AHubLockHoldsUntilLetGoAndNamesItsHolder.)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/support.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A child process with its standard output on a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;

    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd) {
        std::vector<char*> args, envp;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        args.push_back(nullptr);
        envp.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            // As a shell would start it: a test run from `nohup ... &` ignores
            // SIGINT, and the tool rightly keeps an ignored SIGINT ignored.
            for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::chdir(cwd.c_str()) == 0) ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out = fds[0];
    }
    ~Child() {
        if (out >= 0) ::close(out);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Standard output until it closes, or until `stop` says enough.
    std::string read_all(double timeout_s, const std::function<bool(const std::string&)>& stop = {}) {
        std::string text;
        for (const auto start = Clock::now(); seconds_since(start) < timeout_s && !(stop && stop(text));) {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, size_t(n));
        }
        return text;
    }
    int wait(double timeout_s) {
        for (const auto start = Clock::now(); seconds_since(start) < timeout_s;) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
};

// zel_hub_sim with its HUBs, and a working folder for the tool.
class Stand : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& hubs) {
        char pattern[] = "/tmp/zelXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "work");
        // The build folder's name may hold a space; the temporary folder's does not.
        std::vector<std::string> argv = t::words("--dir " + (dir_ / "hub").string() + " --trace " +
                                                 (dir_ / "trace.txt").string() + " --exit-after-idle 60");
        argv.insert(argv.begin(), std::string(ZEL_BIN_DIR) + "/zel_hub_sim");
        argv.insert(argv.end(), hubs.begin(), hubs.end());
        sim_ = std::make_unique<Child>(argv, std::vector<std::string>{"PATH=/usr/bin:/bin"}, dir_.string());
        const std::string lines =
            sim_->read_all(10, [](const std::string& t) { return std::count(t.begin(), t.end(), '\n') >= 2; });
        for (const std::string key : {"ZEL_SYSFS_ROOT=", "ZEL_DEV_ROOT="}) {
            const size_t at = lines.find(key);
            ASSERT_NE(at, std::string::npos) << lines;
            env_.push_back(lines.substr(at, lines.find('\n', at) - at));
        }
    }
    void TearDown() override {
        sim_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::unique_ptr<Child> tool(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}) {
        std::vector<std::string> argv{std::string(ZEL_BIN_DIR) + "/zel_usb_interface"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = env_;
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        return std::make_unique<Child>(argv, env, (dir_ / "work").string());
    }
    std::string log() {
        for (const auto& entry : fs::directory_iterator(dir_ / "work")) {
            if (entry.path().filename().string().rfind("zel_USB_Logger_", 0) == 0) return t::read_text(entry.path());
        }
        return {};
    }
    fs::path dir_;
    std::vector<std::string> env_;
    std::unique_ptr<Child> sim_;
};

TEST_F(Stand, TwoHubsTheChosenOneComesBackUnderAnotherNameAndTheOtherHearsNothing) {
    const fs::path scenario = "/tmp/zel-e2e-renamed-" + std::to_string(::getpid()) + ".txt";
    std::ofstream(scenario) << "port_name_after_reset = ttyACM7\nsensor_trigger_drops = yes\n";
    start({"--kind", "st", "--hub", "--kind", "quillet", "--scenario", scenario.string()});
    // The listing names both and opens neither.
    const auto list = tool({"-list"});
    const std::string listed = list->read_all(10);
    EXPECT_EQ(list->wait(5), 0);
    for (const std::string row : {"ttyACM0\tTorvane (ST)\tUSB location 1-1", "ttyACM1\tQuillet\tUSB location 1-2"})
        EXPECT_NE(listed.find((dir_ / "hub/dev/").string() + row), std::string::npos) << listed;
    const auto run = tool({"-sfb"}, {"ZEL_PORT=" + (dir_ / "hub/dev/ttyACM1").string()});
    const std::string out = run->read_all(30);
    EXPECT_EQ(run->wait(5), 0) << out;
    fs::remove(scenario);
    EXPECT_NE(out.find("Closing com port\nOpening COM port\nTrigger to bootloader command sent!\r\n"),
              std::string::npos)
        << out;
    // Every byte the stand-in got went to the Quillet (the second HUB, at 1-2).
    const std::string trace = t::read_text(dir_ / "trace.txt");
    EXPECT_NE(trace.find("[1-2] ** on the bus as ttyACM7"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("[1-1] ** opened"), std::string::npos);  // neither the listing nor the run opened it
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.find(" -> ") == std::string::npos || line.find(" [1-2] ") != std::string::npos) << line;
    }
}

TEST_F(Stand, AReaderThatGoesAwayEndsNothingAndTheLogIsWhole) {
    start({});
    auto run = tool({"-hinfo"});
    EXPECT_EQ(run->read_all(10, [](const std::string& t) { return !t.empty(); }).substr(0, 1), "t");
    ::close(run->out);  // the reader is gone: `zel_usb_interface -hinfo | head -c 1`
    run->out = -1;
    EXPECT_EQ(run->wait(10), 0);
    const std::string file = log();
    EXPECT_NE(file.find("] INFO: Closing com port\n"), std::string::npos) << file;
    EXPECT_NE(file.find("] INFO: \tWIFI API version"), std::string::npos) << file;
}

TEST_F(Stand, SigintDuringTheChunksEndsTheRunWithinASecond) {
    start({"--kind", "st"});
    t::TwoPart image;
    image.length_a = 400000;  // about 800 chunks: long enough to be interrupted among them
    const t::Bytes bytes = image.bytes();
    std::ofstream(dir_ / "work/hub.tfh", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    auto run = tool({"-h", "hub.tfh"});
    std::string out =
        run->read_all(30, [](const std::string& t) { return t.find("data signature") != std::string::npos; });
    // Into the chunks: the stand-in's trace shows the first one.
    for (const auto start = Clock::now();
         seconds_since(start) < 20 && t::read_text(dir_ / "trace.txt").find("-> 536 00 01 72 00") == std::string::npos;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(run->pid, 0);
    ::kill(run->pid, SIGINT);
    const auto signalled = Clock::now();
    out += run->read_all(5);
    EXPECT_EQ(run->wait(5), 130) << out;
    EXPECT_LT(seconds_since(signalled), 1.0);
    EXPECT_NE(out.find("Interrupted (SIGINT) while sending firmware chunk "), std::string::npos) << out;
    EXPECT_NE(out.find(". The HUB stays in its bootloader: run -h with the same image file again to complete the "
                       "upgrade.\n"),
              std::string::npos);
    EXPECT_TRUE(out.ends_with("Closing com port\n")) << out;
}

}  // namespace
