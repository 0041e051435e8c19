// What the Windows backend's files share: UTF-8 and UTF-16 texts, the
// files, and the SetupAPI discovery of the HUBs' ports.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"

namespace zel::win32 {

std::wstring to_wide(std::string_view utf8);
std::string to_utf8(const wchar_t* text, size_t length);

// Present USB devices with their interface path, port name (as it is
// opened: with the device prefix when longer than 4 characters) and location.
std::vector<UsbSerialDevice> discover_usb_serial_devices();

// The files of the seam (see Platform).
std::vector<std::string> list_directory(const std::string& dir);
bool remove_file(const std::string& path);
bool append_to_file(const std::string& path, std::string_view text);
FileStatus file_status(const std::string& path);
bool read_file(const std::string& path, uint64_t max_bytes, bool text, std::string& out);
FileWrite replace_file(const std::string& path, std::string_view content, bool text);

// The lock of one HUB (see Platform::lock_hub): a named mutex.
std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder);

// The port name as the table keeps it: COM3 stays, COM12 becomes \\.\COM12.
std::string port_entry_name(const std::string& registry_name);

// The USB identifiers in an interface path ("...#vid_03eb&pid_2404#..."):
// four lowercase hex digits each, as the system writes them; false when the
// path carries none.
bool usb_ids_of(const std::string& interface_path, uint16_t& vendor, uint16_t& product);

}  // namespace zel::win32
