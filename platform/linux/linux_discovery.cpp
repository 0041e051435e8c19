// USB serial discovery through sysfs, by the Linux discovery contract.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_internal.hpp"

namespace zel::posix {
namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    std::string text = (value != nullptr && *value != '\0') ? value : fallback;
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// Strictly below `root`: the root itself is never a USB device.
bool is_below(const std::string& path, const std::string& root) {
    if (root == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// An identifier file as the kernel writes it: hex digits and a newline.
bool read_usb_id(const std::string& path, uint32_t& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[16];
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return false;
    size_t len = static_cast<size_t>(n);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' ')) --len;
    if (len == 0 || len > 4) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = uint32_t(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = uint32_t(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = uint32_t(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    out = value;
    return true;
}

}  // namespace

namespace {

// The USB device behind one tty entry: the nearest directory, from the
// entry's interface upwards and inside the sysfs root, that carries the
// identifiers. False for ttys that are not on USB.
bool find_usb_device(const std::string& root, const std::string& entry, std::string& device_dir, uint32_t& vendor,
                     uint32_t& product) {
    std::string dir;
    if (!real_path(entry + "/device", dir)) return false;
    while (is_below(dir, root)) {
        const std::string vid_file = dir + "/idVendor";
        const std::string pid_file = dir + "/idProduct";
        if (file_exists(vid_file) && file_exists(pid_file)) {
            if (!read_usb_id(vid_file, vendor) || !read_usb_id(pid_file, product)) return false;
            device_dir = dir;
            return true;
        }
        dir.erase(dir.rfind('/'));
    }
    return false;
}

}  // namespace

std::vector<UsbSerialDevice> discover_usb_serial_devices() {
    std::vector<UsbSerialDevice> devices;
    std::string root;
    if (!real_path(env_or("ZEL_SYSFS_ROOT", "/sys"), root)) return devices;
    std::string dev_root = env_or("ZEL_DEV_ROOT", "/dev");
    if (dev_root == "/") dev_root.clear();

    const std::string class_dir = root + "/class/tty";
    std::vector<std::string> names = directory_entries(class_dir);
    std::sort(names.begin(), names.end(), natural_less);
    for (const std::string& name : names) {
        std::string device_dir;
        uint32_t vendor = 0, product = 0;
        std::string entry = class_dir;
        entry.append("/").append(name);
        if (!find_usb_device(root, entry, device_dir, vendor, product)) continue;
        // The device's folder is named after its place on the bus ("1-1.4").
        const std::string location = device_dir.substr(device_dir.rfind('/') + 1);
        std::string port = dev_root;
        port.append("/").append(name);
        // Its folder's real path names the socket uniquely, also across the
        // fake trees of several stand-ins.
        devices.push_back(UsbSerialDevice{uint16_t(vendor), uint16_t(product), port, location, device_dir});
    }
    return devices;
}

}  // namespace zel::posix
