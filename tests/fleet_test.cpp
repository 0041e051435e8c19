// zel_fleet: its logic in virtual time against HUB models that discovery
// finds, with each run of the tool played by a scripted child that leaves
// what the tool leaves (docs/JSON.md); the process seam against the real
// tool; and one fleet of the real programs against the stand-in.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "app/fleet/fleet.hpp"
#include "app/fleet/sha256.hpp"
#include "tests/support.hpp"

namespace {

namespace fs = std::filesystem;
constexpr int64_t kMs = sim::kTicksPerMs;

std::string variable(const zel::ChildSpec& spec, const std::string& name) {
    for (const auto& [key, value] : spec.environment)
        if (key == name) return value;
    return "";
}

// One run of the tool, as a test scripts it.
struct Act {
    int64_t ms = 100;       // until it ends; -1: until it is asked to stop
    int exit = 0;           // its exit status, and its record's result
    std::string verdict{};  // its verdict's fields, in JSON; no record when empty
    std::string data = "{}";
    std::vector<std::pair<int64_t, std::string>> events{};  // written to ZEL_EVENTS at these times (ms)
    std::string stopped{};  // the verdict it leaves when asked to stop: it ends with 130 300 ms later
    bool deaf = false;      // it does not stop when asked
};

std::string record(int result, const std::string& verdict, const std::string& data) {
    return R"({"tool": "zel_usb_interface", "hub": null, "data": )" + data + R"(, "verdict": {)" + verdict +
           R"(}, "result": )" + std::to_string(result) + "}";
}

// A scripted run: it writes what is due by the studio's clock and tells when
// it writes next.
class Child : public zel::ChildProcess {
public:
    Child(sim::SimPlatform& p, int64_t& clock, std::vector<Child*>& running, zel::ChildSpec spec, Act act)
        : p_(p), clock_(clock), running_(running), spec_(std::move(spec)), act_(std::move(act)), start_(clock) {
        end_ = act_.ms < 0 ? INT64_MAX : start_ + act_.ms * kMs;
        running_.push_back(this);
        p_.files[spec_.output].content += "started\n";
    }
    ~Child() override { std::erase(running_, this); }
    bool ended(int& status) override {
        status = status_;
        return status_ >= 0;
    }
    void interrupt() override {
        if (status_ >= 0 || act_.deaf) return;
        stopped_ = true;
        end_ = std::min(end_, clock_ + 300 * kMs);
    }
    void kill() override { finish(137, ""); }
    int64_t advance(int64_t now) {
        if (status_ >= 0) return INT64_MAX;
        for (; next_ < act_.events.size() && start_ + act_.events[next_].first * kMs <= now; ++next_)
            p_.files[variable(spec_, "ZEL_EVENTS")].content += act_.events[next_].second;
        if (now >= end_) {
            finish(stopped_ ? 130 : act_.exit, stopped_ ? act_.stopped : act_.verdict);
            return INT64_MAX;
        }
        return next_ < act_.events.size() ? std::min(end_, start_ + act_.events[next_].first * kMs) : end_;
    }

private:
    void finish(int status, const std::string& verdict) {
        status_ = status;
        if (!verdict.empty()) p_.files[variable(spec_, "ZEL_JSON")].content = record(status, verdict, act_.data);
        p_.files[spec_.output].content += "ended\n";
    }
    sim::SimPlatform& p_;
    int64_t& clock_;
    std::vector<Child*>& running_;
    zel::ChildSpec spec_;
    Act act_;
    int64_t start_, end_;
    size_t next_ = 0;
    bool stopped_ = false;
    int status_ = -1;
};

class Studio : public sim::SimPlatform {
public:
    Studio() {
        files["/sim/bin/zel_usb_interface"];  // the tool beside the fleet
        files["/sim/st.tfh"].content = as_text(t::TwoPart{}.bytes());
        files["/sim/q.tfh"].content = as_text(t::TwoPart{'H'}.bytes());
        files["/sim/s.tfs"].content = as_text(t::sensor_image());
    }
    static std::string as_text(const t::Bytes& b) { return {b.begin(), b.end()}; }
    int run(const std::string& line) { return zel::fleet::run_fleet(t::words(line), *this); }

    // HUB n (from 1) is "COMn" at 1-n, serial "HUB-n", firmware 2.3.1-R,
    // and its operation's run does acts[n] (a plain success without one).
    std::map<int, Act> acts;
    std::vector<zel::ChildSpec> started;
    std::vector<Child*> running;
    size_t most_at_once = 0;
    int64_t clock = 0, stop_at = -1;
    std::vector<std::pair<int64_t, std::vector<std::string>>> frames;  // the tables drawn, and when

    int64_t tick_count() override { return clock; }
    int64_t utc_now_ticks() override { return sim::kDefaultUtcStart + clock; }
    std::string interruption() override { return stop_at >= 0 && clock >= stop_at ? "SIGINT" : ""; }
    void redraw_stdout(const std::vector<std::string>& lines, size_t) override { frames.emplace_back(clock, lines); }
    std::unique_ptr<zel::ChildProcess> start_child(const zel::ChildSpec& spec, std::string&) override {
        started.push_back(spec);
        const std::string which =
            spec.arguments.at(0) == "-hinfo" ? fs::path(variable(spec, "ZEL_JSON")).stem().string() : "";
        const std::string n = variable(spec, "ZEL_PORT").substr(2);  // its location, 1-n
        Act act = acts.count(std::stoi(n)) ? acts[std::stoi(n)] : Act{};
        if (which == "identity" || which == "after") {
            act = Act{.verdict = R"("ok": true, "text": "Done: the HUB information was read.")",
                      .data = R"({"serial_number": "HUB-)" + n + R"(", "firmware_version": "2.3.1-R"})"};
        } else if (act.verdict.empty() && act.exit == 0 && act.ms >= 0) {
            act.verdict = R"("ok": true, "text": "Done.")";
        }
        auto child = std::make_unique<Child>(*this, clock, running, spec, act);
        most_at_once = std::max(most_at_once, running.size());
        return child;
    }
    void wait_children(const std::vector<zel::ChildProcess*>&, uint32_t ms) override {
        int64_t until = clock + ms * kMs;
        if (stop_at > clock) until = std::min(until, stop_at);
        for (Child* child : running) until = std::min(until, child->advance(clock));
        clock = until;
        for (Child* child : std::vector<Child*>(running)) child->advance(clock);
    }
};

const std::string kChunk = "sending firmware chunk 212 of 650 of part 1 of 2";
const std::string kInterruptedUpgrade =
    R"("ok": false, "text": "Interrupted (SIGINT) while )" + kChunk +
    R"(. The HUB stays in its bootloader: run -h with the same image file again to complete the upgrade.", "next": "run -h with the same image file again to complete the upgrade")";
const std::string kRecords = "/sim/zel_fleet/2026-12-05_09-07-03/";

struct Case {
    const char* name;
    std::vector<sim::Kind> hubs;
    std::string line;
    std::map<int, Act> acts;         // the operations' runs, by HUB
    std::array<int64_t, 5> counts;   // Ctrl-C after (s, or -1), exit status, runs, history lines, most runs at once
    std::string first_run;           // HUB 1's operation, as started
    std::vector<std::string> shown;  // on standard output
};

TEST(Fleet, RunsOneToolPerHubAndEndsWithItsResult) {
    using K = sim::Kind;
    const std::string hung = "It gave no sign of life for 300 s and was stopped.";
    const std::string again = "run -h with the same image file again";
    const Act refused{.ms = 20000,
                      .exit = 38,
                      .verdict = R"("ok": false, "text": "Failed (error-code 38) while reading the report: )" + again +
                                 R"(.", "next": ")" + again + "\""};
    const Case cases[] = {
        {"an image per kind: one upgraded, one refused by its bootloader, one left out",
         {K::TorvaneST, K::Quillet, K::TorvaneAtmel},
         "-h --image st=st.tfh --image quillet=q.tfh --timing fast",
         {{1, {.ms = 20000, .verdict = R"("ok": true, "text": "Done: upgraded.", "firmware_version": "2.4.0-R")"}},
          {2, refused}},
         {-1, 60, 5, 2, 2},
         "-h /sim/st.tfh ZEL_TIMING=fast",
         {"HUB-1   2.3.1-R -> 2.4.0-R  0", "HUB-2   2.3.1-R -> 2.3.1-R  38",
          "1 of 2 HUBs done with -h, 1 not, 1 left out.", "left out: no image for its kind (--image atmel=IMAGE)",
          "  FAILED 1-2 (COM2, HUB-2): Failed (error-code 38)",
          "next step: zel_fleet -h --image st=st.tfh --image quillet=q.tfh --timing fast --location 1-2"}},
        {"every HUB done, each -r file in its folder",
         {K::TorvaneST, K::Quillet},
         "-r out/net.xml",
         {},
         {-1, 0, 4, 2, 2},
         "-r net.xml ZEL_TIMING=",
         {"2 of 2 HUBs done with -r."}},
        {"interrupted: the runs stopped, the queued never started",
         {K::TorvaneST, K::TorvaneST, K::TorvaneST},
         "-h st.tfh --jobs 2",
         {{1, {.ms = 20000, .stopped = kInterruptedUpgrade}}, {2, {.ms = 20000, .stopped = kInterruptedUpgrade}}},
         {5, 130, 4, 2, 2},
         "-h /sim/st.tfh ZEL_TIMING=",
         {"Interrupted (SIGINT): every run was stopped.",
          "  FAILED 1-1 (COM1, HUB-1): Interrupted (SIGINT) while " + kChunk,
          "  FAILED 1-3 (COM3): Not started: nothing was sent to it.", "--location 1-1 --location 1-2 --location 1-3"}},
        {"a run that hangs is stopped, the other goes on",
         {K::TorvaneST, K::TorvaneST},
         "-sinfo",
         {{2, {.ms = -1, .stopped = R"("ok": false, "text": "Interrupted (SIGINT) while reading.")"}}},
         {-1, 60, 4, 2, 2},
         "-sinfo ZEL_TIMING=",
         {"  FAILED 1-2 (COM2, HUB-2): " + hung + " Interrupted (SIGINT) while reading.", "COM2  1-2", "130"}},
        {"a run deaf to the stop is ended by force",
         {K::TorvaneST},
         "-stest",
         {{1, {.ms = -1, .deaf = true}}},
         {-1, 60, 2, 1, 1},
         "-stest ZEL_TIMING=",
         {"  FAILED 1-1 (COM1, HUB-1): " + hung, "137     311.1 s"}},
        {"chosen by serial number: the others only identified",
         {K::TorvaneST, K::Quillet, K::TorvaneAtmel},
         "-sinfo --serial HUB-2 --serial HUB-9",
         {},
         {-1, 60, 4, 1, 3},
         "",
         {"left out: another serial number", "  NOT ATTACHED: serial HUB-9",
          "1 of 1 HUB done with -sinfo, 2 left out."}},
        {"no HUB attached", {}, "-sinfo", {}, {-1, 61, 0, 0, 0}, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Studio p;
        for (size_t i = 0; i < c.hubs.size(); ++i) p.attach(t::hub(c.hubs[i], false, "COM" + std::to_string(i + 1)));
        p.acts = c.acts;
        p.env["XDG_DATA_HOME"] = "/data";
        p.stop_at = c.counts[0] * 1000 * kMs;
        EXPECT_EQ(p.run(c.line), c.counts[1]) << p.err;
        for (const std::string& text : c.shown) EXPECT_NE(p.out.find(text), std::string::npos) << text << "\n" << p.out;
        const sim::SimFile* history = p.file("/data/zel_usb_interface/history.jsonl");
        const int64_t lines =
            history != nullptr ? std::count(history->content.begin(), history->content.end(), '\n') : 0;
        const std::array<int64_t, 3> seen{int64_t(p.started.size()), lines, int64_t(p.most_at_once)};
        EXPECT_EQ(seen, (std::array<int64_t, 3>{c.counts[2], c.counts[3], c.counts[4]}));  // runs, history, at once
        // Each run works in its HUB's folder, with the HUB and its files named.
        for (const zel::ChildSpec& spec : p.started) {
            const bool identity = spec.arguments == std::vector<std::string>{"-hinfo"};
            const std::string folder = kRecords + variable(spec, "ZEL_PORT");
            EXPECT_EQ(spec.program, "/sim/bin/zel_usb_interface");
            EXPECT_EQ(spec.directory, folder);
            EXPECT_EQ(spec.output, folder + "/console.txt");
            EXPECT_EQ(variable(spec, "ZEL_EVENTS"), identity ? "" : folder + "/events.jsonl");
            if (identity) continue;
            EXPECT_EQ(variable(spec, "ZEL_JSON"), folder + "/record.json");
            if (folder.back() != '1') continue;
            std::string run;
            for (const std::string& arg : spec.arguments) run += arg + " ";
            EXPECT_EQ(run + "ZEL_TIMING=" + variable(spec, "ZEL_TIMING"), c.first_run);
        }
    }
}

TEST(Fleet, RefusesWhatItCannotUseBeforeAnyRun) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"-h", 62, "zel_fleet: -h needs an image: -h IMAGE, or --image KIND=IMAGE\n"},
        {"-list", 62, "'-list' is no operation the fleet runs"},
        {"-sinfo --jobs 0", 62, "--jobs takes a number from 1: '0'"},
        {"-sinfo --timing slow", 62, "--timing takes fast or documented"},
        {"-hinfo -bot", 62, "-hinfo takes -boot or nothing"},
        {"-h st.tfh --image xx=q.tfh", 62, "--image takes KIND=IMAGE"},
        {"-h --image st=q.tfh", 62, "the image q.tfh does not fit the kind st: "},
        {"-s st.tfh", 62, "the image st.tfh is refused: "},
        {"-w none.xml", 62, "there is no file none.xml"},
        {"-sinfo --port COM9 --location 2-1", 61, "none of the attached HUBs is at port COM9, location 2-1"},
        {"-h q.tfh", 61,
         "no HUB is left to work on:\n  1-1 (COM1) Torvane (ST): the image q.tfh does not fit it: target letter"},
        {"-sinfo --records /sim/bin/zel_usb_interface", 63,
         "cannot make the records folder /sim/bin/zel_usb_interface"},
    };
    for (const auto& [line, exit, said] : cases) {
        SCOPED_TRACE(line);
        Studio p;
        p.attach(t::hub(sim::Kind::TorvaneST, false, "COM1"));
        EXPECT_EQ(p.run(line), exit);
        EXPECT_NE(p.err.find(said), std::string::npos) << p.err;
        EXPECT_TRUE(p.started.empty());
    }
    Studio alone;
    alone.files.erase("/sim/bin/zel_usb_interface");
    EXPECT_EQ(alone.run("-sinfo"), 63);
    EXPECT_EQ(alone.err, "zel_fleet: zel_usb_interface is missing beside zel_fleet (/sim/bin/zel_usb_interface)\n");
}

// On a terminal, a table redrawn in place from each run's events, at most
// four times a second; no plain lines.
TEST(Fleet, ShowsWhereEachRunStandsFromItsEvents) {
    Studio p;
    p.out_terminal = true;
    p.attach(t::hub(sim::Kind::TorvaneST, false, "COM1"));
    p.attach(t::hub(sim::Kind::TorvaneST, false, "COM2"));
    Act upgrade{.ms = 20000, .verdict = R"("ok": true, "text": "Done.", "firmware_version": "2.4.0-R")"};
    // Whole lines, but for one that comes in two writes.
    const auto line = [](const std::string& text) { return text + "\n"; };
    upgrade.events = {
        {0, line(R"({"event": "start", "t": 0.0})")},
        {1000, line(R"({"event": "stage", "t": 1.0, "doing": "sending the HUB into its bootloader"})")},
        {2900, R"({"event": "stage", "t": 3.0, "doing": "sending firmware chunk 65 of 130 of part 1 of 2", )"},
        {3000, line(R"("progress": {"part": 1, "parts": 2, "chunk": 65, "chunks": 130}})")},
        {6000, line(R"({"event": "stage", "t": 6.0, "doing": "waiting for the HUB to restart"})")},
        {6001, line(R"({"event": "wait", "t": 6.0, "for": "for the HUB to restart", "max_s": 24})")},
        {9000, line(R"({"event": "end", "t": 9.0, "result": 0, "exit_code": 0})")},
    };
    p.acts = {{1, upgrade}, {2, {.ms = 20000}}};
    ASSERT_EQ(p.run("-h st.tfh --history h.jsonl"), 0);
    std::string drawn;  // every line of every frame
    for (const auto& frame : p.frames) {
        for (const std::string& row : frame.second) drawn += row + "\n";
    }
    for (const char* row :
         {"reading its identity (-hinfo)",
          "2.3.1-R -> ?  3 s   -       sending firmware chunk 65 of 130 of part 1 of 2 (24 %)",
          "   -       waiting for the HUB to restart, at most 24 s left",
          "   -       running -h (its stage is not reported)",
          "COM1  1-1       Torvane (ST)  HUB-1   2.3.1-R -> 2.4.0-R  20 s  0       done",
          "HUB-2   2.3.1-R -> ?        20 s  -       reading its firmware after the upgrade (-hinfo)"})
        EXPECT_NE(drawn.find(row), std::string::npos) << row;
    for (size_t i = 4; i + 1 < p.frames.size(); ++i) EXPECT_GE(p.frames[i].first - p.frames[i - 4].first, 1000 * kMs);
    EXPECT_EQ(p.out.find("result 0 after"), std::string::npos);
    EXPECT_NE(p.out.find("2 of 2 HUBs done with -h."), std::string::npos);
}

// Every HUB run appends a line to the history; --history shows the latest
// state of each HUB, by serial number, from whole lines only.
TEST(Fleet, KeepsAHistoryOfEveryHub) {
    Studio p;
    p.attach(t::hub(sim::Kind::TorvaneST, false, "COM1"));
    p.attach(t::hub(sim::Kind::Quillet, false, "COM2"));
    p.env["LOCALAPPDATA"] = "/appdata";
    for (int n : {1, 2}) {
        p.acts[n] = {.verdict = R"("ok": true, "text": "Done.")",
                     .data = R"({"serial_number": "HUB-)" + std::to_string(n) + R"(", "firmware_version": "2.3.1-R"})"};
    }
    ASSERT_EQ(p.run("-hinfo"), 0);
    p.acts = {{1, {.ms = 20000, .verdict = R"("ok": true, "text": "Done: upgraded.", "firmware_version": "2.4.0-R")"}}};
    ASSERT_EQ(p.run("-h st.tfh"), 0);
    const std::string path = "/appdata/zel_usb_interface/history.jsonl";
    p.files[path].content += R"({"serial": "HUB-3", "kind": "Quillet")";  // a line still being written
    const std::string& history = p.files[path].content;
    EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 3);
    const std::string sha = zel::fleet::sha256_hex(t::TwoPart{}.bytes());
    EXPECT_NE(history.find(R"("operation":"-h","arguments":["-h","st.tfh"],"image":{"file":"st.tfh","sha256":")" + sha +
                           R"("},"firmware_before":"2.3.1-R","firmware_after":"2.4.0-R")"),
              std::string::npos)
        << history;
    p.out.clear();
    EXPECT_EQ(p.run("--history"), 0);
    EXPECT_EQ(p.out,
              "serial  kind          location  firmware  last operation  when                 result\n"
              "HUB-1   Torvane (ST)  1-1       2.4.0-R   -h              2026-12-05 09:07:23  0\n"
              "HUB-2   Quillet       1-2       2.3.1-R   -hinfo          2026-12-05 09:07:03  0\n");
}

TEST(Fleet, Sha256OfKnownTexts) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [text, digest] : cases) {
        EXPECT_EQ(zel::fleet::sha256_hex({reinterpret_cast<const uint8_t*>(text.data()), text.size()}), digest);
    }
}

// Over the lines drawn last, each cut to the width, characters counted
// (not bytes), and what the old drawing had below cleared.
TEST(Fleet, RedrawsATableInPlace) {
    EXPECT_EQ(zel::vt_redraw_text({"port  stage", "żółw  ab"}, 0, 6), "port \x1b[K\nżółw \x1b[K\n");
    EXPECT_EQ(zel::vt_redraw_text({"a"}, 3, 80), "\r\x1b[3Aa\x1b[K\n\x1b[J");
}

// --- the real system ----------------------------------------------------------

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

// Waits for a started program; its exit status, or -1 when it did not end in time.
int wait_for(zel::Platform& p, zel::ChildProcess& child, int seconds) {
    int status = -1;
    for (int64_t end = p.tick_count() + seconds * 10'000'000LL; !child.ended(status) && p.tick_count() < end;)
        p.wait_children({&child}, 1000);
    return child.ended(status) ? status : -1;
}

// The tool and the fleet beside this test, started through the seam in a
// folder named in four languages; the fleet's plain output names a file of
// that folder.
TEST(FleetSeam, StartsTheToolInAFolderOfAnyName) {
    zel::Platform& p = zel::native_platform();
    const std::string self = p.executable_path();
    const bool exe = self.size() > 4 && self.substr(self.size() - 4) == ".exe";
    const std::string tool = self.substr(0, self.find_last_of("/\\") + 1) + "zel_usb_interface" + (exe ? ".exe" : "");
    const fs::path dir = fs::temp_directory_path() / fs::path(u8"Prüfstand_東京_Łódź_ёжик");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string folder = utf8(dir);
    zel::ChildSpec spec{tool,
                        {"-h", utf8(dir / u8"obraz_прошивка.tfh")},
                        {{"ZEL_JSON", utf8(dir / u8"zápis.json")}},
                        folder,
                        utf8(dir / u8"výstup.txt")};
    std::string why;
    std::unique_ptr<zel::ChildProcess> child = p.start_child(spec, why);
    ASSERT_TRUE(child) << why;
    EXPECT_EQ(wait_for(p, *child, 60), 25);
    EXPECT_NE(t::read_text(dir / u8"zápis.json").find("\"result\": 25"), std::string::npos);
    EXPECT_NE(t::read_text(dir / u8"výstup.txt").find("obraz_прошивка.tfh"), std::string::npos);
    EXPECT_TRUE(std::any_of(fs::directory_iterator(dir), fs::directory_iterator(),
                            [](const fs::directory_entry& e) { return e.path().extension() == ".log"; }));
    spec.program = self.substr(0, self.find_last_of("/\\") + 1) + "zel_fleet" + (exe ? ".exe" : "");
    spec.environment.clear();
    child = p.start_child(spec, why);  // -h with an image that is not there: refused before any HUB is looked for
    ASSERT_TRUE(child) << why;
    EXPECT_EQ(wait_for(p, *child, 60), 62);
    EXPECT_NE(t::read_text(dir / u8"výstup.txt").find("zel_fleet: the image " + utf8(dir / u8"obraz_прошивка.tfh")),
              std::string::npos)
        << t::read_text(dir / u8"výstup.txt");
    spec.program = folder + "/no-such-program";
    EXPECT_FALSE(p.start_child(spec, why));
    EXPECT_NE(why, "");
    fs::remove_all(dir);
}

// zel_fleet, zel_usb_interface and zel_hub_sim as they ship: four HUBs,
// the first comes back from the self-test's restart under another name, a
// step of the second's self-test fails; each run's event stream is there
// for the fleet to follow.
TEST(FleetSeam, AFleetOfTheRealProgramsOnTheStandIn) {
    const std::string bin = ZEL_BIN_DIR;
    if (!fs::exists(bin + "/zel_hub_sim")) GTEST_SKIP() << "no stand-in on this system";
    zel::Platform& p = zel::native_platform();
    const fs::path dir = fs::temp_directory_path() / ("zfl" + std::to_string(p.tick_count() % 100000));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string d = utf8(dir);
    std::ofstream(dir / "back.txt") << "port_name_after_reset = ttyACM7\n";
    std::ofstream(dir / "fail.txt") << "selftest.step.00241300.code = 7\n";
    std::string why;
    auto sim = p.start_child({bin + "/zel_hub_sim",
                              t::words("--dir " + d + "/s --hubs 4 --kinds quillet --scenario " + d +
                                       "/back.txt --hub --scenario " + d + "/fail.txt"),
                              {},
                              d,
                              d + "/sim.txt"},
                             why);
    ASSERT_TRUE(sim) << why;
    std::string lines;
    for (int i = 0; i < 200 && std::count(lines.begin(), lines.end(), '\n') < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lines = t::read_text(dir / "sim.txt");
    }
    const auto value = [&](const std::string& name) {
        const size_t at = lines.find(name + "=") + name.size() + 1;
        return lines.substr(at, lines.find('\n', at) - at);
    };
    const auto fleet = [&](const std::string& line) {
        auto started =
            p.start_child({bin + "/zel_fleet",
                           t::words(line + " --timing fast --records " + d + "/rec --history " + d + "/h.jsonl"),
                           {{"ZEL_SYSFS_ROOT", value("ZEL_SYSFS_ROOT")},
                            {"ZEL_DEV_ROOT", value("ZEL_DEV_ROOT")},
                            {"ZEL_PORT", "no-such-port"}},  // each run gets its own HUB's
                           d,
                           d + "/fleet.txt"},
                          why);
        EXPECT_TRUE(started) << why;
        return started;
    };
    std::unique_ptr<zel::ChildProcess> run = fleet("-stest");
    ASSERT_TRUE(run);
    EXPECT_EQ(wait_for(p, *run, 90), 60);
    std::string out = t::read_text(dir / "fleet.txt");
    for (const std::string& text :
         std::vector<std::string>{"/s/dev/ttyACM7  1-1       Quillet  QU-SIM-0001  2.3.1-R   0",
                                  "1-2 (" + d + "/s/dev/ttyACM1, QU-SIM-0002) Quillet: result 802",
                                  "3 of 4 HUBs done with -stest, 1 not.",
                                  "  FAILED 1-2 (" + d + "/s/dev/ttyACM1, QU-SIM-0002): Failed (error-code 802)"}) {
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
    }
    const std::string history = t::read_text(dir / "h.jsonl");
    for (const char* serial : {"QU-SIM-0001", "QU-SIM-0002", "QU-SIM-0003", "QU-SIM-0004"})
        EXPECT_NE(history.find(std::string("\"serial\":\"") + serial), std::string::npos) << serial;
    const fs::path records = fs::directory_iterator(dir / "rec")->path();
    for (const char* hub : {"1-1", "1-2", "1-3", "1-4"}) {
        EXPECT_NE(t::read_text(records / hub / "record.json").find("\"operation\": \"-stest\""), std::string::npos);
        EXPECT_NE(t::read_text(records / hub / "console.txt").find("Self-test"), std::string::npos) << hub;
    }
    // Each run's events from its start to its end, naming the HUB's port (after the restart, its new name).
    for (const auto& [hub, end, port] :
         {std::tuple{"1-1", "\"result\":0,", "ttyACM7"}, std::tuple{"1-2", "\"result\":802,", "ttyACM1"}}) {
        const std::string events = t::read_text(records / hub / "events.jsonl");
        const std::string last = events.substr(events.rfind('\n', events.size() - 2) + 1);
        EXPECT_TRUE(events.starts_with("{\"event\":\"start\",") && last.starts_with("{\"event\":\"end\",") &&
                    last.find(end) != std::string::npos &&
                    events.find("\"event\":\"stage\",\"t\":") != std::string::npos &&
                    events.find("\"port\":\"" + d + "/s/dev/" + port + "\"") != std::string::npos)
            << events;
    }
    // Interrupted during the upgrade: the fleet alone gets the signal and
    // stops each run, which tells where it stopped.
    std::ofstream(dir / "hub.tfh", std::ios::binary) << Studio::as_text(t::TwoPart{'H', 2, 65536, 65536}.bytes());
    run = fleet("-h hub.tfh");
    ASSERT_TRUE(run);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int64_t asked = p.tick_count();
    run->interrupt();
    EXPECT_EQ(wait_for(p, *run, 30), 130);
    EXPECT_LT(p.tick_count() - asked, 5 * 10'000'000LL);
    out = t::read_text(dir / "fleet.txt");
    EXPECT_NE(out.find("Interrupted (SIGINT): every run was stopped."), std::string::npos) << out;
    EXPECT_NE(out.find("  FAILED 1-4 (" + d + "/s/dev/ttyACM3, QU-SIM-0004): Interrupted (SIGINT) while "),
              std::string::npos);
    sim->interrupt();
    EXPECT_EQ(wait_for(p, *sim, 10), 0);
    fs::remove_all(dir);
}

}  // namespace
