#include "sim/sim_platform.hpp"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <ctime>

#include "log/USB_Logger.hpp"

namespace sim {

SimPlatform::SimPlatform(int64_t utc_start) : utc_start_(utc_start) {}

HubModel& SimPlatform::attach(HubConfig config) {
    hubs_.push_back(std::make_unique<HubModel>(std::move(config)));
    return *hubs_.back();
}

void SimPlatform::sleep_ms(uint32_t ms) {
    waits.push_back({Wait::Sleep, now_, int64_t(ms) * kTicksPerMs});
    now_ += int64_t(ms) * kTicksPerMs;
}

void SimPlatform::timer_wait(int64_t due_100ns) {
    waits.push_back({Wait::Timer, now_, due_100ns});
    now_ += due_100ns;
}

std::string SimPlatform::format_local_time(uint32_t seconds, const char* format) {
    // The virtual machine's local time is UTC.
    const LogDateTime t = logrules::breakdown_utc(int64_t(seconds) * 10000000);
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    std::string fmt(format);
    for (size_t pos; (pos = fmt.find("%z")) != std::string::npos;) fmt.replace(pos, 2, "+0000");
    char buffer[80];
    const size_t n = std::strftime(buffer, sizeof buffer, fmt.c_str(), &tm);
    return std::string(buffer, n);
}

std::string SimPlatform::bare_name(const std::string& path) {
    const size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string* SimPlatform::file(const std::string& name) {
    for (auto& [n, content] : files) {
        if (n == name) return &content;
    }
    return nullptr;
}

std::vector<std::string> SimPlatform::list_directory(const std::string&) {
    std::vector<std::string> names;
    for (const auto& entry : files) names.push_back(entry.first);
    return names;
}

bool SimPlatform::remove_file(const std::string& path) {
    const std::string name = bare_name(path);
    const auto it = std::find_if(files.begin(), files.end(), [&](const auto& e) { return e.first == name; });
    if (it == files.end()) return false;
    files.erase(it);
    return true;
}

bool SimPlatform::append_to_file(const std::string& path, std::string_view text) {
    if (!files_writable) return false;
    const std::string name = bare_name(path);
    if (name.rfind(USB_Logger::kPrefix, 0) == 0) appended.emplace_back(text);
    if (std::string* content = file(name)) {
        content->append(text);
    } else {
        files.emplace_back(name, std::string(text));
    }
    return true;
}

std::vector<zel::UsbSerialDevice> SimPlatform::list_usb_serial_devices() {
    std::vector<zel::UsbSerialDevice> devices;
    int n = 0;
    for (const auto& hub : hubs_) {
        ++n;
        if (!hub->present(now_)) continue;
        char path[160];
        std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#sim%d#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                      hub->vendor_id(), hub->product_id(), n);
        devices.push_back({path, hub->port_name()});
    }
    return devices;
}

zel::PortHandle SimPlatform::port_create(const std::string& name) {
    for (const auto& hub : hubs_) {
        std::string want = hub->port_name();
        if (name != want && name != "\\\\.\\" + want) continue;
        // Opened without sharing: a second opener is refused.
        for (const auto& [h, open] : handles_) {
            if (open.hub == hub.get() && open.generation == hub->generation()) return zel::kInvalidPort;
        }
        if (!hub->accept_open(now_)) return zel::kInvalidPort;
        const zel::PortHandle h = next_handle_++;
        handles_[h] = {hub.get(), hub->generation()};
        return h;
    }
    return zel::kInvalidPort;
}

HubModel* SimPlatform::live(zel::PortHandle h) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return nullptr;
    HubModel* hub = it->second.hub;
    if (hub->generation() != it->second.generation || !hub->present(now_)) return nullptr;
    return hub;
}

int SimPlatform::port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) {
    HubModel* hub = live(h);
    if (hub == nullptr) return -1;
    // The whole of the tool's buffer is read here, in one copy; the model
    // only sees the copy.
    written_.assign(data, data + length);
    if (keep_trace) trace.push_back({now_, true, written_});
    hub->host_write(now_, written_);
    now_ += wire_ticks(length);
    return static_cast<int>(length);
}

int SimPlatform::port_read(zel::PortHandle h, uint8_t* data, uint32_t length) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return -1;
    HubModel* hub = it->second.hub;
    const int generation = it->second.generation;
    const int64_t start = now_;
    const int64_t total_deadline = start + (10 * int64_t(length) + 10) * kTicksPerMs;
    // A HUB that has dropped off since the port was opened fails the read
    // at the moment it left.
    const int64_t dead_at = hub->generation() != generation ? hub->left_at() : INT64_MAX;
    if (dead_at <= now_) return -1;
    int64_t last = 0;
    std::deque<TimedByte>& queue = hub->output();
    read_.clear();
    while (read_.size() < length) {
        int64_t limit = read_.empty() ? total_deadline : std::min(total_deadline, last + 10 * kTicksPerMs);
        limit = std::min(limit, dead_at);
        if (queue.empty() || queue.front().time > limit) {
            now_ = std::max(now_, limit);
            if (limit == dead_at && read_.empty()) return -1;
            break;
        }
        const TimedByte b = queue.front();
        queue.pop_front();
        now_ = std::max(now_, b.time);
        read_.push_back(b.value);
        last = now_;
    }
    if (read_.empty()) return 0;
    // Into the tool's buffer in one copy, as the system's read would.
    std::memcpy(data, read_.data(), read_.size());
    if (keep_trace) trace.push_back({now_, false, read_});
    return static_cast<int>(read_.size());
}

void SimPlatform::port_close(zel::PortHandle h) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return;
    // Bytes the tool never read are gone with the handle.
    if (it->second.generation == it->second.hub->generation()) it->second.hub->discard_output();
    handles_.erase(it);
}

std::vector<uint8_t> SimPlatform::written_bytes() const {
    std::vector<uint8_t> all;
    for (const TraceEntry& e : trace) {
        if (e.to_hub) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    }
    return all;
}

std::vector<uint8_t> SimPlatform::read_bytes() const {
    std::vector<uint8_t> all;
    for (const TraceEntry& e : trace) {
        if (!e.to_hub) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    }
    return all;
}

}  // namespace sim
