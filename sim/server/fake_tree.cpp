#include "sim/server/fake_tree.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace sim::server {

namespace {

// Written under a temporary name and renamed, so a discovery that runs at
// the same moment never reads half an identifier.
bool write_id(const std::string& path, uint16_t id, std::string& error) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x\n", id);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            error = "cannot write " + temporary;
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = "cannot rename " + temporary + ": " + ec.message();
        return false;
    }
    return true;
}

bool make_link(const std::string& target, const std::string& link, std::string& error) {
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    if (ec) error = "cannot link " + link + " -> " + target + ": " + ec.message();
    return !ec;
}

}  // namespace

bool FakeTree::prepare(std::string& error) {
    std::error_code ec;
    if (!fs::exists(dir_, ec)) {
        fs::create_directories(dir_, ec);
        if (ec) {
            error = "cannot create " + dir_ + ": " + ec.message();
            return false;
        }
        made_dir_ = true;
    }
    for (const std::string& root : {sysfs_root(), dev_root()}) {
        if (fs::exists(fs::symlink_status(root, ec))) {
            error = root + " already exists (another zel_hub_sim, or one that was killed: remove it)";
            return false;
        }
    }
    prepared_ = true;
    for (const std::string& d : {dir_ + "/sys/class/tty", dir_ + "/sys/devices", dev_root()}) {
        fs::create_directories(d, ec);
        if (ec) {
            error = "cannot create " + d + ": " + ec.message();
            return false;
        }
    }
    return true;
}

std::string FakeTree::device_dir(const std::string& location) const {
    return dir_ + "/sys/devices/usb" + location.substr(0, location.find('-')) + "/" + location;
}

bool FakeTree::plug(const std::string& location, const std::string& name, uint16_t vendor, uint16_t product,
                    const std::string& target, std::string& error) {
    unplug(location);
    const std::string device = device_dir(location);
    const std::string interface = device + "/" + location + ":1.0";
    const std::string tty = interface + "/tty/" + name;
    std::error_code ec;
    fs::create_directories(tty, ec);
    if (ec) {
        error = "cannot create " + tty + ": " + ec.message();
        return false;
    }
    plugged_[location] = name;  // from here on unplug() has something to undo
    // The node before the class entry: whatever discovery finds can be opened.
    return write_id(device + "/idVendor", vendor, error) && write_id(device + "/idProduct", product, error) &&
           make_link(interface, tty + "/device", error) && make_link(target, dev_root() + "/" + name, error) &&
           make_link(tty, dir_ + "/sys/class/tty/" + name, error);
}

void FakeTree::unplug(const std::string& location) {
    const auto it = plugged_.find(location);
    if (it == plugged_.end()) return;
    std::error_code ec;
    // The class entry first: discovery stops finding it before its node goes.
    fs::remove(dir_ + "/sys/class/tty/" + it->second, ec);
    fs::remove(dev_root() + "/" + it->second, ec);
    fs::remove_all(device_dir(location), ec);
    plugged_.erase(it);
}

void FakeTree::teardown() {
    if (!prepared_) return;
    while (!plugged_.empty()) unplug(plugged_.begin()->first);
    std::error_code ec;
    fs::remove_all(sysfs_root(), ec);
    fs::remove_all(dev_root(), ec);
    if (made_dir_) fs::remove(dir_, ec);  // only when empty
    prepared_ = false;
}

}  // namespace sim::server
