#include "serial/zel_usb_cdc_interface.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/USB_Logger.hpp"

std::string usb_search_text(const UsbId& id) {
    char text[48];
    std::snprintf(text, sizeof text, "vid_%04x&pid_%x", id.vendor, id.product);
    return text;
}

uint32_t device_type_of(const UsbId& id) {
    if (id.vendor == 0x03EB && id.product == 0x2404) return DEVICE_TORVANE_ATMEL;
    if (id.vendor == 0x0483 && id.product == 0xA432) return DEVICE_TORVANE_ST;
    return DEVICE_QUILLET;
}

bool make_port_entry_name(const std::string& port_name, char (&out)[PortEntry::kNameSize]) {
    std::string name = port_name;
#ifdef _WIN32
    // Names beyond COM9 need the device namespace prefix to be opened.
    if (name.size() > 4) name = "\\\\.\\" + name;
#endif
    if (name.empty() || name.size() >= PortEntry::kNameSize) return false;
    std::memset(out, 0, sizeof out);
    std::memcpy(out, name.data(), name.size());
    return true;
}

zel_usb_cdc_interface::zel_usb_cdc_interface() : platform_(zel::active_platform()) {}

bool zel_usb_cdc_interface::find_ports() {
    bool found = false;
    for (const zel::UsbSerialDevice& device : platform_.list_usb_serial_devices()) {
        for (const UsbId& id : usb_ids) {
            if (device.device_path.find(usb_search_text(id)) == std::string::npos) continue;
            // A full table, or a name that does not fit, adds no entry: every
            // recorded entry must carry a name that open_port can use, and
            // "found" means that an entry was added.
            if (port_count >= kMaxPorts) continue;
            PortEntry& entry = ports[port_count];
            if (!make_port_entry_name(device.port_name, entry.name)) continue;
            entry.device_type = device_type_of(id);
            ++port_count;
            found = true;
        }
    }
    return found;
}

void zel_usb_cdc_interface::clear_ports() {
    for (PortEntry& entry : ports) entry = PortEntry{};
    port_count = 0;
}

int zel_usb_cdc_interface::open_port(const char* name) {
    zel::PortHandle h = zel::kInvalidPort;
    for (int attempt = 0; attempt < kOpenAttempts && h == zel::kInvalidPort; ++attempt) {
        h = platform_.port_create(name);
        platform_.sleep_ms(1000);
    }
    if (h == zel::kInvalidPort) {
        logger->Error("CDC-interface: Failed to create a reference file for %s!!\n", name);
        const std::string hint = platform_.port_open_hint(name);
        if (!hint.empty()) logger->Error("%s", hint.c_str());
        return -11;
    }
    handle = h;
    if (!platform_.port_set_state(h)) {
        logger->Error("CDC-interface: Failed to setup virtual port %s\n", name);
        platform_.port_close(h);
        handle = zel::kInvalidPort;
        return -7;
    }
    if (!platform_.port_set_queues(h, 1024, 4096)) {
        logger->Error("CDC-interface: Failed to open %s\n", name);
        platform_.port_close(h);
        handle = zel::kInvalidPort;
        return -5;
    }
    if (!platform_.port_set_timeouts(h)) {
        logger->Error("CDC-interface: Failed to setup timeout for port %s\n", name);
        platform_.port_close(h);
        handle = zel::kInvalidPort;
        return -12;
    }
    platform_.port_flush(h);
    logger->Info("Opening COM port\n");
    is_open = true;
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
    const int written = platform_.port_write(handle, static_cast<const uint8_t*>(buffer), length);
    if (written != static_cast<int>(length)) return -2;
    platform_.port_flush(handle);
    return static_cast<int>(length);
}

int zel_usb_cdc_interface::read_port_count(void* buffer, int length, int64_t timeout_ms) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    int received = 0;
    int64_t remaining = timeout_ms;
    if (length <= 0) return 0;
    do {
        const int64_t start = platform_.tick_count();
        const int got = platform_.port_read(handle, bytes + received, static_cast<uint32_t>(length - received));
        if (got > 0) {
            received += got;
        } else if (got < 0) {
            break;  // the device is gone: waiting on would only spin
        } else {
            // At least 1 ms per empty read: a device that answers an empty
            // read at once must not keep the loop spinning.
            const int64_t elapsed = std::max<int64_t>((platform_.tick_count() - start) / 10000, 1);
            remaining = elapsed < remaining ? remaining - elapsed : 0;
        }
    } while (received < length && remaining > 0);
    if (received != length) {
        logger->Warning("zel_usb_cdc_interface::read_port(): Warning! Length missmatch %d == %d\n", received, length);
    }
    return received;
}

int zel_usb_cdc_interface::read_port(void* buffer, int length, int64_t timeout_ms) {
    return read_port_count(buffer, length, timeout_ms) == length ? length : -1;
}
