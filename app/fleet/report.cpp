#include "app/fleet/report.hpp"

#include <algorithm>
#include <cstdio>

namespace zel::fleet {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;

std::string seconds(int64_t ticks, bool tenths) {
    char text[32];
    if (tenths) {
        std::snprintf(text, sizeof text, "%.1f s", double(ticks) / kTicksPerSecond);
    } else {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ticks / kTicksPerSecond));
    }
    return text;
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

bool is(const Operation& operation, const char* option) {
    return std::string(operation.option) == option;
}

// The firmware column: before and after an upgrade of the HUB, what the
// sensors run after theirs, else what the HUB runs.
std::string firmware(const HubRun& hub, const Operation& operation) {
    if (is(operation, "-h")) {
        if (hub.firmware_before.empty() && hub.firmware_after.empty()) return "-";
        return (hub.firmware_before.empty() ? "?" : hub.firmware_before) + " -> " +
               (hub.firmware_after.empty() ? "?" : hub.firmware_after);
    }
    if (operation.upgrade) return hub.sensor_firmware.empty() ? "-" : "sensors " + hub.sensor_firmware;
    return or_dash(hub.firmware_before);
}

std::string result(const HubRun& hub) {
    return hub.step == HubRun::Step::Done && hub.ran && hub.result >= 0 ? std::to_string(hub.result) : "-";
}

std::string took(const HubRun& hub, int64_t now, bool tenths) {
    if (hub.started < 0) return "-";
    return seconds((hub.finished >= 0 ? hub.finished : now) - hub.started, tenths);
}

std::string stage(const HubRun& hub, const Operation& operation, int64_t now) {
    std::string text;
    switch (hub.step) {
        case HubRun::Step::Queued: text = "waiting for its turn"; break;
        case HubRun::Step::Identity: text = "reading its identity (-hinfo)"; break;
        case HubRun::Step::After: text = "reading its firmware after the upgrade (-hinfo)"; break;
        case HubRun::Step::Operation:
            if (!hub.progress.seen) {
                text = std::string("running ") + operation.option + " (its stage is not reported)";
                break;
            }
            if (!hub.progress.waiting.empty()) {
                text = "waiting " + hub.progress.waiting + ", at most " +
                       seconds(std::max<int64_t>(hub.progress.wait_ends - now + kTicksPerSecond - 1, 0), false) +
                       " left";
                break;
            }
            text = hub.progress.doing.empty() ? std::string("running ") + operation.option : hub.progress.doing;
            if (hub.progress.percent >= 0) text += " (" + std::to_string(hub.progress.percent) + " %)";
            break;
        case HubRun::Step::Done:
            if (!hub.left_out.empty()) return "left out: " + hub.left_out;
            return hub.succeeded() ? "done" : hub.ran ? "failed" : "not run";
    }
    return hub.stop_sent >= 0 ? text + " (stopping)" : text;
}

std::vector<std::string> header() {
    return {"port", "location", "kind", "serial", "firmware"};
}

std::vector<std::string> cells(const HubRun& hub, const Operation& operation) {
    return {hub.hub.port, or_dash(hub.hub.location), hub.hub.kind, or_dash(hub.serial), firmware(hub, operation)};
}

}  // namespace

std::string HubRun::name() const {
    std::string text = hub.location.empty() ? hub.port : hub.location + " (" + hub.port;
    if (!serial.empty()) text += (hub.location.empty() ? " (" : ", ") + serial;
    return text + (!hub.location.empty() || !serial.empty() ? ")" : "");
}

std::string HubRun::how_it_ended() const {
    const std::string line = text_field(verdict, "text");
    if (!outcome.empty()) return line.empty() ? outcome : outcome + " " + line;
    return line.empty() ? "its run wrote no verdict" : line;
}

std::vector<std::string> aligned(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& row : rows) {
        if (width.size() < row.size()) width.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    }
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(width[i] - row[i].size() + 2, ' ');
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> live_table(const std::deque<HubRun>& hubs, const Operation& operation, int64_t now) {
    // Narrow, so that the stage keeps most of a terminal's width: the port
    // by its last name, the firmware only where it changes.
    std::vector<std::vector<std::string>> rows = {{"port", "location", "kind", "serial"}};
    if (operation.upgrade) rows.back().emplace_back("firmware");
    for (const char* title : {"time", "result", "stage"}) rows.back().emplace_back(title);
    for (const HubRun& hub : hubs) {
        const std::string& port = hub.hub.port;
        const size_t slash = port.find_last_of("/\\");
        rows.push_back({slash == std::string::npos ? port : port.substr(slash + 1), or_dash(hub.hub.location),
                        hub.hub.kind, or_dash(hub.serial)});
        if (operation.upgrade) rows.back().push_back(firmware(hub, operation));
        rows.back().push_back(took(hub, now, false));
        rows.back().push_back(result(hub));
        rows.back().push_back(stage(hub, operation, now));
    }
    return aligned(rows);
}

std::string finished_line(const HubRun& hub, const Operation& operation) {
    std::string line = hub.name() + " " + hub.hub.kind + ": ";
    if (!hub.left_out.empty()) return line + "left out: " + hub.left_out + "\n";
    line += hub.ran ? "result " + result(hub) + " after " + took(hub, 0, true) : "not run";
    const std::string fw = firmware(hub, operation);
    if (fw != "-") line += ", firmware " + fw;
    return line + ". " + hub.how_it_ended() + "\n";
}

std::string summary(const std::deque<HubRun>& hubs, const Operation& operation, const Ending& ending) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back(header());
    for (const char* title : {"result", "took", ""}) rows.back().emplace_back(title);
    size_t chosen = 0;
    size_t done = 0;
    size_t left_out = 0;
    for (const HubRun& hub : hubs) {
        rows.push_back(cells(hub, operation));
        rows.back().push_back(result(hub));
        rows.back().push_back(took(hub, 0, true));
        rows.back().push_back(hub.left_out.empty() ? "" : "left out: " + hub.left_out);
        (hub.left_out.empty() ? chosen : left_out) += 1;
        done += hub.succeeded() ? 1 : 0;
    }
    std::string text;
    for (std::string& line : aligned(rows)) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        text += line + "\n";
    }
    text += std::to_string(done) + " of " + std::to_string(chosen) + (chosen == 1 ? " HUB" : " HUBs") + " done with " +
            operation.option;
    if (chosen > done) text += ", " + std::to_string(chosen - done) + " not";
    if (left_out > 0) text += ", " + std::to_string(left_out) + " left out";
    text += ".\n";
    if (!ending.interrupted_by.empty()) {
        text += "Interrupted (" + ending.interrupted_by + "): every run was stopped. Where each HUB stands:\n";
    }
    for (const HubRun& hub : hubs) {
        if (!hub.left_out.empty() || (hub.succeeded() && ending.interrupted_by.empty())) continue;
        text += (hub.succeeded() ? "  " : "  FAILED ") + hub.name() + ": " + hub.how_it_ended() + "\n";
    }
    for (const std::string& missing : ending.missing) text += "  NOT ATTACHED: " + missing + "\n";
    if (!ending.again.empty()) text += "To run it again where that is the next step: " + ending.again + "\n";
    return text + "Records: " + ending.records + "\n";
}

}  // namespace zel::fleet
