// The lock that keeps two runs off one HUB: a lock file per HUB, held with
// flock for as long as the run lasts, so the kernel lets go of it when the
// process ends, however it ends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_internal.hpp"

namespace zel::posix {
namespace {

bool writable_folder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK) == 0;
}

// ZEL_LOCK_DIR, else the system's lock folder, else the user's runtime folder, else /tmp.
std::string lock_folder() {
    const char* chosen = std::getenv("ZEL_LOCK_DIR");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    if (writable_folder("/run/lock")) return "/run/lock";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && writable_folder(runtime)) return runtime;
    return "/tmp";
}

class FileLock final : public HubLock {
public:
    explicit FileLock(int fd) : fd_(fd) {}
    ~FileLock() override { ::close(fd_); }
    bool guards() const override { return true; }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

}  // namespace

std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder) {
    holder.clear();
    const std::string path = lock_folder() + "/" + hub_lock_name(key) + ".lock";
    // Read access is all flock needs. The file is opened as it is first: a
    // sticky world-writable folder (/tmp) may refuse to create over another
    // user's file; only a missing one is made, readable by everyone, so that
    // every user's runs can lock it.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);
        } else if (errno == EEXIST) {
            fd = ::open(path.c_str(), kFlags);  // another run made it just now
        }
    }
    // Without a lock file there is nothing to share it through: the run goes
    // on, as it would where no other run could interfere.
    if (fd < 0) return std::make_unique<HubLock>();
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<FileLock>(fd);
    const bool busy = errno == EWOULDBLOCK;
    if (busy) holder = lock_holder(fd);
    ::close(fd);
    return busy ? nullptr : std::make_unique<HubLock>();
}

}  // namespace zel::posix
