// The event stream (ZEL_EVENTS) of one in-process run: the order of the
// events a ST upgrade writes, and the lines that carry each kind of field.
#include <nlohmann/json.hpp>

#include "log/events.hpp"
#include "tests/support.hpp"

namespace {

TEST(EventStream, AnUpgradeFromStartToEnd) {
    t::Bench b(t::hub());
    b.put("hub.tfh", t::TwoPart{}.bytes());  // parts of 3 and 2 chunks
    b.put("/sim/events.jsonl", std::string("an earlier run's events\n"));
    b.p.env["ZEL_EVENTS"] = "/sim/events.jsonl";
    ASSERT_EQ(b.run({"-h", "hub.tfh"}), 0) << b.at("ERROR");

    std::vector<std::string> lines;
    std::string order;  // the first letter of each event
    std::istringstream stream(b.content("/sim/events.jsonl"));
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
        order += nlohmann::json::parse(line).at("event").get<std::string>().front();
    }
    // Chunk 2 of 3 came within 250 ms of the first: the only one left out.
    EXPECT_EQ(order, "sshswsswssswssswssswssve");
    const std::string upgrade = R"("leaves":"The HUB stays in its bootloader","next":"run -h with the same image )"
                                R"(file again to complete the upgrade")";
    for (const std::string& expected : {
             std::string(R"({"event":"start","t":0.000,"time":"2026-12-05T09:07:03.004Z","tool":"zel_usb_interface",)"
                         R"("version":"2.0.2+45","operation":"-h","arguments":["-h","hub.tfh"],"pid":4711})"),
             std::string(R"({"event":"stage","t":0.000,"doing":"connecting to the HUB","leaves":"Nothing on the )"
                         R"(HUB was changed","next":""})"),
             std::string(R"j({"event":"hub","t":0.000,"port":"COM3","location":"1-1","kind":"Torvane (ST)"})j"),
             std::string(R"({"event":"wait","t":1.033,"for":"for the HUB to restart","max_s":5})"),
             R"({"event":"stage","t":7.033,"doing":"starting the transfer of part 1 of 2",)" + upgrade +
                 R"(,"progress":{"part":1,"parts":2}})",
             R"({"event":"stage","t":12.087,"doing":"sending firmware chunk 3 of 3 of part 1 of 2",)" + upgrade +
                 R"(,"progress":{"chunk":3,"chunks":3,"part":1,"parts":2}})",
             std::string(R"({"event":"verdict","t":17.755,"ok":true,"text":"Done: the HUB firmware was upgraded. )"
                         R"(The HUB runs firmware 2.4.0-R, signature 0xb1b2b3b4.","hub_state":"The HUB runs )"
                         R"(firmware 2.4.0-R, signature 0xb1b2b3b4","next":"","firmware_version":"2.4.0-R",)"
                         R"("firmware_signature":"0xb1b2b3b4"})"),
             std::string(R"({"event":"end","t":17.755,"result":0,"exit_code":0})"),
         }) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    }

    // A wait of at most 2.001 s is announced as 3 s, never as shorter than it may last.
    sim::SimPlatform bare(sim::kDefaultUtcStart);
    zel::EventStream(bare, "/w").wait("for it", 2001);
    EXPECT_EQ(bare.file("/w")->content, "{\"event\":\"wait\",\"t\":0.000,\"for\":\"for it\",\"max_s\":3}\n");

    // A stream that cannot be written: one warning, and the run goes on.
    t::Bench ro(t::hub());
    ro.p.env["ZEL_EVENTS"] = "/sim/events.jsonl";
    ro.p.files_writable = false;
    EXPECT_EQ(ro.run({"-hinfo"}), 0);
    const std::string warning = "WARNING: cannot write the event stream /sim/events.jsonl (ZEL_EVENTS)\n";
    EXPECT_EQ(ro.p.err.find(warning), 0u) << ro.p.err;
    EXPECT_EQ(ro.p.err.rfind(warning), 0u) << ro.p.err;
}

TEST(HubLock, WithoutALockFileTheRunSaysItIsUnguarded) {
    for (const bool unguarded : {false, true}) {
        t::Bench b(t::hub());
        b.p.no_lock_files = unguarded;
        EXPECT_EQ(b.run({"-hinfo"}), 0);
        EXPECT_EQ(b.count("CDC-interface: No lock could be made for the HUB (1-1): two runs of this tool could now "
                          "use it at once\n"),
                  unguarded ? 1 : 0);
    }
}

}  // namespace
