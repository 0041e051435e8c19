#include "serial/zel_usb_cdc_interface.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "log/USB_Logger.hpp"
#include "log/events.hpp"

std::string PortEntry::describe() const {
    return "'" + std::string(name) + "' (USB location " + (location.empty() ? "unknown" : location) + ")";
}

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";

// A long wait shown on a terminal while it lasts: what it is for and at
// most how long it still takes.
class WaitNotice {
public:
    WaitNotice(zel_usb_cdc_interface& port, const char* what, int64_t max_ms)
        : port_(port), what_(what), shown_(what != nullptr && max_ms >= 2000 && port.platform().stderr_is_terminal()) {
        if (what != nullptr && max_ms >= 2000 && port.events != nullptr) port.events->wait(what, max_ms);
        update(max_ms);
    }
    ~WaitNotice() {
        if (shown_) port_.show("");
    }
    WaitNotice(const WaitNotice&) = delete;
    WaitNotice& operator=(const WaitNotice&) = delete;

    bool shown() const { return shown_; }
    void update(int64_t left_ms) {
        if (!shown_) return;
        const long long seconds = (std::max<int64_t>(left_ms, 0) + 999) / 1000;
        port_.show("Waiting " + std::string(what_) + ": at most " + std::to_string(seconds) + " s left");
    }

private:
    zel_usb_cdc_interface& port_;
    const char* what_;
    bool shown_;
};

}  // namespace

zel_usb_cdc_interface::zel_usb_cdc_interface(zel::Platform& platform) : platform_(platform) {}

std::vector<PortEntry> find_hubs(zel::Platform& platform) {
    std::vector<PortEntry> hubs;
    for (const zel::UsbSerialDevice& device : platform.list_usb_serial_devices()) {
        for (const HubKindRow& kind : hub_kinds()) {
            if (device.vendor_id != kind.vendor_id || device.product_id != kind.product_id) continue;
            // A name that does not fit makes no entry: every entry must carry
            // a name that open_port can use.
            if (device.port_name.empty() || device.port_name.size() >= PortEntry::kNameSize) continue;
            PortEntry& entry = hubs.emplace_back();
            std::memcpy(entry.name, device.port_name.data(), device.port_name.size());
            entry.device_type = kind.kind;
            entry.location = device.location;
            entry.lock_key = device.lock_key.empty() ? device.port_name : device.lock_key;
        }
    }
    return hubs;
}

bool PortEntry::named_by(const char* wanted) const {
    const char* bare = std::strncmp(name, kDevicePrefix, 4) == 0 ? name + 4 : name;
    return std::strcmp(wanted, name) == 0 || std::strcmp(wanted, bare) == 0 ||
           (!location.empty() && location == wanted);
}

bool zel_usb_cdc_interface::find_ports() {
    bool found = false;
    for (const PortEntry& hub : find_hubs(platform_)) {
        // A full table takes no more, except the HUB the run asked for by
        // name or location: it takes the last place, so that no count of
        // attached HUBs hides it.
        int place = port_count;
        if (port_count >= kMaxPorts) {
            if (requested_port[0] == '\0' || !hub.named_by(requested_port) || find_entry(requested_port) >= 0) continue;
            place = kMaxPorts - 1;
        }
        ports[place] = hub;
        port_count = std::max(port_count, place + 1);
        most_ports_seen_ = std::max(most_ports_seen_, port_count);
        found = true;
    }
    return found;
}

void zel_usb_cdc_interface::clear_ports() {
    for (PortEntry& entry : ports) entry = PortEntry{};
    port_count = 0;
}

int zel_usb_cdc_interface::find_entry(const char* name) const {
    for (int i = 0; i < port_count; ++i) {
        if (ports[i].named_by(name)) return i;
    }
    return -1;
}

bool zel_usb_cdc_interface::_lock(const std::string& key, std::string& holder) {
    for (const auto& held : locks_) {
        if (held.first == key) return true;
    }
    std::unique_ptr<zel::HubLock> lock = platform_.lock_hub(key, holder);
    if (!lock) return false;
    if (!lock->guards()) {
        logger->Warning(
            "CDC-interface: No lock could be made for the HUB (%s): two runs of this tool could now use it at "
            "once\n",
            key.c_str());
    }
    locks_.emplace_back(key, std::move(lock));
    return true;
}

int zel_usb_cdc_interface::open_port(const char* name, bool after_restart) {
    const int index = find_entry(name);
    const std::string hub = index >= 0 ? ports[index].describe() : "'" + std::string(name) + "'";
    const std::string key = index >= 0 ? ports[index].lock_key : std::string(name);
    // The HUB chosen, and again where it came back under another name.
    if (index >= 0 && events != nullptr && announced_ != ports[index].name) {
        announced_ = ports[index].name;
        events->hub(announced_, ports[index].location, hub_kind_name(ports[index].device_type));
    }
    zel::PortHandle h = zel::kInvalidPort;
    zel::OpenFailure why = zel::OpenFailure::None;
    bool held = false;  // by another run, at the last attempt
    std::string holder;
    for (int attempt = 0; attempt < kOpenAttempts && h == zel::kInvalidPort; ++attempt) {
        why = zel::OpenFailure::None;
        // Another run's HUB is never opened: not even the modem lines of its
        // port may change under that run.
        held = !_lock(key, holder);
        if (held && attempt == 0) {
            logger->Warning(
                "CDC-interface: The HUB at %s is in use by another run of this tool%s%s; trying again for "
                "up to %d s\n",
                hub.c_str(), holder.empty() ? "" : ", ", holder.c_str(), kOpenAttempts);
        }
        if (!held) h = platform_.port_create(name, why);
        // Permissions do not change by waiting: say how to mend them now. A
        // port that has just come back is the exception: the system may
        // still be setting its permissions.
        if (h == zel::kInvalidPort && why == zel::OpenFailure::Denied && !after_restart) break;
        if (h == zel::kInvalidPort && why == zel::OpenFailure::Busy && attempt == 0) {
            const std::string program = platform_.port_holder(name);
            logger->Warning("CDC-interface: %s is in use by another program%s%s; trying again for up to %d s\n", name,
                            program.empty() ? "" : ": ", program.c_str(), kOpenAttempts);
        }
        try {
            sleep_ms(h != zel::kInvalidPort ? timing_.open_settle_ms : kOpenSleepMs);
        } catch (const zel::Interrupted&) {
            if (h != zel::kInvalidPort) platform_.port_close(h);  // not ours yet: nobody else would close it
            throw;
        }
    }
    if (held) {
        logger->Error(
            "CDC-interface: The HUB at %s is still in use by another run of this tool%s%s; nothing was sent "
            "to it\n",
            hub.c_str(), holder.empty() ? "" : ", ", holder.c_str());
        return results::port::kHeldByAnotherRun;
    }
    if (h == zel::kInvalidPort) {
        logger->Error("CDC-interface: Failed to create a reference file for %s!!\n", name);
        const std::string hint = why == zel::OpenFailure::Denied ? platform_.port_open_hint(name) : std::string();
        if (!hint.empty()) logger->Error("%s", hint.c_str());
        return results::port::kNotCreated;
    }
    handle = h;
    const char* failure = nullptr;
    int result = 0;
    if (!platform_.port_set_state(h)) {
        failure = "CDC-interface: Failed to setup virtual port %s\n";
        result = results::port::kStateNotSet;
    } else if (!platform_.port_set_queues(h, 1024, 4096)) {
        failure = "CDC-interface: Failed to open %s\n";
        result = results::port::kQueuesNotSet;
    } else if (!platform_.port_set_timeouts(h)) {
        failure = "CDC-interface: Failed to setup timeout for port %s\n";
        result = results::port::kTimeoutsNotSet;
    }
    if (failure != nullptr) {
        logger->Error(failure, name);
        platform_.port_close(h);
        handle = zel::kInvalidPort;
        return result;
    }
    platform_.port_flush(h);
    logger->Info("Opening COM port\n");
    is_open = true;
    if (index >= 0) current_ = ports[index];
    return 0;
}

void zel_usb_cdc_interface::close_port() {
    is_open = false;
    logger->Info("Closing com port\n");
    platform_.port_close(handle);
    handle = zel::kInvalidPort;
}

int zel_usb_cdc_interface::write_port(const void* buffer, uint32_t length) {
    if (length == 0) return 0;
    _check_interrupted();  // nothing more goes to the HUB once the run is interrupted
    const int written = platform_.port_write(handle, static_cast<const uint8_t*>(buffer), length);
    _check_interrupted();
    if (written != static_cast<int>(length)) return results::port::kWriteFailed;
    platform_.port_flush(handle);
    return static_cast<int>(length);
}

int64_t zel_usb_cdc_interface::silent_read_ms(int length, int64_t timeout_ms) {
    // Empty reads of 10 ms a byte plus 10, until they have used up the limit.
    const int64_t one = 10 * int64_t(std::max(length, 1)) + 10;
    return std::max<int64_t>(1, (timeout_ms + one - 1) / one) * one;
}

int zel_usb_cdc_interface::read_port_count(void* buffer, int length, int64_t timeout_ms, const char* waiting_for,
                                           int64_t first_byte_ms) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    int received = 0;
    int64_t remaining = timeout_ms;
    if (length <= 0) return 0;
    WaitNotice notice(*this, waiting_for, timeout_ms);
    // As long for the first byte as the caller asks; after one came, the
    // limit applies as to any read. Otherwise at least one read is made,
    // also with a limit of 0.
    if (first_byte_ms > 0) received = std::max(read_while_coming(bytes, length, first_byte_ms, 0), 0);
    if (received < length && (first_byte_ms <= 0 || received > 0)) {
        do {
            const int64_t start = platform_.tick_count();
            const int got = platform_.port_read(handle, bytes + received, static_cast<uint32_t>(length - received));
            _check_interrupted();
            if (got > 0) {
                received += got;
            } else if (got < 0) {
                break;  // the device is gone: waiting on would only spin
            } else {
                // At least 1 ms per empty read: a device that answers an
                // empty read at once must not keep the loop spinning.
                const int64_t elapsed = std::max<int64_t>((platform_.tick_count() - start) / 10000, 1);
                remaining = elapsed < remaining ? remaining - elapsed : 0;
                notice.update(remaining);
            }
        } while (received < length && remaining > 0);
    }
    if (received != length) {
        logger->Warning("zel_usb_cdc_interface::read_port(): Warning! Length missmatch %d == %d\n", received, length);
    }
    return received;
}

int zel_usb_cdc_interface::read_while_coming(void* buffer, int length, int64_t first_ms, int64_t quiet_ms) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    int received = 0;
    int64_t deadline = platform_.tick_count() + first_ms * 10000;
    while (received < length) {
        const int64_t left = deadline - platform_.tick_count();
        if (left <= 0) break;
        const int64_t left_ms = (left + 9999) / 10000;
        // A read of n bytes waits 10 n + 10 ms when nothing comes: ask for no
        // more than keeps it within what is left.
        const int ask = int(std::clamp<int64_t>((left_ms - 10) / 10, 1, length - received));
        const int got = platform_.port_read(handle, bytes + received, uint32_t(ask));
        _check_interrupted();
        if (got < 0) return received > 0 ? received : results::port::kReadFailed;
        if (got == 0) continue;
        received += got;
        if (quiet_ms <= 0) break;
        deadline = platform_.tick_count() + quiet_ms * 10000;
    }
    return received;
}

int zel_usb_cdc_interface::read_once(void* buffer, int length) {
    const int got = platform_.port_read(handle, static_cast<uint8_t*>(buffer), uint32_t(std::max(length, 0)));
    _check_interrupted();
    return got;
}

int zel_usb_cdc_interface::read_port(void* buffer, int length, int64_t timeout_ms, const char* waiting_for,
                                     int64_t first_byte_ms) {
    return read_port_count(buffer, length, timeout_ms, waiting_for, first_byte_ms) == length
               ? length
               : results::port::kReadFailed;
}

void zel_usb_cdc_interface::show(const std::string& text) {
    logger->show(text);
}

void zel_usb_cdc_interface::_check_interrupted() {
    std::string by = platform_.interruption();
    if (!by.empty()) throw zel::Interrupted{std::move(by)};
}

void zel_usb_cdc_interface::sleep_ms(uint32_t ms, const char* waiting_for) {
    WaitNotice notice(*this, waiting_for, ms);
    if (!notice.shown()) {
        platform_.sleep_ms(ms);
        _check_interrupted();
        return;
    }
    for (uint32_t left = ms; left > 0;) {
        const uint32_t slice = std::min<uint32_t>(left, 1000);
        platform_.sleep_ms(slice);
        _check_interrupted();
        left -= slice;
        if (left > 0) notice.update(left);
    }
}

void zel_usb_cdc_interface::pause(int64_t due_100ns) {
    platform_.timer_wait(due_100ns);
    _check_interrupted();
}

int zel_usb_cdc_interface::_find_again(const PortEntry& hub) const {
    if (!hub.location.empty()) {
        for (int i = 0; i < port_count; ++i) {
            if (ports[i].location == hub.location) return i;
        }
    } else if (const int i = find_entry(hub.name); i >= 0) {
        return i;
    }
    // Where nothing tells it apart, the only HUB attached can only be ours,
    // unless others were seen during the run: then it may be one of them.
    return port_count == 1 && most_ports_seen_ <= 1 ? 0 : -1;
}

bool zel_usb_cdc_interface::_listed(const PortEntry& hub) {
    clear_ports();
    find_ports();
    for (int i = 0; i < port_count; ++i) {
        if (hub.location.empty() ? std::strcmp(ports[i].name, hub.name) == 0 : ports[i].location == hub.location) {
            return true;
        }
    }
    return false;
}

int zel_usb_cdc_interface::_reopen(int found) {
    selected_port = found;
    return open_port(ports[found].name, true) < 0 ? results::port::kNotReopened : 0;
}

int zel_usb_cdc_interface::_follow_restart(const PortEntry& hub) {
    uint32_t waited = 0;
    while (_listed(hub)) {
        if (waited >= timing_.restart_sleep_ms) return results::port::kRestartNeverLeft;
        sleep_ms(timing_.look_every_ms);
        waited += timing_.look_every_ms;
    }
    // Never shorter than the documented search: the restart's sleep, then a
    // look each second until the last of the attempts.
    const uint32_t looking = timing_.restart_sleep_ms + (kOpenAttempts - 1) * kOpenSleepMs;
    WaitNotice notice(*this, "for the HUB to come back", looking - waited);
    while (waited < looking) {
        notice.update(looking - waited);
        sleep_ms(timing_.look_every_ms);
        waited += timing_.look_every_ms;
        clear_ports();
        find_ports();
        if (const int found = _find_again(hub); found >= 0) return _reopen(found);
    }
    return results::port::kRestartLost;
}

int zel_usb_cdc_interface::reopen_after_restart() {
    const PortEntry hub = current_.name[0] != '\0' ? current_ : PortEntry{};
    close_port();
    int outcome = timing_.fast ? _follow_restart(hub) : results::port::kRestartNeverLeft;
    if (outcome == results::port::kRestartNeverLeft) {
        if (!timing_.fast) sleep_ms(timing_.restart_sleep_ms, "for the HUB to restart");
        std::optional<WaitNotice> notice;  // shown once the first look has not found it
        for (int look = 0; outcome == results::port::kRestartNeverLeft; ++look) {
            // The HUB may come back under another name: look afresh.
            clear_ports();
            find_ports();
            if (const int found = _find_again(hub); found >= 0) return _reopen(found);
            if (look + 1 >= kOpenAttempts) {
                outcome = results::port::kRestartLost;
            } else {
                const int64_t left_ms = int64_t(kOpenAttempts - 1 - look) * kOpenSleepMs;
                if (!notice) notice.emplace(*this, "for the HUB to come back", left_ms);
                notice->update(left_ms);
                sleep_ms(kOpenSleepMs);
            }
        }
    }
    if (outcome != results::port::kRestartLost) return outcome;
    std::string others;
    for (int i = 0; i < port_count; ++i) others += (i ? ", " : "") + ports[i].describe();
    if (others.empty()) {
        logger->Error("CDC-interface: The HUB at %s did not come back after its restart\n", hub.describe().c_str());
    } else {
        logger->Error(
            "CDC-interface: The HUB at %s did not come back after its restart; the other HUBs attached (%s) "
            "were left alone\n",
            hub.describe().c_str(), others.c_str());
    }
    return results::port::kNotReopened;
}
