// The fake sysfs and device tree through which the tool finds the stand-in's
// HUBs, laid out as the Linux discovery contract describes, one USB device
// directory per HUB, named after its location (here 1-2):
//   DIR/sys/class/tty/NAME -> DIR/sys/devices/usb1/1-2/1-2:1.0/tty/NAME
//   DIR/sys/devices/usb1/1-2/1-2:1.0/tty/NAME/device -> DIR/sys/devices/usb1/1-2/1-2:1.0
//   DIR/sys/devices/usb1/1-2/idVendor, idProduct ("0483\n")
//   DIR/dev/NAME -> /dev/pts/N
// The device directories sit side by side under usb<bus> (the number before
// the dash), also for a location behind a hub such as 1-1.4: unplugging one
// never takes another with it.
#pragma once

#include <cstdint>
#include <map>
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
    // The device at `location` appears with the tty entry `name`, its node a
    // link to `target`.
    bool plug(const std::string& location, const std::string& name, uint16_t vendor, uint16_t product,
              const std::string& target, std::string& error);
    // The device at `location` and its entries disappear (nothing when not plugged).
    void unplug(const std::string& location);
    // Removes everything prepare() made.
    void teardown();

    std::string sysfs_root() const { return dir_ + "/sys"; }
    std::string dev_root() const { return dir_ + "/dev"; }

private:
    std::string device_dir(const std::string& location) const;

    std::string dir_;
    std::map<std::string, std::string> plugged_;  // location -> tty entry name
    bool prepared_ = false;
    bool made_dir_ = false;
};

}  // namespace sim::server
