// The HUB's virtual serial port: discovery by USB identifiers, opening with
// the port settings the HUB needs, and byte I/O with time limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.hpp"

class USB_Logger;

enum DeviceType : uint32_t {
    DEVICE_NONE = 0,
    DEVICE_TORVANE_ATMEL = 1,
    DEVICE_QUILLET = 2,
    DEVICE_TORVANE_ST = 3,
};

struct UsbId {
    uint32_t vendor;
    uint32_t product;
};

struct PortEntry {
    static constexpr size_t kNameSize = 40;  // 39 characters and a NUL
    char name[kNameSize] = {};
    uint32_t device_type = 0;
};

// The search text for one identifier pair: "vid_03eb&pid_2404".
std::string usb_search_text(const UsbId& id);
// The device type of the pair through which a port was found.
uint32_t device_type_of(const UsbId& id);
// The name as stored in the table: COM3 stays, COM12 becomes \\.\COM12.
// False when the name does not fit the table's field.
bool make_port_entry_name(const std::string& port_name, char (&out)[PortEntry::kNameSize]);

class zel_usb_cdc_interface {
public:
    static constexpr int kMaxPorts = 10;
    static constexpr int kOpenAttempts = 20;

    int32_t port_count = 0;
    int32_t selected_port = 0;
    bool connected = false;
    PortEntry ports[kMaxPorts];
    zel::PortHandle handle = zel::kInvalidPort;
    int32_t status = 0;
    std::vector<UsbId> usb_ids;
    bool is_open = false;
    char requested_port[103] = {};
    USB_Logger* logger = nullptr;

    zel_usb_cdc_interface();

    // Appends every present port that matches an identifier pair; true when
    // this call added at least one.
    bool find_ports();
    // Empties the table (a repeated discovery starts afresh).
    void clear_ports();
    int open_port(const char* name);
    void close_port();
    int write_port(const void* buffer, uint32_t length);
    int read_port(void* buffer, int length, int64_t timeout_ms);
    // Like read_port, but returns the count received (never -1): for callers
    // that need to know how much of a short reply came.
    int read_port_count(void* buffer, int length, int64_t timeout_ms);

    zel::Platform& platform() { return platform_; }

private:
    zel::Platform& platform_;
};
