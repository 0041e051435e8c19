// The lock that keeps two runs off one HUB: a named mutex per HUB, which the
// system abandons when the process ends, however it ends. Beside it the
// holder publishes who it is, so that a run that finds the HUB held can say so.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/win32/win32_internal.hpp"

namespace zel::win32 {
namespace {

constexpr DWORD kHolderSize = 256;

class MutexLock final : public HubLock {
public:
    MutexLock(HANDLE mutex, HANDLE holder) : mutex_(mutex), holder_(holder) {}
    bool guards() const override { return true; }
    ~MutexLock() override {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
        if (holder_ != nullptr) CloseHandle(holder_);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    HANDLE mutex_;
    HANDLE holder_;
};

// "pid 4711 (zel_usb_interface.exe)" in a small named mapping that lives as
// long as its handle.
HANDLE publish_holder(const std::wstring& name) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kHolderSize, name.c_str());
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kHolderSize);
    if (view != nullptr) {
        wchar_t program[MAX_PATH] = {};
        const DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
        const std::wstring path(program, n < MAX_PATH ? n : 0);
        const std::wstring leaf = path.substr(path.find_last_of(L"\\/") + 1);
        const std::string text =
            "pid " + std::to_string(GetCurrentProcessId()) + " (" + to_utf8(leaf.c_str(), leaf.size()) + ")";
        CopyMemory(view, text.c_str(), std::min<size_t>(text.size() + 1, kHolderSize - 1));
        UnmapViewOfFile(view);
    }
    return mapping;
}

std::string read_holder(const std::wstring& name) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (mapping == nullptr) return {};
    std::string text;
    if (const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kHolderSize)) {
        const char* bytes = static_cast<const char*>(view);
        text.assign(bytes, strnlen(bytes, kHolderSize - 1));
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return text;
}

}  // namespace

std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder) {
    holder.clear();
    const std::wstring name = to_wide(hub_lock_name(key));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, (L"Global\\" + name).c_str());
    if (mutex == nullptr) {
        // Held by another user's run, whose mutex this user may not open.
        if (GetLastError() == ERROR_ACCESS_DENIED) return nullptr;
        return std::make_unique<HubLock>();  // nothing to share it through: the run goes on
    }
    const DWORD got = WaitForSingleObject(mutex, 0);
    // An abandoned mutex is free: its holder ended without letting go.
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        holder = read_holder(L"Local\\" + name + L"-holder");
        CloseHandle(mutex);
        return nullptr;
    }
    return std::make_unique<MutexLock>(mutex, publish_holder(L"Local\\" + name + L"-holder"));
}

}  // namespace zel::win32
