#include <gtest/gtest.h>

#include "scenario.hpp"
#include "src/Command.hpp"

namespace {

using scenario::Scenario;
using sim::Fault;
using sim::FaultRule;
using sim::HubConfig;
using sim::Kind;

using scenario::kMs;

// A command that exposes the exchange primitives to the tests.
class Probe final : public Command {
public:
    int32_t RunCommand() override { return 0; }
    using Command::_read_block;
    using Command::_receive_message;
    using Command::_send_byte;
    using Command::_send_message;
    using Command::legacy_hub;
    using Command::report_exchange_error;
};

// A connected probe command on a fresh scenario.
class CommandBase : public ::testing::Test {
protected:
    void SetUp() override { USB_Logger::Discard(); }
    void TearDown() override {
        probe.reset();
        USB_Logger::Discard();
    }
    Probe& connect(HubConfig config = {}) {
        s.attach(std::move(config));
        zel::set_active_platform(&s.platform);
        probe = std::make_unique<Probe>();
        EXPECT_EQ(probe->Connect(), 0);
        s.platform.appended.clear();
        return *probe;
    }
    // Queues bytes from the HUB, `delay_ms` from now.
    void hub_sends(std::vector<uint8_t> bytes, int64_t delay_ms = 0) {
        int64_t t = s.platform.now() + delay_ms * kMs;
        for (uint8_t b : bytes) s.hub().output().push_back({t += 33, b});
    }

    Scenario s;
    std::unique_ptr<Probe> probe;
};

TEST_F(CommandBase, ReporterTextsForEveryCode) {
    Probe& p = connect();
    EXPECT_FALSE(p.report_exchange_error(0, "X::Y", "src/X", 7));
    EXPECT_TRUE(s.log().empty());
    const std::vector<std::pair<int, std::string>> codes = {
        {1, "what(): write() failed\n"},
        {2, "what(): write/read failed - differences between messages (tx, rx)\n"},
        {3, "what(): read() failed - unexpected amount of bytes\n"},
        {4, "what(): read() failed - HUB v2.0.0 with no feedback!\n"},
        {5, "what(): read() failed - HUB v2.0.0 read feedback in previous line!\n"},
        {-1, "what(): Virtual serial port not connected \n"},
    };
    for (const auto& [code, second] : codes) {
        s.platform.appended.clear();
        EXPECT_TRUE(p.report_exchange_error(code, "SimpleCommand::RunCommand", "src/SimpleCommand", 42));
        const auto log = s.log();
        ASSERT_EQ(log.size(), 2u) << code;
        EXPECT_EQ(log[0].level, "ERROR");
        EXPECT_EQ(log[0].text, "USB CDC read/write interface: error calling \"SimpleCommand::RunCommand\" at src/SimpleCommand:42.\n");
        EXPECT_EQ(log[1].level, "ERROR");
        EXPECT_EQ(log[1].text, second);
    }
    s.platform.appended.clear();
    EXPECT_TRUE(p.report_exchange_error(9, "A::B", "src/A", 1));
    EXPECT_EQ(s.log().size(), 1u);
}

TEST_F(CommandBase, EchoCheckCodes) {
    HubConfig c;
    c.faults = {FaultRule{1, {}, 0, {Fault::EchoByteChanged, 17}}, FaultRule{2, {}, 0, {Fault::NoEcho}},
                FaultRule{3, {}, 0, {Fault::PartialEcho, 0, 60}}};
    Probe& p = connect(c);
    const auto req = scenario::request({0x00, 0x7F, 0x7F, 0x00});  // a word the HUB does not answer
    EXPECT_EQ(p._send_message(req.data(), 104, true), 2);
    const int64_t before = s.platform.now();
    EXPECT_EQ(p._send_message(req.data(), 104, true), 3);
    // A silent HUB: one read that waits the port's own 10*104+10 ms.
    EXPECT_EQ(s.platform.now() - before, 163200 + sim::wire_ticks(104) + 1050 * kMs);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 104\n"));
    EXPECT_EQ(p._send_message(req.data(), 104, true), 3);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 60 == 104\n"));
    EXPECT_EQ(p._send_message(req.data(), 104, true), 0);
}

TEST_F(CommandBase, ReplyCheckByFraming) {
    Probe& p = connect();
    uint8_t reply[104] = {};
    hub_sends(std::vector<uint8_t>(104, 0x11));
    EXPECT_EQ(p._receive_message(reply, 104, 45), 0);  // current framing: the first byte is not looked at
    hub_sends(std::vector<uint8_t>(50, 0x11));
    EXPECT_EQ(p._receive_message(reply, 104, 45), 4);
    EXPECT_EQ(p._receive_message(reply, 104, 45), 4);  // nothing at all

    s.platform.appended.clear();
    hub_sends({0x07, 0x00, 0x49, 0x80});
    EXPECT_EQ(p._receive_message(reply, 104, 45), 5);
    EXPECT_TRUE(s.logged("WARNING", "Command::_receive_message: What() Error in command issued -> status 0x80490007\n"));

    p.legacy_hub = true;
    hub_sends(std::vector<uint8_t>(104, 0x11));
    EXPECT_EQ(p._receive_message(reply, 104, 45), 2);
    std::vector<uint8_t> marked(104, 0);
    marked[0] = 0xAE;
    hub_sends(marked);
    EXPECT_EQ(p._receive_message(reply, 104, 45), 0);
    hub_sends({0xAE, 0, 0, 0});
    EXPECT_EQ(p._receive_message(reply, 104, 45), 3);
}

TEST_F(CommandBase, ReadLimitIsChargedOnlyForReadsThatBringNothing) {
    Probe& p = connect();
    uint8_t buffer[104];
    // 50 bytes now, the rest 500 ms later: the pieces are assembled although
    // the wait exceeds the 100 ms limit, since reads that bring data are free.
    hub_sends(std::vector<uint8_t>(50, 1));
    hub_sends(std::vector<uint8_t>(54, 2), 500);
    EXPECT_EQ(p.serial().read_port(buffer, 104, 100), 104);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[103], 2);

    // Nothing at all for 4 bytes with 2000 ms: empty reads of 50 ms until 2000 ms are charged.
    s.platform.appended.clear();
    const int64_t start = s.platform.now();
    EXPECT_EQ(p.serial().read_port(buffer, 4, 2000), -1);
    EXPECT_EQ(s.platform.now() - start, 2000 * kMs);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 4\n"));

    // A limit of 0 still makes one read.
    hub_sends({9});
    EXPECT_EQ(p.serial().read_port(buffer, 1, 0), 1);
}

TEST_F(CommandBase, ReadBlockReturnsWhatCameWithItsWarning) {
    Probe& p = connect();
    uint8_t block[1250];
    hub_sends(std::vector<uint8_t>(1000, 3));
    s.platform.appended.clear();
    EXPECT_EQ(p._read_block(block, 45), 1000);
    EXPECT_TRUE(s.logged("WARNING", "zel_usb_cdc_interface::read_port(): Warning! Length missmatch 1000 == 1250\n"));
    hub_sends(std::vector<uint8_t>(1300, 4));
    EXPECT_EQ(p._read_block(block, 45), 1250);
    EXPECT_EQ(s.hub().output().size(), 50u);  // the rest waits for the next block
}

TEST_F(CommandBase, SendByteAcceptsAnyEchoByte) {
    HubConfig c;
    c.faults = {FaultRule{2, {}, 0, {Fault::NoEcho}}};
    Probe& p = connect(c);
    const uint8_t q = '?';
    EXPECT_EQ(p._send_byte(&q), 1);
    EXPECT_EQ(p._send_byte(&q), -1);  // the second typed byte gets no echo
}

TEST_F(CommandBase, QuilletIsNotProbed) {
    HubConfig c;
    c.kind = Kind::Quillet;
    s.attach(c);
    EXPECT_EQ(s.run({"-srf"}), 0);
    EXPECT_NE(s.find("CDC-interface: A Quillet detected... \n"), -1);
    EXPECT_EQ(s.find("Checking hub version...\n"), -1);
    EXPECT_NE(s.find("HUB version 2.0.0 or higher!!\n"), -1);
    ASSERT_EQ(s.writes().size(), 1u);
    EXPECT_EQ(s.writes()[0], scenario::request({0x00, 0x15, 0x18, 0x00}));
}

TEST_F(CommandBase, LegacyHubIsRecognisedBySilenceAfterTheProbe) {
    HubConfig c;
    c.legacy = true;
    s.attach(c);
    EXPECT_EQ(s.run({"-srf"}), 0);
    const int warn = s.find("zel_usb_cdc_interface::read_port(): Warning! Length missmatch 0 == 4\n");
    ASSERT_NE(warn, -1);
    EXPECT_EQ(s.find("HUB with legacy version\n"), warn + 1);

    Scenario two;
    HubConfig short_answer;
    short_answer.faults = {FaultRule{0, {}, 0, {Fault::ShortReply, 0, 2}}};
    two.attach(short_answer);
    EXPECT_EQ(two.run({"-srf"}), 0);
    const int w2 = two.find("zel_usb_cdc_interface::read_port(): Warning! Length missmatch 2 == 4\n");
    ASSERT_NE(w2, -1);
    EXPECT_EQ(two.find("HUB with legacy version\n"), w2 + 1);
}

TEST_F(CommandBase, ProbeWithoutEchoIsReportedAndTheCommandStillRuns) {
    HubConfig c;
    c.faults = {FaultRule{0, {}, 0, {Fault::NoEcho}}};
    s.attach(c);
    EXPECT_EQ(s.run({"-srf"}), 0);
    EXPECT_TRUE(s.reported("Command::_check_HUB_version", "what(): read() failed - unexpected amount of bytes\n"));
    EXPECT_EQ(s.find("HUB with legacy version\n"), -1);
    EXPECT_TRUE(s.logged("INFO", "Restart the suit!\r\n"));
}

TEST_F(CommandBase, OnlyTheFirstOfTwoHubsIsOpenedEvenWhenItFails) {
    HubConfig first;
    first.refuse_opens = 100;
    HubConfig second;
    second.port_name = "COM4";
    s.attach(first);
    s.attach(second);
    EXPECT_EQ(s.run({"-srf"}), 6);
    EXPECT_TRUE(s.logged("ERROR", "CDC-interface: Failed to create a reference file for COM3!!\n"));
    EXPECT_TRUE(s.logged("ERROR", "CDC-interface: Virtual-serial port 'COM3' no detected!\n"));
    EXPECT_TRUE(s.hub(1).requests().empty());
    // Twenty attempts, each followed by a one-second sleep.
    EXPECT_EQ(s.platform.waits.size(), 20u);
    EXPECT_EQ(s.platform.now(), 20000 * kMs);
}

TEST_F(CommandBase, PortTableKeepsTenEntriesAndOnlyUsableNames) {
    HubConfig too_long;
    too_long.port_name = std::string(45, 'L');
    s.attach(too_long);
    for (int i = 0; i < 12; ++i) {
        HubConfig c;
        c.port_name = "COM" + std::to_string(20 + i);
        c.kind = i % 2 ? Kind::Quillet : Kind::TorvaneAtmel;
        s.attach(c);
    }
    zel::set_active_platform(&s.platform);
    Probe p;
    zel_usb_cdc_interface& port = p.serial();
    ASSERT_EQ(port.port_count, 10);
    for (int i = 0; i < 10; ++i) {
#ifdef _WIN32
        EXPECT_EQ(std::string(port.ports[i].name), "\\\\.\\COM" + std::to_string(20 + i));
#else
        EXPECT_EQ(std::string(port.ports[i].name), "COM" + std::to_string(20 + i));
#endif
        EXPECT_EQ(port.ports[i].device_type, i % 2 ? 2u : 1u);
    }
    // A repeated discovery starts afresh rather than appending behind a full table.
    port.clear_ports();
    EXPECT_TRUE(port.find_ports());
    EXPECT_EQ(port.port_count, 10);
}

TEST(PortNames, PrefixRuleAndIdentifiers) {
    char name[PortEntry::kNameSize];
    EXPECT_TRUE(make_port_entry_name(std::string(35, 'x'), name));
    EXPECT_FALSE(make_port_entry_name(std::string(39 + 1, 'x'), name));
    EXPECT_FALSE(make_port_entry_name("", name));

    EXPECT_EQ(device_type_of({0x03EB, 0x2404}), 1u);
    EXPECT_EQ(device_type_of({0x03EB, 0x1111}), 2u);
    EXPECT_EQ(device_type_of({0x0483, 0x5740}), 2u);
    EXPECT_EQ(device_type_of({0x0483, 0xA432}), 3u);
}

TEST(PortDiscovery, MatchesSearchTextsAnywhereInThePathOncePerPair) {
    // A platform listing fixed device paths, to test the matching as plain code.
    struct Listing : sim::SimPlatform {
        std::vector<zel::UsbSerialDevice> devices;
        std::vector<zel::UsbSerialDevice> list_usb_serial_devices() override { return devices; }
    } platform;
    platform.devices = {
        {"\\\\?\\usb#vid_046d&pid_c52b#5&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "COM1"},  // not a HUB
        {"\\\\?\\usb#vid_0483&pid_a432#6&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "COM7"},
        {"\\\\?\\USB#VID_03EB&PID_2404#7&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "COM8"},  // case-sensitive: no match
        {"vid_0483&pid_5740 and vid_0483&pid_a432", "COM9"},                                   // both pairs
    };
    zel::set_active_platform(&platform);
    USB_Logger::Discard();
    zel_usb_cdc_interface port;
    port.usb_ids = {{0x03EB, 0x2404}, {0x0483, 0x5740}, {0x0483, 0xA432}};
    EXPECT_TRUE(port.find_ports());
    ASSERT_EQ(port.port_count, 3);
    EXPECT_STREQ(port.ports[0].name, "COM7");
    EXPECT_EQ(port.ports[0].device_type, 3u);
    EXPECT_STREQ(port.ports[1].name, "COM9");
    EXPECT_EQ(port.ports[1].device_type, 2u);
    EXPECT_STREQ(port.ports[2].name, "COM9");
    EXPECT_EQ(port.ports[2].device_type, 3u);
    platform.devices.resize(1);
    EXPECT_FALSE(port.find_ports());
    USB_Logger::Discard();
}

TEST_F(CommandBase, SensorTriggersReconnectAndLogInOrder) {
    // The HUB restarts on the trigger; it may come back under another name.
    for (const auto& [option, back_as] : {std::pair{"-srf", ""}, std::pair{"-sfb", ""}, std::pair{"-sfb", "COM11"}}) {
        SCOPED_TRACE(std::string(option) + " " + back_as);
        const bool run_firmware = option == std::string("-srf");
        Scenario t;
        HubConfig c;
        c.sensor_trigger_drops = true;
        c.port_name_after_reset = back_as;
        t.attach(c);
        EXPECT_EQ(t.run({option}), 0);
        std::vector<std::string> expected = {
            "Creating object SimpleCommand:\n", "\tNo additional information to send\n", "\tNo additional feedback expected\n",
            "CDC-interface: A Torvane detected... \n", "CDC-interface: No port-name provided... \n",
            "CDC-interface: Connecting to 'COM3'\n", "Opening COM port\n", "Checking hub version...\n",
            "HUB version 2.0.0 or higher!!\n", "Closing com port\n", "Opening COM port\n"};
        if (run_firmware) {
            expected.push_back("Trigger sensors to run firmware command sent!\r\n");
            expected.push_back("Restart the suit!\r\n");
        } else {
            expected.push_back("Trigger to bootloader command sent!\r\n");
        }
        expected.push_back("Closing com port\n");  // the command's end closes the reopened port
        EXPECT_EQ(t.texts(), expected);
        // The probe: 104 zero bytes; then the trigger.
        EXPECT_EQ(t.writes(), (std::vector<std::vector<uint8_t>>{std::vector<uint8_t>(104, 0),
                                                                 scenario::request({0x00, 0x15, uint8_t(run_firmware ? 0x18 : 0x48), 0x00})}));
        // The opening slept one second after creating the handle, the probe
        // had its echo pause. The trigger's echo is not read: after the write
        // come the echo pause, the 5000 ms sleep and the reopening's 1000 ms.
        const auto& w = t.platform.waits;
        ASSERT_EQ(w.size(), 5u);
        const int64_t durations[] = {1000 * kMs, 163200, 163200, 5000 * kMs, 1000 * kMs};
        const sim::Wait::Kind kinds[] = {sim::Wait::Sleep, sim::Wait::Timer, sim::Wait::Timer, sim::Wait::Sleep, sim::Wait::Sleep};
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(w[i].duration, durations[i]) << i;
            EXPECT_EQ(w[i].kind, kinds[i]) << i;
        }
        EXPECT_EQ(t.platform.open_handles(), 0u);
    }
}

TEST_F(CommandBase, HubThatDoesNotReturnLeavesThePortClosed) {
    HubConfig c;
    c.sensor_trigger_drops = true;
    c.reset_absent_ms = 60000;
    s.attach(c);
    EXPECT_EQ(s.run({"-srf"}), 0);
    int closings = 0;
    for (const auto& text : s.texts()) closings += text == "Closing com port\n";
    EXPECT_EQ(closings, 1);  // the destructor finds nothing open
    EXPECT_EQ(s.find("Opening COM port\n", s.find("Closing com port\n")), -1);
    EXPECT_TRUE(s.logged("INFO", "Restart the suit!\r\n"));
}

TEST_F(CommandBase, TriggersThatFailGive41) {
    HubConfig back_but_refused;
    back_but_refused.sensor_trigger_drops = true;
    back_but_refused.refuse_opens_after_restart = 20;
    Scenario t;
    t.attach(back_but_refused);
    EXPECT_EQ(t.run({"-sfb"}), 41);
    EXPECT_TRUE(t.logged("ERROR", "CDC-interface: Failed to create a reference file for COM3!!\n"));
    EXPECT_TRUE(t.logged("ERROR", "what(): Virtual serial port not connected \n"));
    EXPECT_TRUE(t.logged("ERROR", "Something went wrong trying to trigger sensors to bootloader - error-code 41!!\n"));

    HubConfig gone;  // right after the probe's echo: the trigger cannot be written
    gone.faults = {FaultRule{0, {}, 0, {Fault::Vanish, 0, 0, 0, -1}}};
    s.attach(gone);
    EXPECT_EQ(s.run({"-srf"}), 41);
    EXPECT_TRUE(s.logged("ERROR", "what(): write() failed\n"));
    EXPECT_TRUE(s.logged("INFO", "Trigger sensors to run firmware command sent!\r\n"));
    EXPECT_TRUE(s.logged("ERROR", "Something went wrong trying to trigger sensors to run firmware - error-code 41!!\n"));
}

TEST(PortDiscoveryLimits, AMatchThatAddsNoEntryIsNotAFind) {
    // A HUB whose port name does not fit the table is not "found": the
    // connection must fail at once instead of opening an empty name.
    Scenario s;
    HubConfig c;
    c.port_name = std::string(45, 'p');
    s.attach(c);
    EXPECT_EQ(s.run({"-srf"}), 6);
    EXPECT_EQ(s.find("CDC-interface: Connecting to ''\n"), -1);
    EXPECT_TRUE(s.platform.waits.empty());
}

}  // namespace
