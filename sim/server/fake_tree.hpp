// The fake sysfs and device tree through which the tool finds the stand-in,
// laid out as the Linux discovery contract describes:
//   DIR/sys/class/tty/NAME -> DIR/sys/devices/usb1/1-1/1-1:1.0/tty/NAME
//   DIR/sys/devices/usb1/1-1/1-1:1.0/tty/NAME/device -> DIR/sys/devices/usb1/1-1/1-1:1.0
//   DIR/sys/devices/usb1/1-1/idVendor, idProduct ("0483\n")
//   DIR/dev/NAME -> /dev/pts/N
#pragma once

#include <cstdint>
#include <string>

namespace sim::server {

class FakeTree {
public:
    // `dir` must be absolute.
    explicit FakeTree(std::string dir) : dir_(std::move(dir)) {}
    ~FakeTree() { teardown(); }
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    // Makes the empty roots. Refuses a directory that already holds a tree,
    // so a second server never clobbers a running one's entries.
    bool prepare(std::string& error);
    // The device appears under `name`, its node a link to `target`.
    bool plug(const std::string& name, uint16_t vendor, uint16_t product, const std::string& target,
              std::string& error);
    // The device and its node disappear (nothing when not plugged).
    void unplug();
    // Removes everything prepare() made.
    void teardown();

    std::string sysfs_root() const { return dir_ + "/sys"; }
    std::string dev_root() const { return dir_ + "/dev"; }
    bool plugged() const { return !name_.empty(); }

private:
    std::string device_dir() const { return dir_ + "/sys/devices/usb1/1-1"; }

    std::string dir_;
    std::string name_;
    bool prepared_ = false;
    bool made_dir_ = false;
};

}  // namespace sim::server
