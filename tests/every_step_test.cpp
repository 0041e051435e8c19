// A fault at every step: each operation runs once cleanly against the HUB
// model, then once for every request k the HUB received, with the HUB failing
// at request k: (a) no echo; (b) no reply (a request sent without echo check
// has none: the HUB drops off instead, and returns only after the tool has
// looked for it); (c) the HUB gone for good after the echo; and (d) one
// byte of the echo changed.
//
// The expected outcome of each run is worked out from the operation's step
// table below (the request, how it is sent, and the result its failure gives
// by the operation's result table), never from what the tool did. Each run
// must end with that result, within the clean run's time plus what the fault
// costs, with the reporter's two lines and the driver's failure line in the log.
#include <array>
#include <cstdio>
#include <functional>
#include <memory>

#include "tests/support.hpp"

namespace {

using sim::Fault;
using sim::FaultRule;
using sim::Kind;
using t::Bench;
using t::kMismatch;
using t::kMs;
using t::kNoFeedback;
using t::kShort;
using t::kWriteFailed;
// In place of a second line: an echo that is short or differs (what comes
// back depends on how the HUB framed the bytes it did not expect).
const std::string kEchoBroken;

enum class Send { Probe, Echo, Reconnect };
enum class FaultKind { NoEcho, NoReply, Gone, EchoChanged };

const char* name_of(FaultKind f) {
    return std::array{"NoEcho", "NoReply", "Gone", "EchoChanged"}[size_t(f)];
}

// What a run must end with.
struct Outcome {
    int result = 0;
    // The reporter's calls, in order: operation name and its second line.
    std::vector<std::pair<std::string, std::string>> reports;
    std::string line;                 // one more ERROR text the failure shows, or ""
    bool back_to_bootloader = false;  // the self-test sends the HUB back to its bootloader
};

Outcome ends(int result, std::vector<std::pair<std::string, std::string>> reports = {}, std::string line = "",
             bool back_to_bootloader = false) {
    return {result, std::move(reports), std::move(line), back_to_bootloader};
}

struct Step {
    std::string label;
    Send send = Send::Echo;
    uint32_t word = 0;  // bytes 0-3 of the request as the HUB frames it
    size_t length = 0;  // bytes on the wire
    size_t reply = 0;   // reply length, 0: none
    int64_t limit_ms = 0;
    int on_echo = 0;          // the result when the request or its echo fails
    int on_reply = 0;         // the result when the reply fails
    std::string operation{};  // as the reporter names it
    bool bootloader = false;  // a failure sends the HUB back to its bootloader
    Outcome ignored{};        // a reconnect request the HUB does not act on
};

struct Operation {
    std::string name;
    sim::HubConfig hub;
    std::vector<std::string> args;
    std::string file, content;   // the file the run is given
    bool legacy = false;         // the HUB speaks the legacy framing
    std::vector<Step> steps;     // every request of a clean run, in order
    std::string failure_format;  // the driver's failure line, %d = result
    std::string success_text;    // logged only by a successful run ("" for none)
    Outcome probe_no_echo, probe_no_reply, probe_gone, probe_echo_changed;
    // What a failure may add besides its own read: the self-test's restart
    // into the bootloader; an upgrade's HUB-boot message that never comes
    // once the bootloader missed a chunk or never started.
    double failure_extra_ms = 0;
};

// --- documented waits -------------------------------------------------------------

constexpr double kEchoPauseMs = 16.32;
// Opening a port takes one attempt and its 1 s sleep when the port is there
// (up to 20 when it is slow to come back). The HUB model here never refuses
// an open, so the bound counts one attempt per opening.
constexpr double kOpenMs = 1000;
double wire_ms(size_t bytes) {
    return double(sim::wire_ticks(bytes)) / kMs;
}
// A read of n bytes with a limit: the limit, overrun by at most one read's
// own time-out of 10 ms per byte plus 10 ms.
double read_max_ms(size_t n, int64_t limit_ms) {
    return double(limit_ms) + 10.0 * double(n) + 10;
}

// --- step tables ------------------------------------------------------------------

constexpr double kHubBootMessageMs = 15000 + 10 * 536 + 10 + 32.768;  // its read, then the pause

Step probe() {
    return {.label = "probe", .send = Send::Probe, .length = 104};
}

Step echo(std::string label, uint32_t word, size_t length, int on_echo, std::string operation) {
    return {.label = label, .word = word, .length = length, .on_echo = on_echo, .operation = operation};
}

Step exchange(std::string label, uint32_t word, size_t length, size_t reply, int64_t limit_ms, int on_failure,
              std::string operation) {
    Step s = echo(label, word, length, on_failure, operation);
    s.reply = reply;
    s.limit_ms = limit_ms;
    s.on_reply = on_failure;
    return s;
}

Step reconnect(std::string label, uint32_t word, int on_failure, std::string operation, Outcome ignored) {
    Step s = echo(label, word, 104, on_failure, operation);
    s.send = Send::Reconnect;
    s.ignored = std::move(ignored);
    return s;
}

void give(Operation& op, std::vector<std::string> args, const t::Bytes& image) {
    op.file = args[1];
    op.content.assign(image.begin(), image.end());
    op.args = std::move(args);
}

// -h on an ST-based HUB: two parts (three chunks, then two).
Operation st_hub_upgrade(Kind kind) {
    const std::string st = "PerformFWUpgrade::_upgrade_st in ";
    const bool quillet = kind == Kind::Quillet;
    Operation op;
    op.name = quillet ? "QuilletHubUpgrade" : "StTorvaneHubUpgrade";
    op.hub = t::hub(kind);
    t::TwoPart img;
    img.target = quillet ? 'H' : 'I';
    give(op, {"-h", "hub.tfh"}, img.bytes());
    op.failure_format = "Something went wrong with HUB firmware-upgrade - error-code %d!!\n";
    op.success_text = t::kStHubRunning;
    op.failure_extra_ms = kHubBootMessageMs;
    // A HUB left in its firmware takes the 536-byte start trigger as
    // 104-byte requests: its echo does not come back whole.
    const Outcome stays_in_firmware = ends(28, {{st + "_sendTrigger()", kEchoBroken}});
    if (!quillet) op.steps.push_back(probe());
    const std::vector<Step> rest = {
        reconnect("upgrade request", 0x00471A00, 31, st + "_requestHUBUpgrade()", stays_in_firmware),
        echo("start trigger, part 0", 0x00710100, 536, 28, st + "_sendTrigger()"),
        echo("part 0, chunk 1", 0x00720100, 536, 30, st + "_sendFirmware()"),
        echo("part 0, chunk 2", 0x00720100, 536, 30, st + "_sendFirmware()"),
        echo("part 0, chunk 3", 0x00720100, 536, 30, st + "_sendFirmware()"),
        exchange("boot information 0", 0x00740100, 536, 536, 45, 33, "PerformFWUpgrade::_getBootInfo"),
        echo("start trigger, part 1", 0x00710100, 536, 28, st + "_sendTrigger()"),
        echo("part 1, chunk 1", 0x00720100, 536, 30, st + "_sendFirmware()"),
        echo("part 1, chunk 2", 0x00720100, 536, 30, st + "_sendFirmware()"),
        exchange("boot information 1", 0x00740100, 536, 536, 45, 33, "PerformFWUpgrade::_getBootInfo"),
        echo("final trigger", 0x00730100, 536, 29, st + "_sendTrigger()"),
    };
    op.steps.insert(op.steps.end(), rest.begin(), rest.end());
    op.probe_no_echo = ends(0, {{"Command::_check_HUB_version", kShort}});
    op.probe_no_reply = stays_in_firmware;  // the legacy-form upgrade request is not acted on
    op.probe_gone = ends(31, {{"Command::_check_HUB_version", kShort}, {st + "_requestHUBUpgrade()", kWriteFailed}});
    op.probe_echo_changed = ends(0, {{"Command::_check_HUB_version", kMismatch}});
    return op;
}

// -s through a current ST-based Torvane: the sensor count first.
Operation sensor_upgrade_current() {
    const std::string atmel = "PerformFWUpgrade::_upgrade_atmel in ";
    Operation op;
    op.name = "SensorUpgradeCurrentHub";
    op.hub = t::hub(Kind::TorvaneST);
    give(op, {"-s", "s.tfs"}, t::sensor_image(1300));
    op.failure_format = "Something went wrong with Sensors firmware-upgrade - error-code %d!!\n";
    op.success_text =
        "Sensor with addr 0x10 is running OK ... Calibration status 0xc000000 signature 0xf1f2f3f4 - version 1.6.0-B\n";
    op.steps = {
        probe(),
        exchange("sensor count", 0x00191500, 104, 104, 45, 37, "PerformFWUpgrade::_checkSensorsConnected"),
        echo("sensors upgrade request", 0x00481500, 104, 31, atmel + "_requestSensorsUpgrade()"),
        echo("start trigger", 0x00171500, 540, 28, atmel + "_sendTrigger()"),
        echo("chunk 1", 0x00171500, 540, 30, atmel + "_sendFirmware()"),
        echo("chunk 2", 0x00171500, 540, 30, atmel + "_sendFirmware()"),
        echo("chunk 3", 0x00171500, 540, 30, atmel + "_sendFirmware()"),
        exchange("auto addressing", 0x00511500, 536, 536, 12000, 34, "PerformFWUpgrade::_performAutoAddressing"),
    };
    op.probe_no_echo = ends(0, {{"Command::_check_HUB_version", kShort}});
    // Taken for a legacy HUB: the count reply is refused for its missing marker.
    op.probe_no_reply = ends(37, {{"PerformFWUpgrade::_checkSensorsConnected", kMismatch}});
    // The probe's 4-byte answer, left unread after the refused echo, comes
    // first in the next echo: the command meets the problem at its first
    // exchange.
    op.probe_echo_changed =
        ends(37, {{"Command::_check_HUB_version", kMismatch}, {"PerformFWUpgrade::_checkSensorsConnected", kMismatch}});
    op.probe_gone =
        ends(37, {{"Command::_check_HUB_version", kShort}, {"PerformFWUpgrade::_checkSensorsConnected", kWriteFailed}});
    return op;
}

// -stest on a Quillet: safe mode, restart, 32 steps, safe mode off, restart.
Operation quillet_self_test() {
    Operation op;
    op.name = "QuilletSelfTest";
    op.hub = t::hub(Kind::Quillet);
    op.args = {"-stest"};
    op.failure_format = "Something went wrong in the self-test - error-code %d\n";
    op.success_text = "Self-test complete.\n";
    // A HUB that ignores the restart never enters safe mode and refuses the
    // steps with its refusal word, which step 1 returns.
    const uint32_t refusal = op.hub.selftest.refusal;
    char refused[32];
    std::snprintf(refused, sizeof refused, "Error: %0x\n", refusal);
    op.steps.push_back(exchange("enable safe mode", 0x00501A00, 104, 4, 1000, 801, "RunSelfTest::enable_safe_mode"));
    op.steps.push_back(reconnect("restart into safe mode", 0x00990100, 801, "RunSelfTest::system_reset",
                                 ends(int(refusal), {}, refused, true)));
    for (int s = 1; s <= 32; ++s) {
        const int64_t limit = (s == 16 || s == 32) ? 5000 : 1000;
        Step step = exchange("step " + std::to_string(s), t::kQuilletSteps[s - 1], 104, 104, limit, 801,
                             "RunSelfTest::_run_test_cmd");
        step.bootloader = true;
        op.steps.push_back(step);
    }
    op.steps.push_back(exchange("disable safe mode", 0x00511A00, 104, 4, 1000, 801, "RunSelfTest::disable_safe_mode"));
    // The last restart: nothing follows it that could fail.
    op.steps.push_back(reconnect("restart out of safe mode", 0x00993B00, 801, "RunSelfTest::system_reset", ends(0)));
    op.failure_extra_ms = wire_ms(104) + kEchoPauseMs + 5000 + kOpenMs;  // back to the bootloader
    return op;
}

const std::string kNetworkFile =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<NETWORK><SSID>Lab</SSID><PSK>secret</PSK>"
    "<UNITY_ADDR>AB</UNITY_ADDR><CHANNEL_NO>6</CHANNEL_NO><SERVERIP>192.0.2.10</SERVERIP>"
    "<DEVICEIP>192.0.2.44</DEVICEIP><GATEWAY>192.0.2.1</GATEWAY><PORT>8080</PORT>"
    "<DHCP><Manual value=\"false\"/><Automatic value=\"true\"/></DHCP>"
    "<SECURITY_TYPE><A value=\"false\"/><B value=\"false\"/><C value=\"false\"/><D value=\"true\"/></SECURITY_TYPE>"
    "<BAND><E value=\"false\"/><F value=\"true\"/></BAND></NETWORK>\n";

// -w, on a current or a legacy HUB.
Operation network_write(bool legacy) {
    Operation op;
    op.name = legacy ? "NetworkWriteLegacyHub" : "NetworkWriteCurrentHub";
    op.legacy = legacy;
    op.hub = t::hub(Kind::TorvaneST, legacy);
    op.args = {"-w", "net.xml"};
    op.file = "net.xml";
    op.content = kNetworkFile;
    op.failure_format = "Network configuration failed - status %d\n";
    const std::string who = "WriteNetworkCommand::RunCommand";
    op.steps = {probe(),
                exchange("configuration", legacy ? 0x005000AE : 0x00501900, 104, legacy ? 104 : 4, 30000, 16, who)};
    op.steps[1].on_reply = 17;
    if (legacy) {
        // Taken for a current HUB, it gets the request in the current
        // framing and does not answer it.
        op.probe_no_echo = ends(17, {{"Command::_check_HUB_version", kShort}, {who, kNoFeedback}});
        op.probe_echo_changed = ends(17, {{"Command::_check_HUB_version", kMismatch}, {who, kNoFeedback}});
        op.probe_no_reply = ends(0);
    } else {
        op.probe_no_echo = ends(0, {{"Command::_check_HUB_version", kShort}});
        // The probe's unread answer spoils the request's echo.
        op.probe_echo_changed = ends(16, {{"Command::_check_HUB_version", kMismatch}, {who, kMismatch}});
        // Taken for a legacy HUB: the legacy form goes unanswered.
        op.probe_no_reply = ends(17, {{who, kShort}});
    }
    op.probe_gone = ends(16, {{"Command::_check_HUB_version", kShort}, {who, kWriteFailed}});
    return op;
}

std::vector<Operation> operations() {
    return {st_hub_upgrade(Kind::TorvaneST),
            st_hub_upgrade(Kind::Quillet),
            sensor_upgrade_current(),
            quillet_self_test(),
            network_write(false),
            network_write(true)};
}

// The outcome the step tables give for a fault at request k.
Outcome expected(const Operation& op, size_t k, FaultKind fault, bool fast) {
    const Step& step = op.steps[k];
    if (fast && step.send == Send::Probe && fault != FaultKind::NoReply) {
        // A probe that did not come back clean soon after opening: the port
        // is opened again the documented way and the probe sent again.
        const std::string& detail = fault == FaultKind::EchoChanged ? kMismatch : kShort;
        return ends(fault == FaultKind::Gone ? 6 : 0, {{"Command::_check_HUB_version", detail}});
    }
    // The tool looks until the HUB is back from its slow restart.
    if (step.send == Send::Reconnect && fault == FaultKind::NoReply) return ends(0);
    switch (step.send) {
        case Send::Probe:
            return fault == FaultKind::EchoChanged ? op.probe_echo_changed
                   : fault == FaultKind::NoEcho    ? op.probe_no_echo
                   : fault == FaultKind::NoReply   ? op.probe_no_reply
                                                   : op.probe_gone;
        case Send::Reconnect:
            // The echo is not read: a changed one goes unnoticed.
            if (fault == FaultKind::EchoChanged) return ends(0);
            // Without an echo to read, the tool cannot tell; a HUB that never
            // comes back fails the request that restarted it.
            if (fault == FaultKind::NoEcho) return step.ignored;
            return ends(step.on_echo, {{step.operation, t::kNotConnected}}, "", step.bootloader);
        case Send::Echo: break;
    }
    if (fault == FaultKind::NoReply) {
        if (step.reply == 0) return ends(0);  // nothing to miss
        return ends(step.on_reply, {{step.operation, op.legacy ? kShort : kNoFeedback}}, "", step.bootloader);
    }
    if (fault == FaultKind::EchoChanged) return ends(step.on_echo, {{step.operation, kMismatch}}, "", step.bootloader);
    // No echo, or the HUB gone with the echo it had sent.
    return ends(step.on_echo, {{step.operation, kShort}}, "", step.bootloader);
}

FaultRule rule_for(const Step& step, int k, FaultKind fault) {
    switch (fault) {
        case FaultKind::EchoChanged: return {k, {}, 0, {Fault::EchoByteChanged, int(step.length) - 1}};
        case FaultKind::NoEcho: return {k, {}, 0, {Fault::NoEcho}};
        case FaultKind::NoReply:
            if (step.send != Send::Reconnect) return {k, {}, 0, {Fault::NoReply}};
            return {k, {}, 0, {Fault::Vanish, 0, 0, 0, 6000}};  // back only after the tool's search 5 s after the write
        case FaultKind::Gone: break;
    }
    return {k, {}, 0, {Fault::Vanish, 0, 0, 0, -1}};
}

// The reporter's two lines for each call, in order.
void expect_reports(const std::vector<t::LogLine>& log, const Outcome& want) {
    size_t from = 0;
    for (const auto& [operation, detail] : want.reports) {
        const std::string head = "USB CDC read/write interface: error calling \"" + operation + "\" at src/";
        size_t i = from;
        while (i + 1 < log.size() && !(log[i].level == "ERROR" && log[i].text.rfind(head, 0) == 0)) ++i;
        ASSERT_LT(i + 1, log.size()) << "no report for " << operation;
        EXPECT_EQ(log[i + 1].level, "ERROR");
        if (detail.empty()) {
            // The echo did not come back as sent: short or different.
            EXPECT_TRUE(log[i + 1].text == kShort || log[i + 1].text == kMismatch)
                << operation << ": " << log[i + 1].text;
        } else {
            EXPECT_EQ(log[i + 1].text, detail) << operation;
        }
        from = i + 2;
    }
}

struct Param {
    size_t op;
    FaultKind fault;
    bool fast;  // ZEL_TIMING=fast
};

class RobustEveryStep : public ::testing::TestWithParam<Param> {};

// What a fault at `step` may add to the clean run: the read it makes run
// out. A fault of the probe may make the tool misjudge the framing, which
// may cost one reply that never comes.
double fault_cost_ms(const Operation& op, const Step& step, FaultKind fault, bool fast) {
    switch (step.send) {
        case Send::Probe: {
            double longest_reply = 0;
            for (const Step& s : op.steps)
                longest_reply = std::max(longest_reply, s.reply ? read_max_ms(s.reply, s.limit_ms) : 0.0);
            return read_max_ms(104, 100) + read_max_ms(4, 2000) + longest_reply;
        }
        // The documented looks for a HUB that does not come back (fast: and
        // the documented restart for one that never leaves).
        case Send::Reconnect: return (fast ? 5000 : 0) + 19 * 1000 + 5 * kOpenMs;
        case Send::Echo: break;
    }
    if (fault == FaultKind::NoReply) return step.reply ? read_max_ms(step.reply, step.limit_ms) : 0;
    return fault == FaultKind::EchoChanged ? 0 : read_max_ms(step.length, 100);
}

TEST_P(RobustEveryStep, DocumentedResultReportedWithinWhatTheFaultCosts) {
    const Operation op = operations()[GetParam().op];
    const FaultKind fault = GetParam().fault;
    const bool fast = GetParam().fast;
    auto bench = [&op, fast](sim::HubConfig config) {
        auto b = std::make_unique<Bench>();
        b->attach(std::move(config));
        if (fast) b->p.env["ZEL_TIMING"] = "fast";
        if (!op.file.empty()) b->put(op.file, op.content);
        return b;
    };

    // The clean run: the step table must be exactly what the HUB received.
    std::vector<t::Bytes> clean_requests;
    const std::unique_ptr<Bench> clean = bench(op.hub);
    ASSERT_EQ(clean->run(op.args), 0);
    const std::vector<sim::Request>& requests = clean->hub().requests();
    ASSERT_EQ(requests.size(), op.steps.size());
    for (size_t k = 0; k < requests.size(); ++k) {
        EXPECT_EQ(requests[k].word, op.steps[k].word) << op.steps[k].label;
        EXPECT_EQ(requests[k].bytes.size(), op.steps[k].length) << op.steps[k].label;
        clean_requests.push_back(requests[k].bytes);
    }
    EXPECT_TRUE(op.success_text.empty() || clean->logged("INFO", op.success_text));

    const std::string failure_prefix = op.failure_format.substr(0, op.failure_format.find("%d")),
                      failure_suffix = op.failure_format.substr(op.failure_format.find("%d") + 2);
    for (size_t k = 0; k < op.steps.size(); ++k) {
        const Step& step = op.steps[k];
        // The fast timing differs only in how it opens, probes and follows a
        // restart: at any other request its outcome is the documented one.
        if (fast && step.send == Send::Echo) continue;
        SCOPED_TRACE(op.name + ", request " + std::to_string(k) + " (" + step.label + "), " + name_of(fault));
        const Outcome want = expected(op, k, fault, fast);
        sim::HubConfig config = op.hub;
        config.faults.push_back(rule_for(step, int(k), fault));
        const std::unique_ptr<Bench> b = bench(config);
        EXPECT_EQ(b->run(op.args), want.result);

        // The fault hit the request meant: the run was the clean one up to it.
        const std::vector<sim::Request>& got = b->hub().requests();
        ASSERT_GT(got.size(), k);
        EXPECT_EQ(got[k].bytes, clean_requests[k]);

        const double limit = clean->p.now_ms() + fault_cost_ms(op, step, fault, fast) + op.failure_extra_ms;
        EXPECT_LE(b->p.now_ms(), limit) << "beyond what the fault costs";
        EXPECT_EQ(b->p.open_handles(), 0u);

        const std::vector<t::LogLine> log = b->log();
        expect_reports(log, want);
        EXPECT_TRUE(want.line.empty() || b->logged("ERROR", want.line)) << want.line;
        std::vector<std::string> errors;
        for (const t::LogLine& e : log)
            if (e.level == "ERROR") errors.push_back(e.text);
        // The driver's failure line, then the verdict as the run's last line.
        if (want.result != 0) {
            ASSERT_GE(errors.size(), 2u);
            EXPECT_EQ(errors[errors.size() - 2], failure_prefix + std::to_string(want.result) + failure_suffix);
            EXPECT_EQ(log.back().text, errors.back());
            EXPECT_EQ(errors.back().rfind("Failed (error-code " + std::to_string(want.result) + ") while ", 0), 0u)
                << errors.back();
        } else {
            EXPECT_TRUE(std::none_of(errors.begin(), errors.end(),
                                     [&](const std::string& e) { return e.rfind(failure_prefix, 0) == 0; }));
            EXPECT_TRUE(op.success_text.empty() || b->logged("INFO", op.success_text));
            EXPECT_EQ(log.back().text.rfind("Done: ", 0), 0u) << log.back().text;
        }
        if (want.back_to_bootloader) {
            EXPECT_TRUE(b->logged("ERROR", "Returning to bootloader!\n"));
            const bool port_gone =
                fault == FaultKind::Gone || (step.send == Send::Reconnect && fault == FaultKind::NoReply);
            if (port_gone) {
                expect_reports(log, ends(0, {{"RunSelfTest::system_reset", kWriteFailed}}));
            } else {
                EXPECT_EQ(got.back().word, 0x00471A00u);
                EXPECT_EQ(b->hub().mode(), sim::Mode::Bootloader);
            }
        }
    }
}

std::vector<Param> all_params() {
    std::vector<Param> params;
    const size_t count = operations().size();
    for (size_t op = 0; op < count; ++op) {
        for (FaultKind f : {FaultKind::NoEcho, FaultKind::NoReply, FaultKind::Gone, FaultKind::EchoChanged}) {
            for (const bool fast : {false, true}) params.push_back({op, f, fast});
        }
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(, RobustEveryStep, ::testing::ValuesIn(all_params()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             return operations()[info.param.op].name + "_" + name_of(info.param.fault) +
                                    (info.param.fast ? "_fast" : "");
                         });

}  // namespace
