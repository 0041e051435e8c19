// The stand-in's images: made by zel_hub_sim --make-image, taken by the HUB
// model of every kind, the firmware an upgrade gives reported afterwards
// (and the old one after an upgrade that did not take). Two HUBs served at
// once are the end-to-end tests'.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "tests/support.hpp"

namespace {

using t::Bench;
using t::Kind;

const std::string kSim = std::string(ZEL_BIN_DIR) + "/zel_hub_sim";

// Standard output and exit status of a shell command.
std::pair<std::string, int> shell(FILE* pipe) {
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(StandIn, MadeImagesOfEveryKindInstallTheirFirmwareOnlyWhenWhole) {
    struct Case {
        Kind kind;
        std::string image, option;
        int runs, result;
        std::string after, expected;  // an operation after the upgrade, and a text it shows
        std::function<void(sim::HubConfig&)> tweak;
    };
    const std::vector<Case> cases = {
        {Kind::TorvaneAtmel, "atmel", "-h", 1, 0, "-hinfo", "\tHUB firmware version v2.4.0-R build", {}},
        {Kind::Quillet, "quillet", "-h", 1, 0, "-hinfo", "\tHUB firmware version v2.4.0-R build", {}},
        {Kind::TorvaneST, "st", "-h", 2, 0, "-hinfo", "\tHUB firmware version v2.5.0-R build", {}},
        {Kind::TorvaneST, "st", "-h", 1, 0, "-hinfo", "\tHUB firmware version v3.0.0-R build",
         [](sim::HubConfig& c) { c.firmware.new_version = 0x03000052; }},
        {Kind::TorvaneST, "sensor", "-s", 1, 0, "-sinfo", "Firmware version 1.6.0-B\n    Signature 0x5e5e0042\n", {}},
        {Kind::Quillet, "sensor", "-s", 1, 0, "-sinfo", "Firmware version 2.0.0-A\n    Signature 0x5e5e0042\n",
         [](sim::HubConfig& c) { c.firmware.new_sensor_version = 0x02000041; }},
        // The bootloader finds the image bad: the old firmware stays.
        {Kind::TorvaneAtmel, "atmel", "-h", 1, 38, "-hinfo", "\tHUB firmware version v2.3.1-R build",
         [](sim::HubConfig& c) { c.firmware.boot_status = 0x13; }},
        // A sensor image cut short by a lost chunk.
        {Kind::TorvaneST, "sensor", "-s", 1, 30, "-sinfo", "Firmware version 1.5.0-B\n    Signature 0x5e000000\n",
         [](sim::HubConfig& c) { c.faults.push_back(t::on_word(0x00171500, {sim::Fault::NoEcho}, 2)); }},
    };
    const std::string path = "/tmp/zel-standin-" + std::to_string(::getpid());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image + " " + c.option + " " + c.expected);
        const auto [said, made] = shell(
            ::popen((kSim + " --make-image " + c.image + " " + path + " --size 1300 --signature 0x5e5e0042").c_str(),
                    "r"));
        ASSERT_EQ(made, 0);
        EXPECT_NE(said.find("firmware signature 0x5e5e0042"), std::string::npos) << said;
        sim::HubConfig hub = t::hub(c.kind);
        if (c.tweak) c.tweak(hub);
        Bench b(hub);
        const std::string bytes = t::read_text(path);
        b.put("img", t::Bytes(bytes.begin(), bytes.end()));
        std::remove(path.c_str());
        for (int i = 0; i < c.runs; ++i) EXPECT_EQ(b.run({c.option, "img"}), c.result) << b.at("ERROR");
        // The signature the image carries where the HUB reports it.
        EXPECT_EQ(c.option == "-h", b.p.out.find("Firmware signature 0x5e5e0042 - version") != std::string::npos);
        EXPECT_TRUE(b.hub().config().firmware.violations.empty()) << b.hub().config().firmware.violations[0];
        b.p.out.clear();
        ASSERT_EQ(b.run({c.after}), 0);
        EXPECT_NE(b.p.out.find(c.expected), std::string::npos) << b.p.out;
    }
}

}  // namespace
