#include "sim/testkit/sim_platform.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace sim {

namespace {
constexpr const char* kLogPrefix = "zel_USB_Logger";
}

SimPlatform::SimPlatform(int64_t utc_start) : utc_start_(utc_start) {}

HubModel& SimPlatform::attach(HubConfig config) {
    if (config.location.empty()) config.location = "1-" + std::to_string(hubs_.size() + 1);
    hubs_.push_back(std::make_unique<HubModel>(std::move(config)));
    return *hubs_.back();
}

void SimPlatform::wait_until(int64_t until) {
    if (interrupt_at >= 0) until = std::min(until, std::max(interrupt_at, now_));
    now_ = std::max(now_, until);
}

void SimPlatform::sleep_ms(uint32_t ms) {
    waits.push_back({Wait::Sleep, now_, int64_t(ms) * kTicksPerMs});
    wait_until(now_ + int64_t(ms) * kTicksPerMs);
}

void SimPlatform::timer_wait(int64_t due_100ns) {
    waits.push_back({Wait::Timer, now_, due_100ns});
    wait_until(now_ + due_100ns);
}

std::string SimPlatform::format_local_time(uint32_t seconds, const char* format) {
    // The virtual machine's local time is UTC.
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{at - day};
    std::tm tm{};
    tm.tm_year = int(date.year()) - 1900;
    tm.tm_mon = int(unsigned(date.month())) - 1;
    tm.tm_mday = int(unsigned(date.day()));
    tm.tm_hour = int(time.hours().count());
    tm.tm_min = int(time.minutes().count());
    tm.tm_sec = int(time.seconds().count());
    std::string fmt(format);
    for (size_t pos; (pos = fmt.find("%z")) != std::string::npos;) fmt.replace(pos, 2, "+0000");
    char buffer[80];
    const size_t n = std::strftime(buffer, sizeof buffer, fmt.c_str(), &tm);
    return std::string(buffer, n);
}

std::string SimPlatform::key_of(const std::string& path) {
    return path.rfind("./", 0) == 0 || path.rfind(".\\", 0) == 0 ? path.substr(2) : path;
}

SimFile* SimPlatform::file(const std::string& path) {
    const auto it = files.find(key_of(path));
    return it != files.end() ? &it->second : nullptr;
}

std::vector<std::string> SimPlatform::list_directory(const std::string& dir) {
    std::vector<std::string> names;
    const std::string folder = key_of(dir);
    for (const auto& [path, f] : files) {
        if (path.compare(0, folder.size(), folder) == 0 && path.find('/', folder.size()) == std::string::npos) {
            names.push_back(path.substr(folder.size()));
        }
    }
    return names;
}

bool SimPlatform::remove_file(const std::string& path) {
    return files.erase(key_of(path)) != 0;
}

bool SimPlatform::append_to_file(const std::string& path, std::string_view text) {
    if (!files_writable) return false;
    const std::string key = key_of(path);
    if (key.rfind(kLogPrefix, 0) == 0) appended.emplace_back(text);
    files[key].content.append(text);
    return true;
}

zel::FileStatus SimPlatform::file_status(const std::string& path) {
    if (folders.count(path) != 0) return {zel::FileStatus::Other, 0, false};
    const SimFile* f = file(path);
    if (f == nullptr) return {};
    if (!f->regular) return {zel::FileStatus::Other, 0, false};
    return {zel::FileStatus::Regular, f->content.size(), f->read_only};
}

bool SimPlatform::read_file(const std::string& path, uint64_t max_bytes, bool, std::string& out) {
    const SimFile* f = file(path);
    if (f == nullptr || !f->regular) return false;
    out = f->content.substr(0, size_t(std::min<uint64_t>(max_bytes + 1, f->content.size())));
    return true;
}

zel::FileWrite SimPlatform::replace_file(const std::string& path, std::string_view content, bool, bool owner_only) {
    const std::string key = key_of(path);
    SimFile* f = file(key);
    if (f != nullptr && !f->regular) return zel::FileWrite::NotRegular;
    if (f != nullptr && f->read_only) return zel::FileWrite::ReadOnly;
    if (!files_writable) return zel::FileWrite::Failed;
    const size_t slash = key.rfind('/');
    if (closed_folders.count(slash == std::string::npos ? "" : key.substr(0, slash)) != 0) {
        if (f == nullptr) return zel::FileWrite::Failed;
        f->content = content;
        return zel::FileWrite::WrittenInPlace;
    }
    if (f == nullptr) files[key].owner_only = owner_only;
    files[key].content = content;
    return zel::FileWrite::Replaced;
}

std::vector<zel::UsbSerialDevice> SimPlatform::list_usb_serial_devices() {
    // A HUB that came back from a restart enumerates after those that stayed.
    std::vector<const HubModel*> present;
    for (const auto& hub : hubs_) {
        if (hub->present(now_)) present.push_back(hub.get());
    }
    std::stable_sort(present.begin(), present.end(),
                     [](const HubModel* a, const HubModel* b) { return a->arrived_at() < b->arrived_at(); });
    std::vector<zel::UsbSerialDevice> devices;
    for (const HubModel* hub : present) {
        devices.push_back(
            {hub->vendor_id(), hub->product_id(), hub->port_name(), hub->config().location, hub->config().location});
    }
    return devices;
}

HubModel* SimPlatform::hub_named(const std::string& name) {
    for (const auto& hub : hubs_) {
        const std::string& want = hub->port_name();
        if (name == want || name == "\\\\.\\" + want) return hub.get();
    }
    return nullptr;
}

zel::PortHandle SimPlatform::port_create(const std::string& name, zel::OpenFailure& why) {
    const auto refused = [&why](zel::OpenFailure failure) {
        why = failure;
        return zel::kInvalidPort;
    };
    HubModel* hub = hub_named(name);
    if (hub == nullptr || !hub->present(now_)) return refused(zel::OpenFailure::Missing);
    if (hub->config().open_denied) return refused(zel::OpenFailure::Denied);
    // Opened without sharing: a second opener is refused.
    for (const auto& [h, open] : handles_) {
        if (open.hub == hub && open.generation == hub->generation()) return refused(zel::OpenFailure::Busy);
    }
    if (!hub->accept_open(now_)) {
        return refused(hub->config().refusals_denied ? zel::OpenFailure::Denied : zel::OpenFailure::Busy);
    }
    const zel::PortHandle h = next_handle_++;
    handles_[h] = {hub, hub->generation()};
    ++opened;
    return h;
}

std::string SimPlatform::port_holder(const std::string& name) {
    const HubModel* hub = hub_named(name);
    return hub != nullptr ? hub->config().holder : "";
}

int SimPlatform::port_write(zel::PortHandle h, const uint8_t* data, uint32_t length) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return -1;
    HubModel* hub = it->second.hub;
    if (hub->generation() != it->second.generation || !hub->present(now_)) return -1;
    if (hub->stalled()) {
        // Nothing is taken: the write runs out its time-out.
        wait_until(now_ + (10 * int64_t(length) + 10) * kTicksPerMs);
        return 0;
    }
    // The whole of the tool's buffer is read here, in one copy; the model
    // only sees the copy.
    written_.assign(data, data + length);
    if (keep_trace) trace.push_back({now_, true, written_, hub});
    hub->host_write(now_, written_);
    now_ += wire_ticks(length);
    return static_cast<int>(length);
}

int SimPlatform::port_read(zel::PortHandle h, uint8_t* data, uint32_t length) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return -1;
    HubModel* hub = it->second.hub;
    const int generation = it->second.generation;
    const int64_t total_deadline = now_ + (10 * int64_t(length) + 10) * kTicksPerMs;
    // A HUB that has dropped off since the port was opened fails the read
    // at the moment it left.
    const int64_t dead_at = hub->generation() != generation ? hub->left_at() : INT64_MAX;
    if (dead_at <= now_) return -1;
    const int64_t stop_at = interrupt_at >= 0 ? std::max(interrupt_at, now_) : INT64_MAX;
    int64_t last = 0;
    std::deque<TimedByte>& queue = hub->output();
    read_.clear();
    while (read_.size() < length) {
        int64_t limit = read_.empty() ? total_deadline : std::min(total_deadline, last + 10 * kTicksPerMs);
        limit = std::min({limit, dead_at, stop_at});
        if (queue.empty() || queue.front().time > limit) {
            now_ = std::max(now_, limit);
            if (limit == dead_at && read_.empty()) return -1;
            break;
        }
        size_t& count = read_from_[hub];
        for (auto hold = holds.begin(); hold != holds.end(); ++hold) {
            if (hold->hub != hub || hold->after != count) continue;
            for (TimedByte& later : queue) later.time = std::max(later.time, now_) + hold->ms * kTicksPerMs;
            holds.erase(hold);
            break;
        }
        if (queue.front().time > limit) continue;  // held back: the read waits as for any byte
        const TimedByte b = queue.front();
        queue.pop_front();
        ++count;
        now_ = std::max(now_, b.time);
        read_.push_back(b.value);
        last = now_;
    }
    if (read_.empty()) return 0;
    // Into the tool's buffer in one copy, as the system's read would.
    std::memcpy(data, read_.data(), read_.size());
    if (keep_trace) trace.push_back({now_, false, read_, hub});
    return static_cast<int>(read_.size());
}

void SimPlatform::port_close(zel::PortHandle h) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return;
    // Bytes the tool never read are gone with the handle.
    if (it->second.generation == it->second.hub->generation()) it->second.hub->discard_output();
    handles_.erase(it);
}

std::unique_ptr<zel::HubLock> SimPlatform::lock_hub(const std::string& key, std::string& holder) {
    class Held final : public zel::HubLock {
    public:
        Held(std::set<std::string>& locked, std::string key) : locked_(locked), key_(std::move(key)) {}
        ~Held() override { locked_.erase(key_); }
        bool guards() const override { return true; }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

    private:
        std::set<std::string>& locked_;
        std::string key_;
    };
    holder.clear();
    if (no_lock_files) return std::make_unique<zel::HubLock>();
    const auto foreign = foreign_locks.find(key);
    if (foreign != foreign_locks.end() && now_ < foreign->second.until) {
        holder = foreign->second.holder;
        return nullptr;
    }
    // A second lock of the same key in this process is refused as well.
    if (!locked_.insert(key).second) return nullptr;
    ++locks_taken;
    return std::make_unique<Held>(locked_, key);
}

std::string SimPlatform::environment(const char* name) {
    const auto it = env.find(name);
    return it != env.end() ? it->second : "";
}

}  // namespace sim
