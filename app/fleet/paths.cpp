#include "app/fleet/paths.hpp"

#include <cctype>

#include "platform/platform.hpp"

namespace zel::fleet {
namespace {

bool is_separator(Platform& platform, char c) {
    return c == '/' || c == separator(platform);
}

bool is_absolute(Platform& platform, const std::string& path) {
    if (!path.empty() && is_separator(platform, path[0])) return true;
    // A drive letter, where the system has backslashes.
    return separator(platform) == '\\' && path.size() >= 2 && std::isalpha(uint8_t(path[0])) && path[1] == ':';
}

}  // namespace

char separator(Platform& platform) {
    const std::string folder = platform.log_directory();
    return folder.empty() ? '/' : folder.back();
}

std::string absolute_path(Platform& platform, const std::string& path) {
    if (is_absolute(platform, path)) return path;
    std::string folder = platform.current_directory();
    if (folder.empty() || !is_separator(platform, folder.back())) folder += separator(platform);
    return folder + (path.rfind("./", 0) == 0 || path.rfind(".\\", 0) == 0 ? path.substr(2) : path);
}

std::string leaf_name(Platform& platform, const std::string& path) {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (is_separator(platform, path[i])) start = i + 1;
    }
    return path.substr(start);
}

std::string folder_name(const std::string& text) {
    std::string name;
    for (const char c : text) {
        const bool reserved = uint8_t(c) < 0x20 || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
        name += reserved ? '_' : c;
    }
    return name.empty() || name == "." || name == ".." ? "_" + name : name;
}

bool make_directories(Platform& platform, const std::string& path) {
    // Each level in turn; one that cannot be made may be there already (or
    // be a drive or a share), which the last level shows.
    for (size_t i = 1; i < path.size(); ++i) {
        if (is_separator(platform, path[i]) && !is_separator(platform, path[i - 1]) &&
            platform.file_status(path.substr(0, i)).kind == FileStatus::Missing) {
            platform.make_directory(path.substr(0, i));
        }
    }
    return platform.make_directory(path) || platform.file_status(path).kind == FileStatus::Other;
}

}  // namespace zel::fleet
