// Paths the fleet makes: absolute ones for what its children read, since
// each works in its HUB's folder, and the folders of its records.
#pragma once

#include <string>

namespace zel {
class Platform;
}

namespace zel::fleet {

// The system's folder separator, as its log folder ("./" or ".\") shows it.
char separator(Platform& platform);
// `path` as seen from the working folder, made absolute.
std::string absolute_path(Platform& platform, const std::string& path);
// The last name of a path ("net.xml" of "out/net.xml").
std::string leaf_name(Platform& platform, const std::string& path);
// A name that every system takes as one folder: separators, reserved and
// control characters become '_'.
std::string folder_name(const std::string& text);
// Makes the folder and those above it that are missing; true when it is
// there at the end.
bool make_directories(Platform& platform, const std::string& path);

}  // namespace zel::fleet
