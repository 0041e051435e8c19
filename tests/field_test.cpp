// The bench as it is in the field: several HUBs on one PC, restarts that
// come back under another name, a HUB that never comes back or hangs, a run
// interrupted half-way, and folders that take no new file.
#include <nlohmann/json.hpp>

#include "tests/support.hpp"

namespace {

using t::Bench;
using t::Bytes;
using t::Fault;
using t::Kind;

TEST(SeveralHubs, AHubThatNeverComesBackIsNamedAndTheOtherLeftAlone) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-h", "img"}, {"-sfb"}}) {
        sim::HubConfig chosen = t::hub(Kind::TorvaneST, false, "COM5");
        chosen.reset_absent_ms = -1;
        chosen.sensor_trigger_drops = true;
        Bench b(chosen);
        b.attach(t::hub(Kind::TorvaneST, false, "COM4"));
        b.put("img", t::TwoPart{}.bytes());
        EXPECT_EQ(b.run(args), args[0] == "-h" ? 31 : 41);
        EXPECT_TRUE(b.logged("ERROR",
                             "CDC-interface: The HUB at 'COM5' (USB location 1-1) did not come back after its "
                             "restart; the other HUBs attached ('COM4' (USB location 1-2)) were left alone\n"));
        EXPECT_TRUE(b.reported(args[0] == "-h" ? "PerformFWUpgrade::_upgrade_st in _requestHUBUpgrade()"
                                               : "SimpleCommand::RunCommand",
                               t::kNotConnected));
        EXPECT_TRUE(b.hub(1).requests().empty());
        // It looked for as long as a port may take to open: 20 looks, the first after 5 s, then a second apart.
        std::vector<int64_t> looks(20, 1000);
        looks[0] = 5000;
        const std::vector<int64_t> sleeps = b.sleeps_ms();
        EXPECT_EQ(std::vector<int64_t>(sleeps.begin() + 1, sleeps.end()), looks);
        // Interrupted while it looks, the run's record names the HUB it used,
        // not the one the table now lists first.
        Bench cut(chosen);
        cut.attach(t::hub(Kind::TorvaneST, false, "COM4"));
        cut.put("img", t::TwoPart{}.bytes());
        cut.p.env["ZEL_JSON"] = "run.json";
        cut.p.interrupt_at = 9000 * t::kMs;
        EXPECT_EQ(cut.run(args), 130);
        EXPECT_EQ(nlohmann::json::parse(cut.content("run.json"))["hub"]["port"], "COM5");
    }
}

TEST(Interruptions, TheRunStopsAtItsNextWaitSayingWhatItLeaves) {
    struct Case {
        std::vector<std::string> args;
        sim::HubConfig hub;
        double at_ms;
        std::string doing, leaves;
    };
    const std::string hub_stays =
        "The HUB stays in its bootloader: run -h with the same image file again to complete the upgrade.";
    const std::string unchanged = "Nothing on the HUB was changed.";
    const std::string safe_mode =
        "The HUB may be left in safe mode: run -stest again to finish the self-test and bring it back.";
    const std::string wifi =
        "The HUB may or may not have taken the new WiFi configuration: read it back with -r to check.";
    sim::HubConfig st = t::hub(Kind::TorvaneST), quillet = t::hub(Kind::Quillet);
    const std::vector<Case> cases =
        {{{"-h", "img"}, st, 500, "connecting to the HUB", unchanged},
         {{"-h", "img"}, st, 4000, "sending the HUB into its bootloader", hub_stays},
         {{"-h", "img"}, st, 9000, "waiting for the HUB's flash to be erased", hub_stays},
         {{"-h", "img"}, st, 12100, "sending firmware chunk 3 of 3 of part 1 of 2", hub_stays},
         {{"-stest"}, quillet, 7000, "restarting the HUB for the self-test", safe_mode},
         {{"-stest"},
          quillet,
          12000,
          "restarting the HUB after the self-test",
          "Every step passed and safe mode was switched off; the HUB restarts into its firmware: run -hinfo to see "
          "that it is back."},
         {{"-w", "net.xml"}, st, 3500, "writing the WiFi configuration", wifi},
         {{"-rs", "1"}, st, 3500, "scanning for WiFi networks", unchanged}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " at " + std::to_string(c.at_ms) + " ms");
        sim::HubConfig hub = c.hub;
        hub.network.write_status = 0;
        hub.faults.push_back(t::on_word(0x00501900, {Fault::LateReply, 0, 0, 0, 20000}));
        hub.faults.push_back(t::on_word(0x00791900, {Fault::LateReply, 0, 0, 0, 10000}));
        Bench b(hub);
        b.put("img", t::TwoPart{}.bytes());
        b.put("net.xml", std::string("<NETWORK><DHCP/><SECURITY_TYPE/><BAND/></NETWORK>"));
        b.p.interrupt_at = int64_t(c.at_ms * t::kMs);
        b.p.env["ZEL_JSON"] = "run.json";
        EXPECT_EQ(b.run(c.args), 130);
        EXPECT_TRUE(b.logged("ERROR", "Interrupted (SIGINT) while " + c.doing + ". " + c.leaves + "\n"))
            << b.at("ERROR");
        EXPECT_NE(b.content("run.json").find("\"interrupted\": {"), std::string::npos);
        // It stops at once: nothing more is sent, and the port is closed after the line.
        EXPECT_LE(b.p.now_ms(), c.at_ms + 0.1);
        EXPECT_TRUE(std::all_of(b.p.trace.begin(), b.p.trace.end(),
                                [&](const sim::TraceEntry& e) { return !e.to_hub || e.time <= c.at_ms * t::kMs; }));
        EXPECT_EQ(b.p.open_handles(), 0u);
        if (c.args[0] != "-h") continue;
        // What it leaves is what it says: the same command again completes the upgrade.
        b.p.interrupt_at = -1;
        EXPECT_EQ(b.run(c.args), 0) << b.at("ERROR");
        EXPECT_TRUE(b.logged("INFO", t::kStHubRunning));
    }
}

TEST(HungHub, AWriteThatIsNotTakenEndsTheStepAfterItsTimeOut) {
    for (const auto& [args, word, result] :
         std::vector<std::tuple<std::vector<std::string>, uint32_t, int>>{{{"-h", "img"}, 0x00000000, 31},
                                                                          {{"-hinfo"}, 0x00000000, 10}}) {
        sim::HubConfig c = t::hub();
        c.faults.push_back(t::on_word(word, {Fault::Stall}));
        Bench b(c);
        b.put("img", t::TwoPart{}.bytes());
        EXPECT_EQ(b.run(args), result);
        EXPECT_TRUE(b.logged("ERROR", t::kWriteFailed));
        EXPECT_LT(b.p.now_ms(), 1000 + 1150 + 1050 + 20);  // open, the probe's echo that never came, the write
    }
}

// --- the fast timing ---------------------------------------------------------------------------------

struct Timed {
    std::vector<std::string> args;
    sim::HubConfig hub;
    double fast_at_most_ms;  // 0: at most 80 % of the documented run; -1: shorter than it
};

std::vector<Timed> timed_runs() {
    sim::HubConfig st = t::hub(), quillet = t::hub(Kind::Quillet), dropping = t::hub();
    dropping.sensor_trigger_drops = true;
    sim::HubConfig log = t::hub();
    log.info.log_text = std::string(1022, 'x');  // 1 KiB with the HUB's line break
    // -sinfo and -log end with a silence as long as a HUB may pause inside them.
    return {{{"-hinfo"}, st, 150},      {{"-r", "net.xml"}, st, 150}, {{"-rs", "6"}, st, 150},
            {{"-sinfo"}, st, 3000},     {{"-log"}, log, 3000},        {{"-srf"}, dropping, 2500},
            {{"-sfb"}, dropping, 2500}, {{"-stest"}, quillet, 7000},  {{"-h", "img"}, st, 0},
            {{"-s", "sensors"}, st, -1}};
}

// Runs one operation in both modes on the same HUB: the requests must be the
// same, byte for byte, and the fast run within its target.
TEST(Timing, FastSendsTheSameBytesInLessTime) {
    for (const Timed& c : timed_runs()) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::vector<t::Bytes>> requests;
        std::vector<double> took;
        for (const bool fast : {false, true}) {
            Bench b(c.hub);
            if (fast) b.p.env["ZEL_TIMING"] = "fast";
            b.put("img", t::TwoPart{}.bytes());
            b.put("sensors", t::sensor_image());
            EXPECT_EQ(b.run(c.args), 0) << b.at("ERROR");
            requests.emplace_back();
            for (const sim::Request& r : b.hub().requests()) requests.back().push_back(r.bytes);
            took.push_back(b.p.now_ms());
            EXPECT_EQ(b.log().back().text.rfind("Done: ", 0), 0u);              // the verdict closes the run
            EXPECT_TRUE(c.args[0] != "-r" || b.p.file("net.xml")->owner_only);  // it holds the key
        }
        EXPECT_EQ(requests[0], requests[1]);
        EXPECT_LT(took[1], c.fast_at_most_ms > 0   ? c.fast_at_most_ms
                           : c.fast_at_most_ms < 0 ? took[0]
                                                   : 0.8 * took[0])
            << "documented " << took[0];
    }
}

// What the HUB does slowly, within what the protocol allows, gives the same
// bytes and the same result in both modes.
TEST(Timing, ASlowButWellBehavedHubGivesTheSameOutcomeInBothModes) {
    sim::HubConfig slow = t::hub();
    slow.reply_delay_us = 40000;  // each answer 40 ms late
    slow.reset_absent_ms = 4900;  // off the bus for 4.9 s on a restart
    slow.sensor_trigger_drops = true;
    slow.refuse_opens_after_restart = 2;  // back on the bus before its permissions are set
    slow.refusals_denied = true;
    sim::HubConfig late = t::hub(), pieces = t::hub(), sensors = t::hub();
    late.reset_absent_ms = 23000;  // back from its restart just before the last of the 20 looks
    pieces.info.log_piece = 300;   // the log in pieces, with pauses between them
    pieces.info.log_text = std::string(900, 'y');
    sensors.firmware.entries_ms = 4500;  // the sensors' records, long after their count
    struct Case {
        std::vector<std::string> args;
        sim::HubConfig hub;
        int64_t log_gap_ms;
        std::string line;  // logged by both
    };
    const std::vector<Case> cases = {
        {{"-hinfo"}, slow, 0, "Opening COM port\n"},
        {{"-sfb"}, slow, 0, "Trigger to bootloader command sent!\r\n"},
        {{"-h", "img"}, slow, 0, t::kStHubRunning},
        {{"-h", "img"}, late, 0, t::kStHubRunning},
        {{"-log"}, pieces, 700, "LOG-file: Length 902\n"},
        {{"-log"}, pieces, 2000, "LOG-file: Length 902\n"},
        {{"-sinfo"}, t::hub(), 0, "Collected firmware information for 17 sensors\n"},  // a 2 s pause, below
        {{"-s", "sensors"}, sensors, 0, "Number of sensors in boot 17\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.log_gap_ms));
        std::vector<t::Bytes> read;  // all the tool read, by mode
        for (const bool fast : {false, true}) {
            sim::HubConfig hub = c.hub;
            hub.info.log_gap_ms = c.log_gap_ms;
            Bench b(hub);
            if (fast) b.p.env["ZEL_TIMING"] = "fast";
            // After the probe, its answer, the request's echo and 8 whole records.
            if (c.args[0] == "-sinfo") b.p.holds.push_back({&b.hub(), 104 + 4 + 104 + 4 + 8 * 60, 2000});
            b.put("img", t::TwoPart{}.bytes());
            b.put("sensors", t::sensor_image());
            EXPECT_EQ(b.run(c.args), 0) << (fast ? "fast: " : "") << b.at("ERROR");
            EXPECT_TRUE(b.logged("INFO", c.line)) << (fast ? "fast: " : "") << b.at("INFO");
            read.emplace_back();
            for (const sim::TraceEntry& e : b.p.trace) {
                if (!e.to_hub) read.back().insert(read.back().end(), e.bytes.begin(), e.bytes.end());
            }
        }
        EXPECT_EQ(read[0], read[1]);  // the same bytes came back
    }
}

}  // namespace
