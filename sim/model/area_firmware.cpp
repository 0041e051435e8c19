#include "sim/model/area_firmware.hpp"

#include <algorithm>
#include <cstdio>

#include "sim/model/hub_model.hpp"
#include "sim/model/wire.hpp"

namespace sim {

namespace {

constexpr uint8_t kMarker = 0xAE;
constexpr size_t kBootRequest = 536;
constexpr size_t kChunkBytes = 512;
constexpr size_t kEntry = 60;
// Filler for bytes a reader must not look at, so a wrong offset shows.
constexpr uint8_t kFiller = 0xA5;

std::string describe(const char* format, long long a = 0, long long b = 0, long long c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

int64_t ms(int64_t t) {
    return t / kTicksPerMs;
}

// The current-framing forms are taken only by a current HUB and the 0xAE
// forms only by a legacy one; a Quillet is never legacy.
bool is_legacy(const HubModel& hub) {
    return hub.config().legacy && hub.config().kind != Kind::Quillet;
}

bool is_form(const std::vector<uint8_t>& b, uint8_t code) {
    return b.size() >= 4 && b[0] == kMarker && b[2] == code;
}

ReceivedPart start_part(const uint8_t* r, int64_t now) {
    ReceivedPart part;
    part.trigger_word = le32(r);
    part.selector = le32(r + 4);
    part.fw_length = le32(r + 8);
    part.data_signature = le32(r + 12);
    part.fw_signature = le32(r + 16);
    part.image_word = le32(r + 20);
    part.first_block.assign(r + 24, r + kBootRequest);
    part.triggered_at = now;
    part.complete = part.fw_length == 0;
    return part;
}

// Takes one chunk into the part; true when the part is now complete.
bool take_chunk(ReceivedPart& part, const uint8_t* r, std::vector<std::string>& violations, const char* who) {
    const uint32_t declared = le32(r + 4);
    const size_t due = part.fw_length - part.data.size();
    const size_t expected = std::min(due, kChunkBytes);
    if (declared != expected) {
        char text[200];
        std::snprintf(text, sizeof text, "%s: chunk %zu declared %u bytes where %zu were due", who,
                      part.chunk_lengths.size(), declared, expected);
        violations.push_back(text);
    }
    part.chunk_lengths.push_back(declared);
    const size_t take = std::min<size_t>({declared, kChunkBytes, due});
    part.data.insert(part.data.end(), r + 24, r + 24 + take);
    part.complete = part.data.size() >= part.fw_length;
    return part.complete;
}

void violation(FirmwareArea& a, std::string text) {
    a.violations.push_back(std::move(text));
}

// The parts of the transfer in progress, and the last complete one of them.
size_t session_parts(const FirmwareArea& a) {
    return a.hub_parts.size() - std::min(a.hub_first_part, a.hub_parts.size());
}

const ReceivedPart* last_complete_part(const FirmwareArea& a) {
    for (size_t i = a.hub_parts.size(); i > a.hub_first_part; --i) {
        if (a.hub_parts[i - 1].complete) return &a.hub_parts[i - 1];
    }
    return nullptr;
}

// A whole image: every part complete, and as many as an ST bootloader takes.
bool whole_image(const HubModel& hub, const FirmwareArea& a) {
    const size_t parts = session_parts(a);
    if (parts == 0 || !a.hub_parts.back().complete) return false;
    if (hub.config().kind != Kind::TorvaneAtmel && int(parts) < a.st_parts) return false;
    return std::all_of(a.hub_parts.begin() + long(a.hub_first_part), a.hub_parts.end(),
                       [](const ReceivedPart& p) { return p.complete; });
}

// --- the HUB's bootloader ------------------------------------------------------

void queue_boot_message(FirmwareArea& a, Exchange& ex, int64_t extra_ms) {
    if (!a.boot_message_enabled) return;
    ++a.boot_messages_sent;
    ex.more.push_back({extra_ms + a.boot_message_ms, hub_boot_message(a)});
}

void hub_start(FirmwareArea& a, const Request& request, Exchange& ex, int64_t erase_ms) {
    const uint8_t* r = request.bytes.data();
    if (session_parts(a) > 0 && !a.hub_parts.back().complete) {
        violation(a, describe("HUB bootloader: start trigger while part %lld was incomplete",
                              (long long)session_parts(a) - 1));
    }
    a.hub_parts.push_back(start_part(r, request.time));
    a.hub_ready_at = request.time + erase_ms * kTicksPerMs;
    // Nothing to receive: it reports as soon as it has erased.
    if (a.hub_parts.back().complete) queue_boot_message(a, ex, erase_ms);
}

void hub_chunk(FirmwareArea& a, const Request& request, Exchange& ex) {
    if (session_parts(a) == 0 || a.hub_parts.back().complete) {
        violation(a, "HUB bootloader: chunk without a transfer in progress");
        return;
    }
    if (request.time < a.hub_ready_at) {
        violation(a, describe("HUB bootloader: chunk %lld ms after the start trigger, while still erasing",
                              ms(request.time - a.hub_parts.back().triggered_at)));
    }
    if (take_chunk(a.hub_parts.back(), request.bytes.data(), a.violations, "HUB bootloader")) {
        queue_boot_message(a, ex, 0);
    }
}

void hub_boot_info(HubModel& hub, FirmwareArea& a, Exchange& ex) {
    ++a.boot_info_requests;
    ex.reply =
        boot_info_reply(a, hub.config().info.fw_version, hub.config().kind == Kind::TorvaneAtmel || is_legacy(hub));
}

void hub_run(HubModel& hub, FirmwareArea& a, Exchange& ex) {
    ++a.final_triggers;
    if (session_parts(a) == 0 || !a.hub_parts.back().complete) {
        violation(a, "HUB bootloader: final trigger before a complete image");
    }
    // It runs what it was given only when the whole image came and passed
    // its own check; otherwise the old firmware stays.
    if (whole_image(hub, a) && a.boot_status == 0xE0) {
        uint32_t& version = hub.config().info.fw_version;
        version = a.new_version.value_or(next_release(version));
        a.running_signature = a.hub_parts.back().fw_signature;
        ++a.hub_installs;
    }
    // It starts the firmware once the trigger's echo is out. The model keeps
    // it on the bus: a drop-off at the echo's end would make the echo the
    // tool must read unreadable, and the tool sends nothing after this.
    ex.next_mode = Mode::Firmware;
}

// Told to run the firmware before any image came: the first such trigger
// makes it check the installed firmware and report (the HUB-boot message),
// the next one starts it.
void hub_run_installed(FirmwareArea& a, Exchange& ex) {
    ++a.run_installed_requests;
    if (!a.installed_reported) {
        a.installed_reported = true;
        queue_boot_message(a, ex, 0);
        return;
    }
    ex.next_mode = Mode::Firmware;
}

bool handle_hub_bootloader(HubModel& hub, FirmwareArea& a, const Request& request, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    if (b.size() != kBootRequest) return false;
    if (hub.config().kind == Kind::TorvaneAtmel) {
        if (b[0] != kMarker) {
            violation(a, describe("HUB bootloader (Atmel): request 0x%08llx without the 0xAE marker", request.word));
            return true;
        }
        const uint8_t code = b[2];
        const uint8_t parameter = b[3];
        if (code == '9' && parameter == 1) {
            hub_start(a, request, ex, a.atmel_erase_ms);
        } else if (code == '9' && parameter == 0) {
            if (session_parts(a) == 0) {
                hub_run_installed(a, ex);
            } else {
                hub_run(hub, a, ex);
            }
        } else if (code == '6' && parameter == 0) {
            hub_chunk(a, request, ex);
        } else if (code == '7' && parameter == 0) {
            hub_boot_info(hub, a, ex);
        } else {
            violation(a, describe("HUB bootloader (Atmel): unknown code 0x%02llx parameter %lld", code, parameter));
        }
        return true;
    }
    if (b[0] == kMarker) {
        violation(a, describe("HUB bootloader (ST): 0xAE request with code 0x%02llx", b[2]));
        return true;
    }
    switch (request.word) {
        case 0x00710100: {
            const uint32_t selector = le32(b.data() + 4);
            const size_t index = session_parts(a);
            if (index == 0 && selector == 0) {
                hub_run_installed(a, ex);
                break;
            }
            if (index > 1 || selector != (index == 0 ? 1u : 0u)) {
                violation(a, describe("HUB bootloader (ST): start trigger 0x00710100 for part %lld with selector %lld",
                                      (long long)index, selector));
            }
            hub_start(a, request, ex, a.st_erase_ms);
            break;
        }
        case 0x00730100:
            if (int(session_parts(a)) < a.st_parts && session_parts(a) > 0 && a.hub_parts.back().complete) {
                hub_start(a, request, ex, a.st_erase_ms);
            } else {
                hub_run(hub, a, ex);
            }
            break;
        case 0x00720100: hub_chunk(a, request, ex); break;
        case 0x00740100: hub_boot_info(hub, a, ex); break;
        default: violation(a, describe("HUB bootloader (ST): unknown request 0x%08llx", request.word)); break;
    }
    return true;
}

// --- the sensors behind the HUB -------------------------------------------------

std::vector<UpgradeSensor*> sensors_in_boot(FirmwareArea& a) {
    std::vector<UpgradeSensor*> found;
    for (UpgradeSensor& s : a.sensors) {
        if (s.in_boot) found.push_back(&s);
    }
    return found;
}

void sensors_enter_boot(FirmwareArea& a, int64_t now) {
    ++a.sensor_upgrade_requests;
    for (UpgradeSensor& s : a.sensors) s.in_boot = true;
    a.sensors_ready_at = now + a.sensor_boot_ms * kTicksPerMs;
}

// One bootloader-form request as the sensors receive it.
void sensor_bootloader(FirmwareArea& a, const uint8_t* r, int64_t now) {
    if (r[0] != kMarker) {
        violation(a, describe("sensor bootloader: request 0x%08llx without the 0xAE marker", le32(r)));
        return;
    }
    if (sensors_in_boot(a).empty()) {
        violation(a, describe("sensor bootloader: code 0x%02llx while no sensor is in its bootloader", r[2]));
        return;
    }
    if (now < a.sensors_ready_at) {
        violation(a, describe("sensor bootloader: code 0x%02llx %lld ms before the sensors were ready", r[2],
                              ms(a.sensors_ready_at - now)));
    }
    const uint8_t code = r[2];
    const uint8_t parameter = r[3];
    if (code == '9' && parameter == 0) {
        ++a.sensor_boot_triggers;
        a.sensors_ready_at = now + a.sensor_trigger_ms * kTicksPerMs;
    } else if (code == '9' && parameter == 1) {
        if (!a.sensor_parts.empty() && !a.sensor_parts.back().complete) {
            violation(a, "sensor bootloader: start trigger while a transfer was incomplete");
        }
        a.sensor_parts.push_back(start_part(r, now));
        a.sensors_ready_at = now + a.sensor_erase_ms * kTicksPerMs;
        if (a.sensor_parts.back().complete) a.sensors_ready_at = now + a.sensor_restart_ms * kTicksPerMs;
    } else if (code == '6' && parameter == 0) {
        if (a.sensor_parts.empty() || a.sensor_parts.back().complete) {
            violation(a, "sensor bootloader: chunk without a transfer in progress");
            return;
        }
        if (take_chunk(a.sensor_parts.back(), r, a.violations, "sensor bootloader")) {
            a.sensors_ready_at = now + a.sensor_restart_ms * kTicksPerMs;
        }
    } else {
        violation(a, describe("sensor bootloader: unknown code 0x%02llx parameter %lld", code, parameter));
    }
}

// The sensor's -sinfo record tells what its upgrade left: the firmware it
// runs, and whether that upgrade went well.
void sensor_record_follows(HubModel& hub, const UpgradeSensor& s, uint8_t status, bool installed) {
    for (SensorModel& record : hub.config().info.sensors) {
        if (record.address != s.address) continue;
        record.boot_status = status;
        if (installed) {
            record.signature = s.signature;
            record.fw_version = s.version;
        }
    }
}

void auto_addressing(HubModel& hub, FirmwareArea& a, const Request& request, Exchange& ex) {
    ++a.addressing_requests;
    if (request.time < a.sensors_ready_at) {
        violation(a, describe("auto addressing %lld ms before the sensors were ready",
                              ms(a.sensors_ready_at - request.time)));
    }
    // Only an image sent since the last auto addressing counts.
    const bool image_arrived = a.sensor_parts.size() > a.sensor_first_part && a.sensor_parts.back().complete;
    const std::vector<UpgradeSensor*> booting = sensors_in_boot(a);
    const int n = a.addressing_count >= 0 ? a.addressing_count : int(booting.size());

    ex.reply.assign(kBootRequest, 0);
    ex.reply[0] = is_legacy(hub) ? kMarker : 0x00;
    ex.reply[1] = 0x15;
    ex.reply[2] = uint8_t(n);
    std::fill(ex.reply.begin() + 4, ex.reply.end(), kFiller);

    std::vector<uint8_t> entries;
    for (int i = 0; i < n; ++i) {
        // A count beyond the sensors there are gets stand-in entries.
        UpgradeSensor stand_in = FirmwareArea::default_sensors(i + 1).back();
        UpgradeSensor& s = i < int(booting.size()) ? *booting[size_t(i)] : stand_in;
        uint8_t status = s.status;
        uint8_t code = s.code;
        if (status == 0) {
            status = image_arrived ? 0xE0 : 0xE3;
            code = image_arrived ? 0x00 : 0x05;
        }
        const bool installed = status == 0xE0 && image_arrived;
        if (installed) {
            s.signature = a.sensor_parts.back().fw_signature;
            s.version = a.new_sensor_version.value_or(next_release(s.version));
        }
        if (status != 0xE3 && &s != &stand_in) sensor_record_follows(hub, s, status, installed);
        const std::vector<uint8_t> entry = addressing_entry(s, status, code);
        entries.insert(entries.end(), entry.begin(), entry.end());
        // Those that will be reset stay in their bootloader; the others run.
        if (status != 0xE3) s.in_boot = false;
    }
    a.sensor_first_part = a.sensor_parts.size();
    entries.resize(entries.size() - std::min<size_t>(entries.size(), size_t(std::max(a.entries_cut, 0))));
    if (!entries.empty()) ex.more.push_back({a.entries_ms, std::move(entries)});
}

bool handle_firmware_mode(HubModel& hub, FirmwareArea& a, const Request& request, Exchange& ex) {
    const std::vector<uint8_t>& b = request.bytes;
    const bool legacy = is_legacy(hub);
    if (b.size() == 104) {
        if (request.word == 0x00471A00 || is_form(b, 'G')) {
            ++a.hub_upgrade_requests;
            if (legacy != (b[0] == kMarker)) {
                violation(a, legacy ? "legacy HUB: upgrade request in the current framing"
                                    : "current HUB: upgrade request in the legacy framing");
                return true;
            }
            ex.restart = true;
            ex.next_mode = Mode::Bootloader;
            a.hub_first_part = a.hub_parts.size();
            a.installed_reported = false;
            return true;
        }
        if (request.word == 0x00481500 || is_form(b, 'H')) {
            if (legacy != (b[0] == kMarker)) {
                violation(a, legacy ? "legacy HUB: sensor upgrade request in the current framing"
                                    : "current HUB: sensor upgrade request in the legacy framing");
                return true;
            }
            sensors_enter_boot(a, request.time);
            return true;
        }
        if (request.word == 0x00191500) {
            ++a.sensor_count_requests;
            if (legacy) return true;  // older firmware does not know it: no reply
            int running = 0;
            for (const UpgradeSensor& s : a.sensors) running += s.in_boot ? 0 : 1;
            ex.reply.assign(104, 0);
            ex.reply[0] = uint8_t(a.sensor_count >= 0 ? a.sensor_count : running);
            return true;
        }
        if (is_form(b, 'p')) {
            ++a.hub_boot_msg_requests;
            if (!legacy) {
                violation(a, "current HUB: 0xAE 'p' request");
                return true;
            }
            ex.restart = true;  // it restarts; the sensors keep their state
            return true;
        }
        return false;
    }
    if (b.size() == 540 && request.word == 0x00171500) {
        if (legacy) {
            violation(a, "legacy HUB: forwarded sensor request");
            return true;
        }
        ++a.forwarded;
        sensor_bootloader(a, b.data() + 4, request.time);
        return true;
    }
    if (b.size() == kBootRequest) {
        if (request.word == 0x00511500 || is_form(b, 'Q')) {
            if (legacy != (b[0] == kMarker)) {
                violation(a, legacy ? "legacy HUB: auto addressing in the current framing"
                                    : "current HUB: auto addressing in the legacy framing");
                return true;
            }
            auto_addressing(hub, a, request, ex);
            return true;
        }
        if (is_form(b, '9') || is_form(b, '6')) {
            if (!legacy) {
                violation(a, describe("current HUB: sensor request code 0x%02llx without the forwarding header", b[2]));
                return true;
            }
            ++a.unforwarded;
            sensor_bootloader(a, b.data(), request.time);
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<uint8_t> hub_boot_message(const FirmwareArea& area) {
    std::vector<uint8_t> m(kBootRequest, 0);
    const size_t n = std::min(area.boot_message.size(), kBootRequest - 24);
    std::copy_n(area.boot_message.begin(), n, m.begin() + 24);
    return m;
}

uint32_t next_release(uint32_t version) {
    const uint32_t major = version >> 24, minor = (version >> 16) & 0xFF, letter = version & 0xFF;
    if (minor == 0xFF) return ((major + 1) & 0xFF) << 24 | letter;
    return major << 24 | (minor + 1) << 16 | letter;
}

std::vector<uint8_t> boot_info_reply(const FirmwareArea& area, uint32_t running_version, bool marker) {
    std::vector<uint8_t> r(kBootRequest, kFiller);
    r[0] = marker ? kMarker : 0x00;
    r[1] = 0x00;
    r[2] = area.boot_code;
    r[3] = area.boot_status;
    put32(r, 4, area.bootloader_version);
    // The firmware in flash: the image's once a part of it is complete.
    const ReceivedPart* written = last_complete_part(area);
    const uint32_t version =
        written != nullptr ? area.new_version.value_or(next_release(running_version)) : running_version;
    put32(r, 16, area.fw_signature.value_or(written != nullptr ? written->fw_signature : area.running_signature));
    put32(r, 20, area.fw_version.value_or(version));
    return r;
}

std::vector<uint8_t> addressing_entry(const UpgradeSensor& sensor, uint8_t status, uint8_t code) {
    std::vector<uint8_t> e(kEntry, kFiller);
    e[0] = sensor.address;
    e[2] = code;
    e[3] = status;
    put32(e, 4, sensor.signature);
    put32(e, 8, sensor.version);
    put32(e, 28, sensor.calibration_status);
    return e;
}

bool handle_firmware(HubModel& hub, const Request& request, Exchange& exchange) {
    if (request.text) return false;
    // What the HUB queued before it last left the bus (the echo of the
    // request that restarted it) went to the connection the tool has closed
    // since; the port opened afterwards never sees it.
    if (hub.generation() > 0) {
        std::deque<TimedByte>& out = hub.output();
        while (!out.empty() && out.front().time <= hub.left_at()) out.pop_front();
    }
    FirmwareArea& a = hub.config().firmware;
    if (hub.mode() == Mode::Bootloader) return handle_hub_bootloader(hub, a, request, exchange);
    return handle_firmware_mode(hub, a, request, exchange);
}

}  // namespace sim
