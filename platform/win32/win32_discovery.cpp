// The HUBs' ports through SetupAPI: every present device of the USB device
// interface class, with its "PortName" and where it is plugged in.
// First: <setupapi.h> needs the types that <windows.h> declares.
#include "platform/win32/win32_internal.hpp"

#include <setupapi.h>

#include <cstddef>

namespace zel::win32 {
namespace {

// The USB device interface class: every present USB device, whatever its driver.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Interface paths and port names are narrowed to their low bytes: they are
// ASCII.
std::string narrow(const wchar_t* text, size_t max_chars) {
    std::string out;
    for (size_t i = 0; i < max_chars && text[i] != L'\0'; ++i) {
        out.push_back(static_cast<char>(static_cast<unsigned>(text[i]) & 0xFFu));
    }
    return out;
}

// The device's place on the bus: its first location path (the same for a
// socket however often the device re-enumerates on it, and unique on the
// machine: also its lock key), else the hub and port number the driver
// reports; empty when neither is known.
void read_location(HDEVINFO set, SP_DEVINFO_DATA& info, UsbSerialDevice& device) {
    for (const DWORD property : {DWORD(SPDRP_LOCATION_PATHS), DWORD(SPDRP_LOCATION_INFORMATION)}) {
        wchar_t text[512] = {};
        DWORD type = 0;
        DWORD size = 0;
        if (SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, reinterpret_cast<BYTE*>(text),
                                              sizeof text - sizeof(wchar_t), &size) &&
            text[0] != L'\0') {
            device.location = to_utf8(text, wcsnlen(text, size / sizeof(wchar_t)));
            if (property == SPDRP_LOCATION_PATHS) device.lock_key = device.location;
            return;
        }
    }
}

// The interface path, "PortName" and location of one device; false when the
// path or the port name cannot be read (such a device is of no use).
bool read_device(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& iface, UsbSerialDevice& device) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
    constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (required <= kPathOffset || required > 65536) return false;
    // DWORD elements keep the record aligned; zero-filled, so a path the
    // system fills short is still terminated.
    std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &info)) return false;
    const std::string path = narrow(detail->DevicePath, (required - kPathOffset) / sizeof(wchar_t));
    if (!usb_ids_of(path, device.vendor_id, device.product_id)) return false;

    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE || key == nullptr) return false;
    wchar_t port[512] = {};
    DWORD size = sizeof port;
    DWORD type = 0;
    const LONG status = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    // The value need not be terminated: read no further than it reaches.
    device.port_name = port_entry_name(narrow(port, size / sizeof(wchar_t)));
    read_location(set, info, device);
    return device.port_name.size() > 0;
}

}  // namespace

std::string port_entry_name(const std::string& registry_name) {
    // Names beyond COM9 need the device namespace prefix to be opened.
    return registry_name.size() > 4 ? "\\\\.\\" + registry_name : registry_name;
}

bool usb_ids_of(const std::string& interface_path, uint16_t& vendor, uint16_t& product) {
    const std::string& path = interface_path;
    auto hex = [&path](size_t from, uint16_t& out) {
        uint16_t value = 0;
        for (size_t i = from; i < from + 4; ++i) {
            const char c = path[i];
            if (c >= '0' && c <= '9') {
                value = uint16_t(value * 16 + (c - '0'));
            } else if (c >= 'a' && c <= 'f') {
                value = uint16_t(value * 16 + (c - 'a' + 10));
            } else {
                return false;
            }
        }
        out = value;
        return true;
    };
    const size_t at = path.find("vid_");  // "vid_xxxx&pid_xxxx"
    return at != std::string::npos && at + 17 <= path.size() && path.compare(at + 8, 5, "&pid_") == 0 &&
           hex(at + 4, vendor) && hex(at + 13, product);
}

std::vector<UsbSerialDevice> discover_usb_serial_devices() {
    std::vector<UsbSerialDevice> devices;
    HDEVINFO set = SetupDiGetClassDevsW(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return devices;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        // ERROR_NO_MORE_ITEMS ends the list; any other failure would repeat
        // for every index, so it ends the list as well.
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &iface)) break;
        UsbSerialDevice device;
        if (read_device(set, iface, device)) devices.push_back(std::move(device));
    }
    SetupDiDestroyDeviceInfoList(set);
    return devices;
}

}  // namespace zel::win32
