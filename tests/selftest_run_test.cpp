#include <gtest/gtest.h>

#include <functional>

#include "scenario.hpp"
#include "src/RunSelfTest.hpp"

namespace {

using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::HubConfig;
using sim::Kind;
using sim::Wait;

constexpr int64_t kMs = sim::kTicksPerMs;
constexpr int64_t kEcho = 163200;
constexpr int64_t kPause = 50000;
constexpr int64_t kWire104 = sim::wire_ticks(104);

constexpr uint32_t kQuilletWords[32] = {
    0x00013A00, 0x00313A00, 0x00293B00, 0x00023A00, 0x00043A00, 0x00063A00, 0x00332A00, 0x00352A00,
    0x00372A00, 0x00083A00, 0x00093A00, 0x00103300, 0x00113A00, 0x00123A00, 0x00133A00, 0x00143A00,
    0x00153700, 0x00163700, 0x00173700, 0x00183700, 0x00193700, 0x00203700, 0x00213700, 0x00223A00,
    0x00233A00, 0x00241300, 0x00253A00, 0x00263800, 0x00273B00, 0x00283900, 0x00323A00, 0x00503000,
};
constexpr bool kQuilletKeeps[32] = {false, false, false, false, false, false, true,  true,  true,  false, false,
                                    false, false, false, false, true,  true,  true,  true,  true,  true,  true,
                                    true,  false, false, false, false, true,  false, false, false, true};

HubConfig hub_of(Kind kind) {
    HubConfig c;
    c.kind = kind;
    return c;
}

std::vector<uint8_t> request_of(uint32_t word) {
    std::vector<uint8_t> r(104, 0);
    put_le32(r.data(), word);
    return r;
}

std::vector<std::vector<uint8_t>> requests_of(std::initializer_list<uint32_t> words) {
    std::vector<std::vector<uint8_t>> all;
    for (uint32_t w : words) all.push_back(request_of(w));
    return all;
}

// Runs the command directly (options and the result array in reach), on a
// HUB already connected; everything recorded is split at the end of Connect.
class SelfTestRun : public ::testing::Test {
protected:
    void SetUp() override { USB_Logger::Discard(); }
    void TearDown() override {
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
    std::vector<std::pair<Wait::Kind, int64_t>> waits() const {
        std::vector<std::pair<Wait::Kind, int64_t>> all;
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
    // The restart requests the HUB received, in order.
    std::vector<uint32_t> resets() {
        std::vector<uint32_t> words;
        for (const sim::Request& r : s.hub().requests()) {
            if (r.word == 0x00990100 || r.word == 0x00700100 || r.word == 0x00993B00 || r.word == 0x00471A00) {
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

// A step of a Torvane in time: echo pause, then the 5 ms between steps.
const std::vector<std::pair<Wait::Kind, int64_t>> kTorvaneStWaits = {
    {Wait::Sleep, 3000 * kMs}, {Wait::Timer, kEcho}, {Wait::Timer, kEcho},
    {Wait::Timer, kPause},     {Wait::Timer, kEcho}, {Wait::Timer, kPause},
};

TEST_F(SelfTestRun, StTorvaneAllPassing) {
    EXPECT_EQ(run(hub_of(Kind::TorvaneST)), 0);
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
    EXPECT_EQ(t[1] - t[0], kWire104 + kEcho);
    EXPECT_EQ(t[2] - t[1], kWire104 + kEcho + kPause);
    EXPECT_EQ(step_count, 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(results[i].code, 0) << i;
    EXPECT_EQ(results[3].code, 0x5A5A);  // beyond the steps: untouched
    EXPECT_TRUE(all_passed);
    EXPECT_EQ(area().steps_run, (std::vector<uint32_t>{0x00010100, 0x00241300, 0x00103300}));
    EXPECT_TRUE(resets().empty());
}

TEST_F(SelfTestRun, AtmelTorvaneRunsTwoSteps) {
    EXPECT_EQ(run(hub_of(Kind::TorvaneAtmel)), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "INFO: Running Atmel-Torvane self-test.\n",
                           "INFO: Running step 1\n",
                           "INFO: Version: v1.1.0\n",
                           "INFO: Running step 2\n",
                           "INFO: Self-test complete.\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(writes(), requests_of({0x00010100, 0x00241300}));
    EXPECT_EQ(step_count, 2u);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_EQ(results[1].code, 0);
    EXPECT_EQ(results[2].code, 0x5A5A);
}

TEST_F(SelfTestRun, IncompatibleVersionStopsAfterStepOne) {
    HubConfig c = hub_of(Kind::TorvaneST);
    c.selftest.version = 0x01010000;
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "INFO: Running ST-Torvane self-test.\n",
                           "INFO: Running step 1\n",
                           "INFO: Version: v1.1.0\n",
                           "ERROR: Self-test incompatible: 16842752 != 16908288\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(writes(), requests_of({0x00010100}));
    EXPECT_EQ(results[0].code, 803);
    EXPECT_EQ(results[1].code, 0);  // cleared, never run
    EXPECT_EQ(results[2].code, 0);
}

TEST_F(SelfTestRun, IncompatibleVersionSendsQuilletToBootloader) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.version = 0x01020300;
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(results[0].code, 803);
    EXPECT_EQ(area().steps_run, (std::vector<uint32_t>{0x00013A00}));
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    EXPECT_EQ(s.hub().mode(), sim::Mode::Bootloader);
    const auto l = lines();
    const std::vector<std::string> tail(l.end() - 6, l.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "INFO: Version: v1.2.3\n",
                        "ERROR: Self-test incompatible: 16909056 != 16842752\n",
                        "ERROR: Returning to bootloader!\n",
                        "INFO: Closing com port\n",
                        "INFO: Opening COM port\n",
                        "INFO: Closing com port\n",
                    }));
}

TEST_F(SelfTestRun, StepOneFailureIsReturned) {
    // A nonzero return code of the version step, and a refusal of it.
    HubConfig c = hub_of(Kind::TorvaneST);
    c.selftest.step(0x00010100).code = 9;
    EXPECT_EQ(run(c), 9);
    EXPECT_EQ(results[0].code, 9);
    EXPECT_EQ(writes().size(), 1u);
    const auto l = lines();
    EXPECT_EQ(l[l.size() - 2], "ERROR: Connection error step 1\n");
}

TEST_F(SelfTestRun, StepOneRefusedOnQuilletGoesToBootloader) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.step(0x00013A00).reply_word = 0x00004242;
    EXPECT_EQ(run(c), 0x4242);
    EXPECT_EQ(results[0].code, 0x4242);
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    const auto l = lines();
    EXPECT_NE(std::find(l.begin(), l.end(), "ERROR: Error: 4242\n"), l.end());
    EXPECT_NE(std::find(l.begin(), l.end(), "ERROR: Connection error step 1\n"), l.end());
}

TEST_F(SelfTestRun, FailedReturnCodeIsLoggedAndTestGoesOn) {
    HubConfig c = hub_of(Kind::TorvaneST);
    c.selftest.step(0x00241300).code = 7;
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "INFO: Running ST-Torvane self-test.\n",
                           "INFO: Running step 1\n",
                           "INFO: Version: v1.2.0\n",
                           "INFO: Running step 2\n",
                           "ERROR: Test error step 2\n",
                           "ERROR: Return code: 7\n",
                           "INFO: Running step 3\n",
                           "INFO: Self-test complete.\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(writes().size(), 3u);
    EXPECT_EQ(waits(), kTorvaneStWaits);
    EXPECT_EQ(results[1].code, 7);
    EXPECT_EQ(results[2].code, 0);
    EXPECT_FALSE(all_passed);
}

TEST_F(SelfTestRun, OtherReplyWordIsLoggedAndTestGoesOn) {
    HubConfig c = hub_of(Kind::TorvaneST);
    c.selftest.step(0x00241300).reply_word = 0x00AB1300;
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "INFO: Running ST-Torvane self-test.\n",
                           "INFO: Running step 1\n",
                           "INFO: Version: v1.2.0\n",
                           "INFO: Running step 2\n",
                           "ERROR: Error: ab1300\n",
                           "ERROR: Connection error step 2\n",
                           "INFO: Running step 3\n",
                           "INFO: Self-test complete.\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(results[1].code, 0x00AB1300);
    EXPECT_EQ(results[2].code, 0);
    EXPECT_FALSE(all_passed);
}

TEST_F(SelfTestRun, ZeroReplyWordCountsAsFailedExchange) {
    // A zero word cannot be passed on as the HUB's status: it would read as success.
    HubConfig c = hub_of(Kind::TorvaneST);
    c.selftest.step(0x00241300).reply_word = 0;
    EXPECT_EQ(run(c), 801);
    EXPECT_EQ(results[1].code, 801);
    EXPECT_EQ(writes(), requests_of({0x00010100, 0x00241300, 0x00471A00}));  // then back to the bootloader
    const auto l = lines();
    EXPECT_NE(std::find(l.begin(), l.end(), "ERROR: Error: 0\n"), l.end());
}

TEST_F(SelfTestRun, StopOnErrorStopsAtFirstFailedStep) {
    HubConfig c = hub_of(Kind::TorvaneST);
    c.selftest.step(0x00241300).code = 7;
    EXPECT_EQ(run(c, [](RunSelfTest& t) { t.stop_on_error = 1; }), 0);
    EXPECT_EQ(writes(), requests_of({0x00010100, 0x00241300, 0x00471A00}));
    const auto l = lines();
    const auto at = std::find(l.begin(), l.end(), "ERROR: Return code: 7\n");
    ASSERT_NE(at, l.end());
    EXPECT_EQ(*(at + 1), "ERROR: Returning to bootloader!\n");
    EXPECT_EQ(results[1].code, 7);
    EXPECT_EQ(results[2].code, 0);
}

TEST_F(SelfTestRun, StopOnErrorReturnsRefusalWordAndSendsQuilletToBootloader) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.step(0x00293B00).reply_word = 0x00001111;
    EXPECT_EQ(run(c, [](RunSelfTest& t) { t.stop_on_error = 1; }), 0x1111);
    EXPECT_EQ(area().steps_run, (std::vector<uint32_t>{0x00013A00, 0x00313A00, 0x00293B00}));
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    EXPECT_EQ(s.hub().mode(), sim::Mode::Bootloader);
    EXPECT_EQ(results[2].code, 0x1111);
}

TEST_F(SelfTestRun, StopOnErrorWithFailedQuilletStepReturnsZero) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.step(0x00023A00).code = -2;
    EXPECT_EQ(run(c, [](RunSelfTest& t) { t.stop_on_error = 5; }), 0);
    EXPECT_EQ(area().steps_run.size(), 4u);
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    EXPECT_EQ(results[3].code, -2);
    const auto l = lines();
    const std::vector<std::string> tail(l.end() - 6, l.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "ERROR: Test error step 4\n",
                        "ERROR: Return code: -2\n",
                        "ERROR: Returning to bootloader!\n",
                        "INFO: Closing com port\n",
                        "INFO: Opening COM port\n",
                        "INFO: Closing com port\n",
                    }));
}

TEST_F(SelfTestRun, QuilletAllPassing) {
    EXPECT_EQ(run(hub_of(Kind::Quillet)), 0);
    std::vector<std::string> want = {
        "INFO: Running Quillets self-test.\n",
        "INFO: Enabling safe mode\n",
        "ERROR: System reset\n",
        "INFO: Closing com port\n",
        "INFO: Opening COM port\n",
        "INFO: Running step 1\n",
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
    std::vector<std::pair<Wait::Kind, int64_t>> timing = {
        {Wait::Timer, kEcho},      {Wait::Timer, kEcho}, {Wait::Sleep, 5000 * kMs},
        {Wait::Sleep, 1000 * kMs}, {Wait::Sleep, 3000 * kMs}, {Wait::Timer, kEcho},
    };
    for (int s = 2; s <= 32; ++s) {
        timing.push_back({Wait::Timer, kEcho});
        timing.push_back({Wait::Timer, kPause});
    }
    for (auto w : std::vector<std::pair<Wait::Kind, int64_t>>{
             {Wait::Timer, kEcho}, {Wait::Timer, kEcho}, {Wait::Sleep, 5000 * kMs}, {Wait::Sleep, 1000 * kMs}}) {
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
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00993B00}));
    EXPECT_FALSE(area().safe_mode);
    EXPECT_EQ(s.hub().mode(), sim::Mode::Firmware);
}

TEST_F(SelfTestRun, QuilletWithFailedStepReturnsToBootloader) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.step(0x00083A00).code = 3;  // step 10
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(area().steps_run.size(), 32u);
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    EXPECT_TRUE(s.hub().requests_with_word(0x00511A00).empty());  // safe mode is not left
    EXPECT_EQ(s.hub().mode(), sim::Mode::Bootloader);
    EXPECT_EQ(results[9].code, 3);
    EXPECT_EQ(writes().back(), request_of(0x00471A00));
    const auto l = lines();
    const std::vector<std::string> tail(l.end() - 5, l.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "ERROR: Returning to bootloader!\n",
                        "INFO: Closing com port\n",
                        "INFO: Opening COM port\n",
                        "INFO: Self-test complete.\n",
                        "INFO: Closing com port\n",
                    }));
}

TEST_F(SelfTestRun, ExchangeFailureInStepFiveEndsTheTest) {
    HubConfig c = hub_of(Kind::Quillet);
    FaultRule rule;
    rule.word = 0x00043A00;
    rule.fault.type = Fault::NoReply;
    c.faults.push_back(rule);
    EXPECT_EQ(run(c), 801);
    EXPECT_EQ(area().steps_run.size(), 5u);
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100, 0x00471A00}));
    EXPECT_EQ(results[4].code, 801);
    EXPECT_EQ(results[5].code, 0);
    const auto l = lines();
    const size_t at = size_t(std::find(l.begin(), l.end(), "INFO: Running step 5\n") - l.begin());
    ASSERT_LT(at + 5, l.size());
    EXPECT_EQ(l[at + 1], "WARNING: zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 104\n");
    EXPECT_EQ(l[at + 2].rfind("ERROR: USB CDC read/write interface: error calling \"RunSelfTest::_run_test_cmd\" at "
                              "src/RunSelfTest:",
                              0),
              0u);
    EXPECT_EQ(l[at + 3], "ERROR: what(): read() failed - HUB v2.0.0 with no feedback!\n");
    EXPECT_EQ(l[at + 4], "ERROR: Connection error step 5\n");
    EXPECT_EQ(l[at + 5], "ERROR: Returning to bootloader!\n");
    // The silent reply costs the port's whole read time-out (1050 ms for 104
    // bytes); the bootloader request follows at once, without the 5 ms pause.
    const std::vector<int64_t> t = write_times();
    ASSERT_EQ(t.size(), 2u + 5u + 1u);
    EXPECT_EQ(t[7] - t[6], kWire104 + kEcho + 1050 * kMs);
}

FaultRule late_reply(uint32_t word, int64_t ms) {
    FaultRule rule;
    rule.word = word;
    rule.fault.type = Fault::LateReply;
    rule.fault.delay_ms = ms;
    return rule;
}

TEST_F(SelfTestRun, LongStepsMayTakeFiveSeconds) {
    HubConfig c = hub_of(Kind::Quillet);
    c.faults = {late_reply(0x00143A00, 3000), late_reply(0x00503000, 4500)};  // steps 16 and 32
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(area().steps_run.size(), 32u);
    EXPECT_TRUE(all_passed);
}

TEST_F(SelfTestRun, StTorvaneStepThreeMayTakeFiveSeconds) {
    HubConfig c = hub_of(Kind::TorvaneST);
    c.faults = {late_reply(0x00103300, 4500)};
    EXPECT_EQ(run(c), 0);
    EXPECT_EQ(results[2].code, 0);
    EXPECT_TRUE(all_passed);
}

TEST_F(SelfTestRun, LateReplyBeyondOneSecondFails) {
    HubConfig c = hub_of(Kind::Quillet);
    c.faults = {late_reply(0x00133A00, 1500)};  // step 15
    EXPECT_EQ(run(c), 801);
    EXPECT_EQ(results[14].code, 801);
    EXPECT_EQ(resets().back(), 0x00471A00u);
}

TEST_F(SelfTestRun, FirmwareVerifiedStart) {
    HubConfig c = hub_of(Kind::Quillet);
    c.faults = {late_reply(0x00910100, 1500)};  // within the 2 s this request may take
    EXPECT_EQ(run(c, [](RunSelfTest& t) { t.use_fw_verified = true; }), 0);
    const auto w = writes();
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(w[0], request_of(0x00910100));
    EXPECT_EQ(w[1], request_of(0x00700100));
    EXPECT_EQ(w[2], request_of(0x00013A00));
    EXPECT_TRUE(s.hub().requests_with_word(0x00501A00).empty());
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00700100, 0x00993B00}));
    EXPECT_EQ(area().steps_run.size(), 32u);
    const auto l = lines();
    EXPECT_EQ(std::vector<std::string>(l.begin(), l.begin() + 3),
              (std::vector<std::string>{"INFO: Running Quillets self-test.\n", "ERROR: Setting firmware verified!\n",
                                        "ERROR: System reset\n"}));
}

TEST_F(SelfTestRun, RefusedSafeModeEndsBeforeAnyStep) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.step(0x00501A00).reply_word = 0x0000EE01;
    EXPECT_EQ(run(c), 0xEE01);
    EXPECT_EQ(writes(), requests_of({0x00501A00}));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "INFO: Running Quillets self-test.\n",
                           "INFO: Enabling safe mode\n",
                           "ERROR: Error: ee01\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(waits(), (std::vector<std::pair<Wait::Kind, int64_t>>{{Wait::Timer, kEcho}}));
}

TEST_F(SelfTestRun, RefusedLeavingSafeModeIsReturned) {
    HubConfig c = hub_of(Kind::Quillet);
    c.selftest.step(0x00511A00).reply_word = 0x00000777;
    EXPECT_EQ(run(c), 0x777);
    EXPECT_EQ(resets(), (std::vector<uint32_t>{0x00990100}));  // no restart after it
    EXPECT_TRUE(area().safe_mode);
}

TEST_F(SelfTestRun, QuilletThatDoesNotComeBackFailsStepOne) {
    HubConfig c = hub_of(Kind::Quillet);
    FaultRule gone;
    gone.word = 0x00990100;
    gone.fault.type = Fault::Vanish;
    gone.fault.delay_ms = -1;
    c.faults.push_back(gone);
    EXPECT_EQ(run(c), 801);
    EXPECT_EQ(results[0].code, 801);
    const auto l = lines();
    EXPECT_NE(std::find(l.begin(), l.end(), "ERROR: what(): write() failed\n"), l.end());
    EXPECT_NE(std::find(l.begin(), l.end(), "ERROR: Connection error step 1\n"), l.end());
    EXPECT_NE(std::find(l.begin(), l.end(), "ERROR: Returning to bootloader!\n"), l.end());
}

TEST_F(SelfTestRun, OtherDeviceTypeSendsNothing) {
    EXPECT_EQ(run(hub_of(Kind::TorvaneST), [](RunSelfTest& t) { t.device_type = 4; }), 804);
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "ERROR: The self-test is only available on Quillets and Torvanes.\n",
                           "INFO: Closing com port\n",
                       }));
    EXPECT_EQ(step_count, 0u);
    EXPECT_EQ(results[0].code, 0x5A5A);
}

TEST_F(SelfTestRun, SmallResultArrayIsNotOverrun) {
    s.attach(hub_of(Kind::Quillet));
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
    EXPECT_EQ(s.hub().config().selftest.steps_run.size(), 32u);
}

// The driver's branch: the same command behind "-stest".
class SelfTestDriver : public ::testing::Test {
protected:
    // The driver leaves the scenario's platform active; it must not outlive it.
    void TearDown() override { zel::set_active_platform(nullptr); }
    Scenario s;
};

TEST_F(SelfTestDriver, StTorvaneEndToEndInProcess) {
    s.attach(hub_of(Kind::TorvaneST));
    EXPECT_EQ(s.run({"-stest"}), 0);
    const std::vector<std::string> texts = s.texts();
    EXPECT_EQ(texts.front(), "Creating object RunSelfTest\n");
    EXPECT_EQ(texts.back(), "Closing com port\n");
    std::string all;
    for (const auto& e : s.log()) all += e.text;
    EXPECT_EQ(s.platform.out, all);  // nothing printed beyond the log
    EXPECT_EQ(s.hub().config().selftest.steps_run.size(), 3u);
    EXPECT_EQ(s.platform.open_handles(), 0u);
}

TEST_F(SelfTestDriver, FailureLineCarriesTheResult) {
    HubConfig c = hub_of(Kind::TorvaneST);
    FaultRule bad;
    bad.word = 0x00103300;
    bad.fault.type = Fault::EchoByteChanged;
    bad.fault.index = 50;
    c.faults.push_back(bad);
    s.attach(c);
    EXPECT_EQ(s.run({"-stest"}), 801);
    EXPECT_TRUE(s.logged("ERROR", "what(): write/read failed - differences between messages (tx, rx)\n"));
    EXPECT_TRUE(s.logged("ERROR", "Something went wrong in the self-test - error-code 801\n"));
    // An exchange failure in a later step sends the HUB back to its bootloader.
    EXPECT_EQ(s.hub().requests_with_word(0x00471A00).size(), 1u);
}

TEST_F(SelfTestDriver, NoHubGivesSix) {
    EXPECT_EQ(s.run({"-stest"}), 6);
    EXPECT_EQ(s.texts(), (std::vector<std::string>{"Creating object RunSelfTest\n",
                                                   "Something went wrong in the self-test - error-code 6\n"}));
    EXPECT_TRUE(s.writes().empty());
}

}  // namespace
