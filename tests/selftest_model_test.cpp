#include <gtest/gtest.h>

#include "sim/hub_model.hpp"
#include "src/Command.hpp"

namespace {

using sim::HubConfig;
using sim::HubModel;
using sim::Kind;

std::vector<uint8_t> request_of(uint32_t word) {
    std::vector<uint8_t> r(104, 0);
    put_le32(r.data(), word);
    return r;
}

// Sends one request and returns what the HUB sends back after the echo.
std::vector<uint8_t> answer(HubModel& hub, const std::vector<uint8_t>& request, int64_t now = 0) {
    hub.output().clear();
    hub.host_write(now, request);
    std::vector<uint8_t> all;
    for (const sim::TimedByte& b : hub.output()) all.push_back(b.value);
    if (all.size() < request.size()) return {};
    EXPECT_TRUE(std::equal(request.begin(), request.end(), all.begin())) << "echo";
    return {all.begin() + std::ptrdiff_t(request.size()), all.end()};
}

HubConfig quillet() {
    HubConfig c;
    c.kind = Kind::Quillet;
    return c;
}

TEST(SelfTestModel, ConfigureKeys) {
    sim::SelfTestArea a;
    EXPECT_TRUE(sim::configure_selftest(a, "selftest.version", "0x01020300"));
    EXPECT_EQ(a.version, 0x01020300u);
    EXPECT_TRUE(sim::configure_selftest(a, "selftest.step.00241300.code", " -7 "));
    EXPECT_TRUE(sim::configure_selftest(a, "selftest.step.0x00241300.reply_word", "0x1234"));
    EXPECT_TRUE(sim::configure_selftest(a, "selftest.step.00241300.data", "01 02 ff"));
    const sim::SelfTestStepOutcome& o = a.outcomes.at(0x00241300);
    EXPECT_EQ(o.code, -7);
    EXPECT_EQ(o.reply_word, 0x1234u);
    ASSERT_TRUE(o.data.has_value());
    EXPECT_EQ((*o.data)[0], 0x01);
    EXPECT_EQ((*o.data)[2], 0xFF);
    EXPECT_EQ((*o.data)[3], 0x00);
    EXPECT_TRUE(sim::configure_selftest(a, "selftest.require_safe_mode", "0"));
    EXPECT_FALSE(a.require_safe_mode);
    EXPECT_TRUE(sim::configure_selftest(a, "selftest.refusal", "61185"));
    EXPECT_EQ(a.refusal, 61185u);

    EXPECT_FALSE(sim::configure_selftest(a, "info.serial", "1"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.version", "v1"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.version", "0x100000000"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.require_safe_mode", "2"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.step.zz.code", "1"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.step.00241300", "1"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.step.00241300.colour", "1"));
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.step.00241300.data", "123"));
    std::string too_many;
    for (int i = 0; i < 97; ++i) too_many += "aa ";
    EXPECT_FALSE(sim::configure_selftest(a, "selftest.step.00241300.data", too_many));
}

TEST(SelfTestModel, StepReplyLayout) {
    HubConfig c;
    c.kind = Kind::TorvaneST;
    c.selftest.step(0x00103300).code = 7;
    HubModel hub(c);
    const std::vector<uint8_t> v = answer(hub, request_of(0x00010100));
    ASSERT_EQ(v.size(), 104u);
    EXPECT_EQ(get_le32(&v[0]), 0x00010100u);
    EXPECT_EQ(get_le32(&v[4]), 0u);
    EXPECT_EQ(get_le32(&v[8]), 0x01020000u);  // what an ST Torvane's tool expects

    const std::vector<uint8_t> r = answer(hub, request_of(0x00103300));
    ASSERT_EQ(r.size(), 104u);
    EXPECT_EQ(get_le32(&r[4]), 7u);
    const auto data = sim::selftest_default_data(0x00103300);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r.begin() + 8));
}

TEST(SelfTestModel, EachKindAnswersOnlyItsOwnSteps) {
    HubConfig atmel;
    atmel.kind = Kind::TorvaneAtmel;
    HubModel a(atmel);
    EXPECT_EQ(get_le32(&answer(a, request_of(0x00010100))[8]), 0x01010000u);
    EXPECT_TRUE(answer(a, request_of(0x00103300)).empty());  // not an Atmel step
    EXPECT_TRUE(answer(a, request_of(0x00471A00)).empty());  // a Quillet request

    HubConfig st;
    HubModel t(st);
    EXPECT_TRUE(answer(t, request_of(0x00013A00)).empty());
    EXPECT_TRUE(answer(t, request_of(0x00501A00)).empty());
}

TEST(SelfTestModel, QuilletRunsStepsOnlyInSafeMode) {
    HubModel hub(quillet());
    sim::SelfTestArea& a = hub.config().selftest;
    std::vector<uint8_t> r = answer(hub, request_of(0x00313A00));
    ASSERT_EQ(r.size(), 104u);
    EXPECT_EQ(get_le32(&r[0]), a.refusal);
    EXPECT_EQ(a.steps_refused, (std::vector<uint32_t>{0x00313A00}));

    r = answer(hub, request_of(0x00501A00));
    EXPECT_EQ(r, (std::vector<uint8_t>{0x00, 0x1A, 0x50, 0x00}));
    EXPECT_FALSE(a.safe_mode);  // only after the restart
    EXPECT_TRUE(answer(hub, request_of(0x00990100)).empty());
    EXPECT_TRUE(a.safe_mode);
    EXPECT_FALSE(hub.present(0));  // dropped off the bus
    const int64_t back = hub.absent_until();

    r = answer(hub, request_of(0x00313A00), back);
    EXPECT_EQ(get_le32(&r[0]), 0x00313A00u);
    EXPECT_EQ(a.steps_run, (std::vector<uint32_t>{0x00313A00}));

    EXPECT_EQ(answer(hub, request_of(0x00511A00), back).size(), 4u);
    answer(hub, request_of(0x00993B00), back);
    EXPECT_FALSE(a.safe_mode);
    EXPECT_EQ(hub.mode(), sim::Mode::Firmware);
    EXPECT_EQ(a.resets, (std::vector<uint32_t>{0x00990100, 0x00993B00}));
}

TEST(SelfTestModel, BootloaderResetAndPayloadCheck) {
    HubModel hub(quillet());
    sim::SelfTestArea& a = hub.config().selftest;
    a.require_safe_mode = false;
    std::vector<uint8_t> bad = request_of(0x00313A00);
    bad[50] = 1;
    const std::vector<uint8_t> r = answer(hub, bad);
    ASSERT_EQ(r.size(), 104u);
    EXPECT_EQ(get_le32(&r[0]), a.refusal);
    EXPECT_EQ(a.malformed, 1);

    answer(hub, request_of(0x00471A00));
    EXPECT_EQ(hub.mode(), sim::Mode::Bootloader);
    EXPECT_EQ(hub.requests_with_word(0x00471A00).size(), 1u);
}

}  // namespace
