#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "scenario.hpp"
#include "src/GetHUBLogFile.hpp"

namespace {

using scenario::Scenario;
using sim::Fault;
using sim::HubConfig;

const std::string kMismatch = "zel_usb_cdc_interface::read_port(): Warning! Length missmatch ";

HubConfig log_hub(std::string prefix, std::string text) {
    HubConfig c;
    c.info.log_prefix = std::move(prefix);
    c.info.log_text = std::move(text);
    return c;
}

// The texts logged after the HUB's version line, up to the port's closing.
std::vector<std::string> after_connect(const Scenario& s) {
    const auto texts = s.texts();
    auto from = std::find(texts.begin(), texts.end(), "HUB version 2.0.0 or higher!!\n");
    return from == texts.end() ? texts : std::vector<std::string>(from + 1, texts.end());
}

// Runs the command object itself, so the test sees the buffer it fills.
int run_direct(Scenario& s, HubConfig config, HUBLogFile* log, size_t* left_in_port = nullptr) {
    USB_Logger::Discard();
    s.attach(std::move(config));
    zel::set_active_platform(&s.platform);
    int code = -100;
    {
        GetHUBLogFile command;
        const char typed[] = "? log\r";
        std::copy(typed, typed + 7, command.request.begin());
        command.log_file = log;
        EXPECT_EQ(command.Connect(), 0);
        s.platform.appended.clear();
        code = command.RunCommand();
        if (left_in_port != nullptr) *left_in_port = s.hub().output().size();
    }
    USB_Logger::Discard();
    return code;
}

TEST(InfoLog, TypesTheCommandByteByByteAndLogsTheLines) {
    Scenario s;
    s.attach(log_hub("\r\n", "line one\r\nline two"));
    ASSERT_EQ(s.run({"-log"}), 0);
    EXPECT_EQ(s.texts().front(), "Creating object GetHUBLogFile:\n");
    EXPECT_EQ(after_connect(s), (std::vector<std::string>{
                                    kMismatch + "20 == 1250\n",
                                    kMismatch + "0 == 1250\n",
                                    "LOG-file: Length 20\n",
                                    "LOG-file: line one\r\n",
                                    "LOG-file: line two\n",
                                    "Reading LOG-file done!\n",
                                    "Closing com port\n",
                                }));
    const auto writes = s.writes();
    ASSERT_EQ(writes.size(), 7u);  // the probe, then one write per character
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(writes[i + 1], std::vector<uint8_t>{uint8_t("? log\r"[i])}) << i;
    EXPECT_EQ(s.hub().config().info.console_lines, std::vector<std::string>{"? log"});

    // Opening, the probe's echo pause, an echo pause per character, then 500 ms.
    const auto& waits = s.platform.waits;
    ASSERT_EQ(waits.size(), 9u);
    for (size_t i = 1; i < 8; ++i) {
        EXPECT_EQ(waits[i].kind, sim::Wait::Timer);
        EXPECT_EQ(waits[i].duration, 163200);
    }
    EXPECT_EQ(waits[8].kind, sim::Wait::Timer);
    EXPECT_EQ(waits[8].duration, 5000000);
    // The answer is read only after that pause.
    const auto& trace = s.platform.trace;
    const auto first_text = std::find_if(trace.begin(), trace.end(),
                                         [](const sim::TraceEntry& e) { return !e.to_hub && e.bytes.size() > 1 && e.bytes[0] == '\r'; });
    ASSERT_NE(first_text, trace.end());
    EXPECT_GE(first_text->time, waits[8].start + waits[8].duration);
}

TEST(InfoLog, ThreeThousandBytesComeInThreeBlocks) {
    Scenario s;
    HUBLogFile log;
    std::string text(2998, 'x');
    ASSERT_EQ(run_direct(s, log_hub("\r\n", text), &log), 0);
    EXPECT_EQ(log.length, 3000);
    const auto texts = s.texts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], kMismatch + "500 == 1250\n");
    EXPECT_EQ(texts[1], kMismatch + "0 == 1250\n");
    EXPECT_EQ(texts[2], "LOG-file: Length 3000\n");
    EXPECT_EQ(texts[3], "LOG-file: " + std::string(1023 - 10, 'x'));  // the logger's own limit
    EXPECT_EQ(texts[4], "Closing com port\n");
    EXPECT_EQ(std::memcmp(log.data + 2, text.data(), text.size()), 0);
    EXPECT_EQ(log.data[3000], 0);
}

TEST(InfoLog, NothingOrOnlyTheLineEndGivesNoTextLine) {
    for (const std::string& sent : {std::string(), std::string("\r"), std::string("\r\n")}) {
        Scenario s;
        HUBLogFile log;
        log.length = 77;
        std::memset(log.data, 'q', sizeof log.data);  // stale content is cleared
        ASSERT_EQ(run_direct(s, log_hub(sent, ""), &log), 0);
        EXPECT_EQ(log.length, int32_t(sent.size()));
        std::vector<std::string> want = {kMismatch + "0 == 1250\n", "LOG-file: Length " + std::to_string(sent.size()) + "\n",
                                         "Closing com port\n"};
        if (!sent.empty()) want.insert(want.begin(), kMismatch + std::to_string(sent.size()) + " == 1250\n");
        EXPECT_EQ(s.texts(), want);
        EXPECT_TRUE(std::all_of(std::begin(log.data) + sent.size(), std::end(log.data), [](uint8_t b) { return b == 0; }));
    }
}

TEST(InfoLog, LongerLogIsCutToTheAreaButReadToTheEnd) {
    Scenario s;
    HubConfig c = log_hub("\r\n", "");
    std::string text = "#";  // puts the cut inside a line
    for (int i = 0; text.size() < 9000; ++i) text += "entry " + std::to_string(i) + "\r\n";
    c.info.log_text = text;
    c.info.log_piece = 700;  // several pieces, with pauses between them
    c.info.log_gap_ms = 30;
    HUBLogFile log;
    size_t left = 99;
    ASSERT_EQ(run_direct(s, c, &log, &left), 0);
    const int sent = int(text.size()) + 2;
    EXPECT_EQ(log.length, sent);  // everything that came is counted
    EXPECT_EQ(left, 0u);          // and nothing is left in the port
    EXPECT_EQ(std::memcmp(log.data + 2, text.data(), 7997), 0);
    EXPECT_EQ(log.data[7999], 0);  // the terminating zero survives
    EXPECT_TRUE(s.logged("INFO", "LOG-file: Length " + std::to_string(sent) + "\n"));
    // The last line logged is the one the area cut.
    const std::string kept(text.data(), 7997);
    const std::string last_line = kept.substr(kept.rfind('\n') + 1);
    ASSERT_FALSE(last_line.empty());
    const auto texts = s.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "LOG-file: " + last_line + "\n");
    EXPECT_EQ(s.find("LOG-file: #entry 0\r\n"), s.find("LOG-file: Length " + std::to_string(sent) + "\n") + 1);
}

TEST(InfoLog, MissingEchoOfACharacterGivesFiftyOne) {
    for (int k : {0, 3, 5}) {
        HubConfig c = log_hub("\r\n", "x");
        c.faults.push_back({1 + k, std::nullopt, 0, {Fault::NoEcho}});  // request 0 is the probe
        Scenario s;
        s.attach(c);
        EXPECT_EQ(s.run({"-log"}), 51) << k;
        const auto texts = after_connect(s);
        ASSERT_EQ(texts.size(), 4u) << k;
        EXPECT_EQ(texts[0], kMismatch + "0 == 1\n");
        EXPECT_EQ(texts[1].rfind("GetHUBLogFile::RunCommand: error -1 at src/GetHUBLogFile:", 0), 0u) << texts[1];
        EXPECT_TRUE(s.logged("ERROR", texts[1]));
        EXPECT_EQ(texts[2], "Something went wrong reading LOG-file - error-code 51\n");
        EXPECT_TRUE(s.logged("ERROR", texts[2]));
        EXPECT_EQ(s.writes().size(), size_t(2 + k)) << k;  // typing stops at the silent character
    }
}

TEST(InfoLog, WithoutABufferNothingIsSent) {
    Scenario s;
    EXPECT_EQ(run_direct(s, {}, nullptr), 53);
    EXPECT_EQ(s.writes().size(), 1u);  // the probe of the connection only
}

TEST(InfoLog, LinesOfTheText) {
    auto lines_of = [](const std::string& received) {
        HUBLogFile log;
        std::memcpy(log.data, received.data(), std::min(received.size(), sizeof log.data));
        return log_text_lines(log);
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(lines_of(""), Lines{});
    EXPECT_EQ(lines_of("ab"), Lines{});
    EXPECT_EQ(lines_of("\r\na\nb\n"), (Lines{"a", "b"}));
    EXPECT_EQ(lines_of("\r\na\r\n\nb"), (Lines{"a\r", "", "b"}));
    EXPECT_EQ(lines_of(std::string("\r\nkept\n\0lost\n", 13)), Lines{"kept"});
    // A full area still ends at its last byte.
    HUBLogFile full;
    std::memset(full.data, 'z', sizeof full.data);
    const Lines one = log_text_lines(full);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size(), size_t(HUBLogFile::kDataSize - 2));
}

}  // namespace
