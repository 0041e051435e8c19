// Every number a step of the tool can end with, by who returns it: the
// serial layer's negatives and statuses, the exchange codes, and each
// command's results (the run's exit code, README.md lists them). 0 means
// done, everywhere. A new result takes a free number here, and nowhere else.
#pragma once

namespace results {

// zel_usb_cdc_interface: what a port call returned, and the port's status.
namespace port {
inline constexpr int kReadFailed = -1;  // read_port: fewer bytes than asked for came
inline constexpr int kWriteFailed = -2;
// open_port
inline constexpr int kNotCreated = -11;  // no handle after every attempt
inline constexpr int kStateNotSet = -7;
inline constexpr int kQueuesNotSet = -5;
inline constexpr int kTimeoutsNotSet = -12;
inline constexpr int kHeldByAnotherRun = -13;
// reopen_after_restart: the HUB could not be opened again, or did not come back.
inline constexpr int kNotReopened = -1;
// How a fast restart went, besides 0 (reopened) and kNotReopened.
inline constexpr int kRestartNeverLeft = 1;  // it stayed on the bus: the documented restart takes over
inline constexpr int kRestartLost = -2;      // it did not come back
// The port's status: its discovery found nothing / Connect could not open it.
inline constexpr int kStatusNoPort = -3;
inline constexpr int kStatusNotOpened = -4;
}  // namespace port

// Command::Connect: besides 0, the port could not be chosen or opened.
namespace connect {
inline constexpr int kFailed = -1;
}

// Every exchange step: each is reported with its own text.
namespace exchange {
inline constexpr int kOk = 0;
inline constexpr int kWriteFailed = 1;
inline constexpr int kMismatch = 2;  // the echo, or a legacy reply's marker
inline constexpr int kShort = 3;
inline constexpr int kNoFeedback = 4;
inline constexpr int kStatusOnly = 5;  // a 4-byte status came instead of the reply
inline constexpr int kNotConnected = -1;
}  // namespace exchange

// The driver's own.
namespace driver {
inline constexpr int kConnectionFailed = 6;
inline constexpr int kInterrupted = 130;  // as a shell reports a run ended by Ctrl-C
}  // namespace driver

namespace hub_info {  // -hinfo
inline constexpr int kRequestFailed = 10;
inline constexpr int kReplyFailed = 11;
}  // namespace hub_info

namespace scan {  // -rs
inline constexpr int kRequestFailed = 12;
inline constexpr int kReplyFailed = 13;
}  // namespace scan

namespace read_network {  // -r
inline constexpr int kFileNotWritten = 14;
inline constexpr int kRequestFailed = 20;
inline constexpr int kReplyFailed = 21;
}  // namespace read_network

namespace write_network {  // -w; otherwise the HUB's status word
inline constexpr int kRequestFailed = 16;
inline constexpr int kReplyFailed = 17;
inline constexpr int kFileRefused = 18;
}  // namespace write_network

namespace upgrade {  // -h, -s, -sb
inline constexpr int kPathTooLong = 23;
inline constexpr int kNotValid = 24;
inline constexpr int kBadImage = 25;
inline constexpr int kRequestFailed = 26;  // a request of the boot information, the sensor count or auto addressing
inline constexpr int kReplyFailed = 27;    // its reply
inline constexpr int kStartTriggerFailed = 28;
inline constexpr int kFinalTriggerFailed = 29;
inline constexpr int kChunkFailed = 30;
inline constexpr int kEnterBootloaderFailed = 31;
inline constexpr int kSensorEntriesMissing = 32;
inline constexpr int kBootInfoFailed = 33;
inline constexpr int kAutoAddressingFailed = 34;
inline constexpr int kBootTriggerFailed = 35;
inline constexpr int kNotSupported = 36;
inline constexpr int kSensorsNotReady = 37;
// The exchanges went through, but the report says the job was not done.
inline constexpr int kBootloaderReportedFailure = 38;  // the HUB's bootloader: neither 0xE0 nor 0xE3
inline constexpr int kSensorsReportedFailure = 39;     // a sensor reported anything but 0xE0
}  // namespace upgrade

namespace trigger {  // -srf, -sfb
inline constexpr int kNotSent = 41;
}

namespace hub_log {  // -log
inline constexpr int kTypingFailed = 51;
inline constexpr int kNoLogArea = 53;
}  // namespace hub_log

namespace sensor_info {  // -sinfo
inline constexpr int kLegacyHub = 71;
inline constexpr int kRequestFailed = 72;
inline constexpr int kNoData = 73;
}  // namespace sensor_info

namespace self_test {  // -stest; otherwise the HUB's reply word
inline constexpr int kExchangeFailed = 801;
inline constexpr int kStepFailed = 802;  // the test ran to its end, and a step failed
inline constexpr int kIncompatible = 803;
inline constexpr int kUnsupportedDevice = 804;
}  // namespace self_test

// zel_fleet's own results, apart from every result of the tool.
namespace fleet {
inline constexpr int kAllDone = 0;
inline constexpr int kSomeFailed = 60;    // a HUB's run did not end with 0, or an asked-for HUB is missing
inline constexpr int kNoHub = 61;         // no HUB attached, or none of them chosen
inline constexpr int kBadArguments = 62;  // arguments, or an input file, that cannot be used
inline constexpr int kCannotStart = 63;   // no zel_usb_interface beside zel_fleet, or no records folder
inline constexpr int kInterrupted = driver::kInterrupted;
}  // namespace fleet

}  // namespace results
