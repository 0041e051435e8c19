#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "scenario.hpp"
#include "src/RunSelfTest.hpp"

namespace {

using scenario::hub;
using scenario::kEchoPause;
using scenario::kMs;
using scenario::request_of;
using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::HubConfig;
using sim::Kind;
using sim::Wait;
using Waits = std::vector<std::pair<Wait::Kind, int64_t>>;

constexpr int64_t kPause = 50000;
constexpr int64_t kWire104 = sim::wire_ticks(104);

constexpr uint32_t kQuilletWords[32] = {
    0x00013A00, 0x00313A00, 0x00293B00, 0x00023A00, 0x00043A00, 0x00063A00, 0x00332A00, 0x00352A00,
    0x00372A00, 0x00083A00, 0x00093A00, 0x00103300, 0x00113A00, 0x00123A00, 0x00133A00, 0x00143A00,
    0x00153700, 0x00163700, 0x00173700, 0x00183700, 0x00193700, 0x00203700, 0x00213700, 0x00223A00,
    0x00233A00, 0x00241300, 0x00253A00, 0x00263800, 0x00273B00, 0x00283900, 0x00323A00, 0x00503000,
};
// The steps whose data is kept: 7-9, 16-23, 28 and 32.
constexpr bool kQuilletKeeps[32] = {false, false, false, false, false, false, true,  true,  true,  false, false,
                                    false, false, false, false, true,  true,  true,  true,  true,  true,  true,
                                    true,  false, false, false, false, true,  false, false, false, true};

std::vector<std::vector<uint8_t>> requests_of(std::initializer_list<uint32_t> words) {
    std::vector<std::vector<uint8_t>> all;
    for (uint32_t w : words) all.push_back(request_of(w));
    return all;
}

FaultRule late_reply(uint32_t word, int64_t ms) { return scenario::on_word(word, {Fault::LateReply, 0, 0, 0, ms}); }

// Runs the command directly (options and the result array in reach), on a
// HUB already connected; everything recorded is split at the end of Connect.
struct SelfTestBench {
    SelfTestBench() { USB_Logger::Discard(); }
    ~SelfTestBench() {
        USB_Logger::Discard();
        zel::set_active_platform(nullptr);
    }

    int32_t run(HubConfig config, const std::function<void(RunSelfTest&)>& setup = {}) {
        s.attach(std::move(config));
        zel::set_active_platform(&s.platform);
        for (TestResult& r : results) {
            r.code = 0x5A5A;
            r.data.fill(0xEE);
        }
        int32_t code = -1;
        {
            RunSelfTest command(results, &step_count);
            EXPECT_EQ(command.Connect(), 0);
            connected_at = s.platform.now();
            first_write = s.writes().size();
            first_wait = s.platform.waits.size();
            first_log = s.log().size();
            if (setup) setup(command);
            code = command.RunCommand();
            all_passed = command.all_passed();
        }
        USB_Logger::Discard();
        return code;
    }

    std::vector<std::vector<uint8_t>> writes() const {
        const auto all = s.writes();
        return {all.begin() + std::ptrdiff_t(first_write), all.end()};
    }
    std::vector<int64_t> write_times() const {
        std::vector<int64_t> times;
        for (const sim::TraceEntry& e : s.platform.trace) {
            if (e.to_hub) times.push_back(e.time);
        }
        return {times.begin() + std::ptrdiff_t(first_write), times.end()};
    }
    Waits waits() const {
        Waits all;
        for (size_t i = first_wait; i < s.platform.waits.size(); ++i) {
            all.emplace_back(s.platform.waits[i].kind, s.platform.waits[i].duration);
        }
        return all;
    }
    // "LEVEL: text" of everything logged by RunCommand and the destructor.
    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        const auto log = s.log();
        for (size_t i = first_log; i < log.size(); ++i) all.push_back(log[i].level + ": " + log[i].text);
        return all;
    }
    sim::SelfTestArea& area() { return s.hub().config().selftest; }
    // The restart requests and the end of safe mode, in the order the HUB received them.
    std::vector<uint32_t> resets() {
        std::vector<uint32_t> words;
        for (const sim::Request& r : s.hub().requests()) {
            if (r.word == 0x00990100 || r.word == 0x00700100 || r.word == 0x00993B00 || r.word == 0x00471A00 ||
                r.word == 0x00511A00) {
                words.push_back(r.word);
            }
        }
        return words;
    }

    Scenario s;
    std::array<TestResult, 32> results{};
    uint32_t step_count = 0;
    bool all_passed = false;
    int64_t connected_at = 0;
    size_t first_write = 0, first_wait = 0, first_log = 0;
};

class SelfTestRun : public ::testing::Test, public SelfTestBench {};

// A step of a Torvane in time: echo pause, then the 5 ms between steps.
const Waits kTorvaneStWaits = {
    {Wait::Sleep, 3000 * kMs}, {Wait::Timer, kEchoPause}, {Wait::Timer, kEchoPause},
    {Wait::Timer, kPause},     {Wait::Timer, kEchoPause}, {Wait::Timer, kPause},
};

TEST_F(SelfTestRun, StTorvaneAllPassing) {
    EXPECT_EQ(run(hub(Kind::TorvaneST)), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "INFO: Running ST-Torvane self-test.\n",
                           "INFO: Running step 1\n",
                           "INFO: Version: v1.2.0\n",
                           "INFO: Running step 2\n",
                           "INFO: Running step 3\n",
                           "INFO: Self-test complete.\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(writes(), requests_of({0x00010100, 0x00241300, 0x00103300}));
    EXPECT_EQ(waits(), kTorvaneStWaits);
    // 3 s after connecting the first step goes out; the next step follows
    // its exchange at once, later steps 5 ms after the one before.
    const std::vector<int64_t> t = write_times();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], connected_at + 3000 * kMs);
    EXPECT_EQ(t[1] - t[0], kWire104 + kEchoPause);
    EXPECT_EQ(t[2] - t[1], kWire104 + kEchoPause + kPause);
    EXPECT_EQ(step_count, 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(results[i].code, 0) << i;
    EXPECT_EQ(results[3].code, 0x5A5A);  // beyond the steps: untouched
    EXPECT_TRUE(all_passed);
    EXPECT_TRUE(resets().empty());
}

TEST_F(SelfTestRun, AtmelTorvaneRunsTwoSteps) {
    EXPECT_EQ(run(hub(Kind::TorvaneAtmel)), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{"INFO: Running Atmel-Torvane self-test.\n", "INFO: Running step 1\n",
                                                 "INFO: Version: v1.1.0\n", "INFO: Running step 2\n",
                                                 "INFO: Self-test complete.\n", "INFO: Closing com port\n"}));
    EXPECT_EQ(writes(), requests_of({0x00010100, 0x00241300}));
    EXPECT_EQ(step_count, 2u);
    EXPECT_EQ(results[1].code, 0);
    EXPECT_EQ(results[2].code, 0x5A5A);
}

// What one run must show: its result, the entries of the result array, the
// restarts, the lines logged, and the steps the HUB ran.
struct Outcome {
    std::string name;
    Kind kind;
    std::function<void(HubConfig&)> set;
    uint32_t stop_on_error;
    int32_t result;
    std::map<int, int32_t> codes;  // by index into the result array
    std::vector<uint32_t> resets;
    std::vector<std::string> lines;
    bool all_lines;  // `lines` are every line logged, else the last ones
    int steps;       // steps the HUB ran, -1: not counted
    int passed;      // all_passed(), -1: not asked
    Waits timing;    // empty: not compared
};

const std::vector<std::string> kStFailedStepTwo = {"INFO: Running ST-Torvane self-test.\n", "INFO: Running step 1\n",
                                                   "INFO: Version: v1.2.0\n", "INFO: Running step 2\n"};
std::vector<std::string> st_lines(std::vector<std::string> middle) {
    std::vector<std::string> all = kStFailedStepTwo;
    all.insert(all.end(), middle.begin(), middle.end());
    for (const char* t : {"INFO: Running step 3\n", "INFO: Self-test complete.\n", "INFO: Closing com port\n"}) all.push_back(t);
    return all;
}
const std::vector<std::string> kBackToBootloader = {"ERROR: Returning to bootloader!\n", "INFO: Closing com port\n",
                                                    "INFO: Opening COM port\n", "INFO: Closing com port\n"};
std::vector<std::string> then_bootloader(std::vector<std::string> first) {
    first.insert(first.end(), kBackToBootloader.begin(), kBackToBootloader.end());
    return first;
}

TEST(SelfTestOutcomes, FailedAndSlowSteps) {
    const uint32_t kQuilletBoot[] = {0x00990100, 0x00471A00};
    const std::vector<uint32_t> to_boot(std::begin(kQuilletBoot), std::end(kQuilletBoot));
    const std::vector<Outcome> cases = {
        {"ST version mismatch", Kind::TorvaneST, [](HubConfig& c) { c.selftest.version = 0x01010000; }, 0, 0,
         {{0, 803}, {1, 0}, {2, 0}}, {},  // later entries cleared, never run
         {"INFO: Running ST-Torvane self-test.\n", "INFO: Running step 1\n", "INFO: Version: v1.1.0\n",
          "ERROR: Self-test incompatible: 16842752 != 16908288\n", "INFO: Closing com port\n"},
         true, 1, -1, {}},
        {"Quillet version mismatch", Kind::Quillet, [](HubConfig& c) { c.selftest.version = 0x01020300; }, 0, 0,
         {{0, 803}}, to_boot,
         then_bootloader({"INFO: Version: v1.2.3\n", "ERROR: Self-test incompatible: 16909056 != 16842752\n"}), false, 1,
         -1, {}},
        {"ST step 1 returns 9", Kind::TorvaneST, [](HubConfig& c) { c.selftest.step(0x00010100).code = 9; }, 0, 9,
         {{0, 9}}, {}, {"ERROR: Connection error step 1\n", "INFO: Closing com port\n"}, false, 1, -1, {}},
        {"Quillet step 1 refused", Kind::Quillet, [](HubConfig& c) { c.selftest.step(0x00013A00).reply_word = 0x4242; }, 0,
         0x4242, {{0, 0x4242}}, to_boot, then_bootloader({"ERROR: Error: 4242\n", "ERROR: Connection error step 1\n"}),
         false, -1, -1, {}},
        {"ST step 2 returns 7", Kind::TorvaneST, [](HubConfig& c) { c.selftest.step(0x00241300).code = 7; }, 0, 0,
         {{1, 7}, {2, 0}}, {}, st_lines({"ERROR: Test error step 2\n", "ERROR: Return code: 7\n"}), true, 3, 0,
         kTorvaneStWaits},
        {"ST step 2 answers another word", Kind::TorvaneST,
         [](HubConfig& c) { c.selftest.step(0x00241300).reply_word = 0x00AB1300; }, 0, 0, {{1, 0x00AB1300}, {2, 0}}, {},
         st_lines({"ERROR: Error: ab1300\n", "ERROR: Connection error step 2\n"}), true, 3, 0, {}},
        // A zero word cannot be passed on as the HUB's status: it would read as success.
        {"ST step 2 answers a zero word", Kind::TorvaneST, [](HubConfig& c) { c.selftest.step(0x00241300).reply_word = 0; },
         0, 801, {{1, 801}}, {0x00471A00}, then_bootloader({"ERROR: Error: 0\n", "ERROR: Connection error step 2\n"}), false, 2,
         -1, {}},
        {"ST, stop on error, step 2 returns 7", Kind::TorvaneST, [](HubConfig& c) { c.selftest.step(0x00241300).code = 7; },
         1, 0, {{1, 7}, {2, 0}}, {0x00471A00}, then_bootloader({"ERROR: Return code: 7\n"}), false, 2, -1, {}},
        {"Quillet, stop on error, step 3 refused", Kind::Quillet,
         [](HubConfig& c) { c.selftest.step(0x00293B00).reply_word = 0x1111; }, 1, 0x1111, {{2, 0x1111}}, to_boot, {},
         false, 3, -1, {}},
        {"Quillet, stop on error, step 4 returns -2", Kind::Quillet,
         [](HubConfig& c) { c.selftest.step(0x00023A00).code = -2; }, 5, 0, {{3, -2}}, to_boot,
         then_bootloader({"ERROR: Test error step 4\n", "ERROR: Return code: -2\n"}), false, 4, -1, {}},
        {"Quillet step 10 returns 3", Kind::Quillet, [](HubConfig& c) { c.selftest.step(0x00083A00).code = 3; }, 0, 0,
         {{9, 3}}, to_boot,  // safe mode is not left
         {"ERROR: Returning to bootloader!\n", "INFO: Closing com port\n", "INFO: Opening COM port\n",
          "INFO: Self-test complete.\n", "INFO: Closing com port\n"},
         false, 32, -1, {}},
        {"Quillet steps 16 and 32 take up to 5 s", Kind::Quillet,
         [](HubConfig& c) { c.faults = {late_reply(0x00143A00, 3000), late_reply(0x00503000, 4500)}; }, 0, 0, {},
         {0x00990100, 0x00511A00, 0x00993B00}, {}, false, 32, 1, {}},
        {"ST step 3 takes up to 5 s", Kind::TorvaneST, [](HubConfig& c) { c.faults = {late_reply(0x00103300, 4500)}; }, 0, 0,
         {{2, 0}}, {}, {}, false, 3, 1, {}},
        {"Quillet step 15 late beyond 1 s", Kind::Quillet, [](HubConfig& c) { c.faults = {late_reply(0x00133A00, 1500)}; },
         0, 801, {{14, 801}}, to_boot, {}, false, 15, -1, {}},
        {"Quillet refuses safe mode", Kind::Quillet, [](HubConfig& c) { c.selftest.step(0x00501A00).reply_word = 0xEE01; },
         0, 0xEE01, {}, {},
         {"INFO: Running Quillets self-test.\n", "INFO: Enabling safe mode\n", "ERROR: Error: ee01\n",
          "INFO: Closing com port\n"},
         true, 0, -1, {{Wait::Timer, kEchoPause}}},
        // No restart after it: the HUB stays in safe mode.
        {"Quillet refuses to leave safe mode", Kind::Quillet,
         [](HubConfig& c) { c.selftest.step(0x00511A00).reply_word = 0x777; }, 0, 0x777, {}, {0x00990100, 0x00511A00}, {}, false, 32,
         -1, {}},
    };
    for (const Outcome& c : cases) {
        SCOPED_TRACE(c.name);
        SelfTestBench b;
        HubConfig config = hub(c.kind);
        c.set(config);
        EXPECT_EQ(b.run(config, [&](RunSelfTest& t) { t.stop_on_error = c.stop_on_error; }), c.result);
        for (const auto& [index, code] : c.codes) EXPECT_EQ(b.results[size_t(index)].code, code) << "entry " << index;
        EXPECT_EQ(b.resets(), c.resets);
        if (c.kind == Kind::Quillet) {
            const bool back = !c.resets.empty() && c.resets.back() == 0x00471A00;
            EXPECT_EQ(b.s.hub().mode(), back ? sim::Mode::Bootloader : sim::Mode::Firmware);
        }
        if (c.resets == std::vector<uint32_t>{0x00990100, 0x00511A00}) {
            EXPECT_TRUE(b.area().safe_mode);
        }
        const std::vector<std::string> l = b.lines();
        if (c.all_lines) {
            EXPECT_EQ(l, c.lines);
        } else {
            EXPECT_EQ(std::vector<std::string>(l.end() - long(std::min(l.size(), c.lines.size())), l.end()), c.lines);
        }
        if (c.steps >= 0) {
            EXPECT_EQ(b.area().steps_run.size(), size_t(c.steps));
        }
        if (c.passed >= 0) {
            EXPECT_EQ(b.all_passed, c.passed == 1);
        }
        if (!c.timing.empty()) {
            EXPECT_EQ(b.waits(), c.timing);
        }
    }
}

TEST_F(SelfTestRun, QuilletAllPassing) {
    EXPECT_EQ(run(hub(Kind::Quillet)), 0);
    std::vector<std::string> want = {
        "INFO: Running Quillets self-test.\n", "INFO: Enabling safe mode\n", "ERROR: System reset\n",
        "INFO: Closing com port\n",           "INFO: Opening COM port\n",   "INFO: Running step 1\n",
        "INFO: Version: v1.1.0\n",
    };
    for (int s = 2; s <= 32; ++s) want.push_back("INFO: Running step " + std::to_string(s) + "\n");
    for (const char* line : {"INFO: Disabling safe mode\n", "ERROR: System reset\n", "INFO: Closing com port\n",
                             "INFO: Opening COM port\n", "INFO: Self-test complete.\n", "INFO: Closing com port\n"}) {
        want.push_back(line);
    }
    EXPECT_EQ(lines(), want);

    std::vector<std::vector<uint8_t>> wire = requests_of({0x00501A00, 0x00990100});
    for (uint32_t w : kQuilletWords) wire.push_back(request_of(w));
    for (uint32_t w : {0x00511A00u, 0x00993B00u}) wire.push_back(request_of(w));
    EXPECT_EQ(writes(), wire);

    // Safe mode, the restart (echo pause, 5 s, 1 s opening), 3 s, the steps,
    // leaving safe mode and the second restart.
    Waits timing = {
        {Wait::Timer, kEchoPause}, {Wait::Timer, kEchoPause}, {Wait::Sleep, 5000 * kMs},
        {Wait::Sleep, 1000 * kMs}, {Wait::Sleep, 3000 * kMs}, {Wait::Timer, kEchoPause},
    };
    for (int s = 2; s <= 32; ++s) {
        timing.push_back({Wait::Timer, kEchoPause});
        timing.push_back({Wait::Timer, kPause});
    }
    for (auto w : Waits{{Wait::Timer, kEchoPause}, {Wait::Timer, kEchoPause}, {Wait::Sleep, 5000 * kMs}, {Wait::Sleep, 1000 * kMs}}) {
        timing.push_back(w);
    }
    EXPECT_EQ(waits(), timing);

    EXPECT_EQ(step_count, 32u);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(results[i].code, 0) << "step " << i + 1;
        const std::array<uint8_t, 96> want_data =
            kQuilletKeeps[i] ? sim::selftest_default_data(kQuilletWords[i]) : std::array<uint8_t, 96>{};
        EXPECT_EQ(results[i].data, want_data) << "step " << i + 1;
    }
    EXPECT_TRUE(all_passed);
    EXPECT_EQ(area().steps_run, std::vector<uint32_t>(std::begin(kQuilletWords), std::end(kQuilletWords)));
    EXPECT_TRUE(area().steps_refused.empty());
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00511A00, 0x00993B00}));
    EXPECT_FALSE(area().safe_mode);
    EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);
}

TEST_F(SelfTestRun, ExchangeFailureInStepFiveEndsTheTest) {
    HubConfig c = hub(Kind::Quillet);
    c.faults.push_back(scenario::on_word(0x00043A00, {Fault::NoReply}));
    EXPECT_EQ(run(c), 801);
    EXPECT_EQ(area().steps_run.size(), 5u);
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    EXPECT_EQ(results[4].code, 801);
    EXPECT_EQ(results[5].code, 0);
    const auto l = lines();
    const size_t at = size_t(std::find(l.begin(), l.end(), "INFO: Running step 5\n") - l.begin());
    ASSERT_LT(at + 5, l.size());
    EXPECT_EQ(l[at + 1], "WARNING: zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 104\n");
    EXPECT_TRUE(scenario::starts_with(
        l[at + 2], "ERROR: USB CDC read/write interface: error calling \"RunSelfTest::_run_test_cmd\" at src/RunSelfTest:"));
    EXPECT_EQ(l[at + 3], "ERROR: what(): read() failed - HUB v2.0.0 with no feedback!\n");
    EXPECT_EQ(l[at + 4], "ERROR: Connection error step 5\n");
    EXPECT_EQ(l[at + 5], "ERROR: Returning to bootloader!\n");
    // The silent reply costs the port's whole read time-out (1050 ms for 104
    // bytes); the bootloader request follows at once, without the 5 ms pause.
    const std::vector<int64_t> t = write_times();
    ASSERT_EQ(t.size(), 2u + 5u + 1u);
    EXPECT_EQ(t[7] - t[6], kWire104 + kEchoPause + 1050 * kMs);
}

TEST_F(SelfTestRun, FirmwareVerifiedStart) {
    HubConfig c = hub(Kind::Quillet);
    c.faults = {late_reply(0x00910100, 1500)};  // within the 2 s this request may take
    EXPECT_EQ(run(c, [](RunSelfTest& t) { t.use_fw_verified = true; }), 0);
    const auto w = writes();
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(std::vector<std::vector<uint8_t>>(w.begin(), w.begin() + 3), requests_of({0x00910100, 0x00700100, 0x00013A00}));
    EXPECT_TRUE(s.hub().requests_with_word(0x00501A00).empty());
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00700100, 0x00511A00, 0x00993B00}));
    EXPECT_EQ(area().steps_run.size(), 32u);
    const auto l = lines();
    EXPECT_EQ(std::vector<std::string>(l.begin(), l.begin() + 3),
              (std::vector<std::string>{"INFO: Running Quillets self-test.\n", "ERROR: Setting firmware verified!\n",
                                        "ERROR: System reset\n"}));
}

TEST_F(SelfTestRun, OtherDeviceTypeSendsNothing) {
    EXPECT_EQ(run(hub(Kind::TorvaneST), [](RunSelfTest& t) { t.device_type = 4; }), 804);
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{"ERROR: The self-test is only available on Quillets and Torvanes.\n",
                                                 "INFO: Closing com port\n"}));
    EXPECT_EQ(step_count, 0u);
    EXPECT_EQ(results[0].code, 0x5A5A);
}

TEST_F(SelfTestRun, SmallResultArrayIsNotOverrun) {
    s.attach(hub(Kind::Quillet));
    zel::set_active_platform(&s.platform);
    std::array<TestResult, 6> storage{};
    for (TestResult& r : storage) r.code = 0x5A5A;
    uint32_t count = 0;
    {
        RunSelfTest command(std::span<TestResult>(storage.data(), 4), &count);
        ASSERT_EQ(command.Connect(), 0);
        EXPECT_EQ(command.RunCommand(), 0);
    }
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(storage[3].code, 0);
    EXPECT_EQ(storage[4].code, 0x5A5A);
    EXPECT_EQ(storage[5].code, 0x5A5A);
    EXPECT_EQ(area().steps_run.size(), 32u);
}

// The driver's branch: the same command behind "-stest", nothing printed beyond the log.
TEST(SelfTestDriver, StTorvaneInProcess) {
    Scenario s;
    s.attach(hub(Kind::TorvaneST));
    EXPECT_EQ(s.run({"-stest"}), 0);
    zel::set_active_platform(nullptr);
    EXPECT_EQ(s.texts().front(), "Creating object RunSelfTest\n");
    EXPECT_EQ(s.texts().back(), "Closing com port\n");
    std::string all;
    for (const auto& e : s.log()) all += e.text;
    EXPECT_EQ(s.platform.out, all);
    EXPECT_EQ(s.hub().config().selftest.steps_run.size(), 3u);
    EXPECT_EQ(s.platform.open_handles(), 0u);
}

}  // namespace
