// The Windows backend's files: wide (UTF-16) names in their long \\?\ form,
// so that folders named in any language and paths of any length work; a
// file the user owns is replaced whole through a temporary beside it.
#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/win32_internal.hpp"

namespace zel::win32 {
namespace {

// The name the file functions get for `path`: absolute and in the \\?\ form,
// so that no path is held to the old 260 characters, whatever the system's
// long-path setting. A reserved device name ("NUL", "COM7") comes back in
// its \\.\ form with `device` set: it is never one of the user's files.
std::wstring file_name(const std::string& path, bool& device) {
    device = false;
    const std::wstring given = to_wide(path);
    if (given.empty() || given.rfind(L"\\\\?\\", 0) == 0) return given;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return given;
        const bool fits = n < full.size();
        full.resize(n);
        if (fits) break;
    }
    if (full.rfind(L"\\\\.\\", 0) == 0) {
        device = true;
        return full;
    }
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring file_name(const std::string& path) {
    bool device = false;
    return file_name(path, device);
}

bool write_all(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

std::string with_crlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// A new file with the bytes; false (and `error` why it could not be made)
// when it is not there whole.
bool write_new(const std::wstring& name, std::string_view bytes, DWORD& error) {
    error = 0;
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    const bool ok = write_all(file, bytes) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok) DeleteFileW(name.c_str());
    return ok;
}

bool not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_BAD_NETPATH || error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_DRIVE;
}

FileStatus status_of(DWORD attributes, DWORD size_high, DWORD size_low) {
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return {FileStatus::Other, 0, false};
    return {FileStatus::Regular, (uint64_t(size_high) << 32) | size_low, (attributes & FILE_ATTRIBUTE_READONLY) != 0};
}

}  // namespace

std::vector<std::string> list_directory(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(file_name(dir + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = to_utf8(data.cFileName, wcslen(data.cFileName));
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

bool remove_file(const std::string& path) {
    return DeleteFileW(file_name(path).c_str()) != 0;
}

bool append_to_file(const std::string& path, std::string_view text) {
    // Each line feed is stored as CR LF, as the log has always been
    // written on Windows; shared, so that the log can be watched growing.
    HANDLE file =
        CreateFileW(file_name(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = write_all(file, with_crlf(text));
    return CloseHandle(file) != 0 && written;
}

FileStatus file_status(const std::string& path) {
    bool device = false;
    const std::wstring name = file_name(path, device);
    if (device) return {FileStatus::Other, 0, false};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) {
        return status_of(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
    }
    if (not_found(GetLastError())) return {};
    // A file another program holds locked still has its directory entry.
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(name.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return {};
    FindClose(find);
    return status_of(found.dwFileAttributes, found.nFileSizeHigh, found.nFileSizeLow);
}

bool read_file(const std::string& path, uint64_t max_bytes, bool text, std::string& out) {
    bool device = false;
    const std::wstring name = file_name(path, device);
    if (device) return false;  // a port or a console could hold the run
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    out.clear();
    bool ok = GetFileType(file) == FILE_TYPE_DISK;
    bool carriage_return = false;  // the last byte read, held back until the next shows a line end
    std::vector<char> piece(64 * 1024);
    while (ok && out.size() <= max_bytes) {
        DWORD got = 0;
        ok = ReadFile(file, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) != 0;
        if (!ok || got == 0) break;
        for (DWORD i = 0; i < got; ++i) {
            if (text && carriage_return && piece[i] != '\n') out += '\r';
            carriage_return = text && piece[i] == '\r';
            if (!carriage_return) out += piece[i];
        }
    }
    if (carriage_return) out += '\r';
    CloseHandle(file);
    if (out.size() > max_bytes + 1) out.resize(max_bytes + 1);
    return ok;
}

FileWrite replace_file(const std::string& path, std::string_view content, bool text) {
    bool device = false;
    const std::wstring target = file_name(path, device);
    if (device) return FileWrite::NotRegular;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return FileWrite::NotRegular;
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return FileWrite::ReadOnly;
    const std::string bytes = text ? with_crlf(content) : std::string(content);

    // A name of its own beside the target keeps the rename within one
    // volume; short, so that a long target leaves room for it.
    const std::wstring folder = target.substr(0, target.find_last_of(L"\\/") + 1);
    static std::atomic<unsigned> serial{0};
    std::wstring temporary;
    DWORD error = ERROR_FILE_EXISTS;
    bool made = false;
    for (int attempt = 0; attempt < 3 && !made && error == ERROR_FILE_EXISTS; ++attempt) {
        temporary =
            folder + L".zel-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(serial++) + L".tmp";
        made = write_new(temporary, bytes, error);
    }
    if (!made) {
        if (!exists || error != ERROR_ACCESS_DENIED) return FileWrite::Failed;
        // The folder takes no new file, but the file itself may be written:
        // over its old bytes, which go back if the new ones do not all fit.
        HANDLE file = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return FileWrite::Failed;
        std::string old;
        char piece[4096];
        bool kept = true;
        for (DWORD n = 1; kept && n > 0;) {
            kept = ReadFile(file, piece, sizeof piece, &n, nullptr) != 0;
            if (kept) old.append(piece, n);
        }
        if (!kept) {  // the old bytes could not all be kept: do not start
            CloseHandle(file);
            return FileWrite::Failed;
        }
        auto put = [file](std::string_view content) {
            return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && write_all(file, content) &&
                   SetEndOfFile(file) && FlushFileBuffers(file);
        };
        const bool ok = put(bytes);
        if (!ok) put(old);
        CloseHandle(file);
        return ok ? FileWrite::WrittenInPlace : FileWrite::Failed;
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return FileWrite::Failed;
    }
    return FileWrite::Replaced;
}

}  // namespace zel::win32
