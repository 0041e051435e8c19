// What the POSIX backend takes from Linux alone: who holds a port or a lock
// (from /proc), the timer slack (prctl), the port's speed constant, and how
// a user gets the permission to open a port, and the running program's path.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/posix/posix_internal.hpp"

namespace zel::posix {

std::string find_port_holder(const std::string& port) {
    std::string device;
    if (!real_path(port, device)) return {};
    const std::string self = std::to_string(::getpid());
    for (const std::string& pid : directory_entries("/proc")) {
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        const std::string process = "/proc/" + pid;
        const std::string fd_dir = process + "/fd/";
        for (const std::string& fd : directory_entries(fd_dir)) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink((fd_dir + fd).c_str(), target, sizeof target - 1);
            if (n <= 0 || device.compare(0, std::string::npos, target, size_t(n)) != 0) continue;
            std::string name;
            if (FILE* comm = std::fopen((process + "/comm").c_str(), "r")) {
                char text[64] = {};
                if (std::fgets(text, sizeof text, comm) != nullptr) name = text;
                std::fclose(comm);
            }
            while (!name.empty() && name.back() == '\n') name.pop_back();
            return "pid " + pid + (name.empty() ? "" : " (" + name + ")");
        }
    }
    return {};
}

// Who holds the flock on the file: its device and inode in /proc/locks give
// the process ("1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF").
std::string lock_holder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    char where[64];
    std::snprintf(where, sizeof where, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, file;
        fields >> id >> kind;
        if (kind == "->") fields >> kind;  // a waiter, not the holder
        fields >> mode >> access >> pid >> file;
        if (kind != "FLOCK" || file != where || pid.empty() || pid == "0") continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
        return "pid " + pid + (name.empty() ? "" : " (" + name + ")");
    }
    return {};
}

void tighten_timer_slack() {
    thread_local const bool done = [] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        return true;
    }();
    (void)done;
}

bool set_hub_speed(termios& settings) {
    return ::cfsetispeed(&settings, B3000000) == 0 && ::cfsetospeed(&settings, B3000000) == 0;
}

std::string permission_hint(const std::string& port) {
    return "CDC-interface: No permission to open " + port +
           ": install the tool's udev rule (70-zel-hub.rules) and plug the HUB in again, or add your user to "
           "the dialout group (sudo usermod -aG dialout $USER) and log in again\n";
}

std::string running_executable() {
    std::string path(PATH_MAX + 1, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    return n > 0 && size_t(n) < path.size() ? path.substr(0, size_t(n)) : std::string();
}

}  // namespace zel::posix
