// The Windows backend of the platform seam: the comm API for the port,
// waitable timers for the short pauses, wide (UTF-16) file names so that
// folders named in any language work, and the console's Ctrl-C, Ctrl-Break
// and close, which end the run at its next wait.
#include "platform/win32/win32_internal.hpp"

#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>
#include <vector>

namespace zel::win32 {
namespace {

// FILETIME counts from 1601-01-01; the seam counts from 1970-01-01.
constexpr int64_t kFileTimeTo1970 = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

// Not in the mingw headers; asks for a timer that is not rounded up to the
// scheduler tick (Windows 10 1803 and later).
constexpr DWORD kCreateWaitableTimerHighResolution = 0x00000002;

std::atomic<const char*> g_interruption{nullptr};
HANDLE g_interrupted = nullptr;  // signalled once an interruption arrived
HANDLE g_main_thread = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    const char* by = nullptr;
    switch (event) {
        case CTRL_C_EVENT: by = "Ctrl-C"; break;
        case CTRL_BREAK_EVENT: by = "Ctrl-Break"; break;
        case CTRL_CLOSE_EVENT: by = "the console window closing"; break;
        default: by = "the session ending"; break;
    }
    const char* none = nullptr;
    g_interruption.compare_exchange_strong(none, by);
    SetEvent(g_interrupted);
    // A read or write that blocks the main thread returns at once.
    if (g_main_thread != nullptr) CancelSynchronousIo(g_main_thread);
    // The process ends when this returns from a close: give the run the
    // time the system allows to close the port and log where it stopped.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(4500);
    return TRUE;
}

HANDLE to_handle(PortHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

// The CRT this toolchain links writes the zone's name for %z; the tool shows
// the numeric offset (+hhmm), so that one is substituted before strftime.
std::string with_numeric_zone(const char* format, const std::tm& local, __time64_t utc_seconds) {
    std::tm copy = local;
    const __time64_t as_if_utc = _mkgmtime64(&copy);
    std::string zone;
    if (as_if_utc != -1) {
        long long offset = (as_if_utc - utc_seconds) / 60;
        char sign = '+';
        if (offset < 0) {
            sign = '-';
            offset = -offset;
        }
        char text[16];
        std::snprintf(text, sizeof text, "%c%02lld%02lld", sign, offset / 60 % 100, offset % 60);
        zone = text;
    }
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'z') {
            out += zone;
            ++p;
        } else if (p[0] == '%' && p[1] != '\0') {
            out += p[0];
            out += p[1];
            ++p;
        } else {
            out += p[0];
        }
    }
    return out;
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

class Win32Platform final : public Platform {
public:
    Win32Platform() {
        LARGE_INTEGER f;
        frequency_ = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1;
        g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        SetConsoleCtrlHandler(on_console_event, TRUE);
    }

    int64_t utc_now_ticks() override {
        FILETIME ft;
        GetSystemTimePreciseAsFileTime(&ft);
        const int64_t since_1601 = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
        return since_1601 - kFileTimeTo1970;
    }

    int64_t tick_count() override {
        LARGE_INTEGER c;
        QueryPerformanceCounter(&c);
        // Whole seconds and the remainder apart: counter * 10^7 would
        // overflow after a few weeks of uptime at a 10 MHz counter.
        const int64_t seconds = c.QuadPart / frequency_;
        const int64_t rest = c.QuadPart % frequency_;
        return seconds * kTicksPerSecond + rest * kTicksPerSecond / frequency_;
    }

    void sleep_ms(uint32_t ms) override { WaitForSingleObject(g_interrupted, ms); }

    void timer_wait(int64_t due_100ns) override {
        if (due_100ns <= 0) return;
        HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
        if (timer == nullptr) timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -due_100ns;  // negative: relative to now
        if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            const HANDLE waits[2] = {timer, g_interrupted};
            WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        } else {
            // No timer at all: a sleep rounded up still keeps the pause.
            sleep_ms(static_cast<DWORD>((due_100ns + 9999) / 10000));
        }
        if (timer != nullptr) CloseHandle(timer);
    }

    std::string format_local_time(uint32_t seconds, const char* format) override {
        const __time64_t t = static_cast<__time64_t>(seconds);
        std::tm local{};
        if (_localtime64_s(&local, &t) != 0) return std::string();
        const std::string fmt = with_numeric_zone(format, local, t);
        char text[80];
        const size_t n = std::strftime(text, sizeof text, fmt.c_str(), &local);
        return std::string(text, n);
    }

    // The texts keep their bytes; a reader that went away only loses them.
    void write_stdout(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        std::clearerr(stdout);
    }

    void write_stderr(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
        std::clearerr(stderr);
    }

    bool stderr_is_terminal() override { return _isatty(_fileno(stderr)) != 0; }

    std::string log_directory() override { return ".\\"; }

    std::vector<std::string> list_directory(const std::string& dir) override {
        std::vector<std::string> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(to_wide(dir + "*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            const std::string name = to_utf8(data.cFileName, wcslen(data.cFileName));
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }

    bool remove_file(const std::string& path) override { return DeleteFileW(to_wide(path).c_str()) != 0; }

    bool append_to_file(const std::string& path, std::string_view text) override {
        // A text stream, as the log has always been written on Windows: each
        // line feed is stored as CR LF.
        std::FILE* file = _wfopen(to_wide(path).c_str(), L"a");
        if (file == nullptr) return false;
        const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        const bool flushed = std::fflush(file) == 0;
        const bool closed = std::fclose(file) == 0;
        return written && flushed && closed;
    }

    FileStatus file_status(const std::string& path) override {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return {};
        if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
            return {FileStatus::Other, 0, false};
        }
        const uint64_t size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return {FileStatus::Regular, size, (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0};
    }

    bool read_file(const std::string& path, uint64_t max_bytes, bool text, std::string& out) override {
        HANDLE file = CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        out.clear();
        char piece[64 * 1024];
        bool ok = true;
        while (out.size() <= max_bytes) {
            DWORD got = 0;
            if (!ReadFile(file, piece, sizeof piece, &got, nullptr)) ok = false;
            if (!ok || got == 0) break;
            out.append(piece, got);
        }
        CloseHandle(file);
        if (text) {
            std::string lines;
            for (size_t i = 0; i < out.size(); ++i) {
                if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) lines += out[i];
            }
            out = std::move(lines);
        }
        if (out.size() > max_bytes + 1) out.resize(max_bytes + 1);
        return ok;
    }

    FileWrite replace_file(const std::string& path, std::string_view content, bool text) override {
        const std::wstring target = to_wide(path);
        const DWORD attributes = GetFileAttributesW(target.c_str());
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return FileWrite::NotRegular;
        if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return FileWrite::ReadOnly;
        const std::string bytes = text ? with_crlf(content) : std::string(content);

        // A hidden name beside the target keeps the rename within one volume.
        const size_t slash = path.find_last_of("\\/");
        const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        static std::atomic<unsigned> serial{0};
        const std::wstring temporary =
            to_wide(folder + "." + path.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 64) + "." +
                    std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++) + ".tmp");
        DWORD error = 0;
        if (!write_new(temporary, bytes, error)) {
            if (!exists || error != ERROR_ACCESS_DENIED) return FileWrite::Failed;
            // The folder takes no new file, but the file itself may be written.
            HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) return FileWrite::Failed;
            const bool ok = write_all(file, bytes) && FlushFileBuffers(file);
            CloseHandle(file);
            return ok ? FileWrite::WrittenInPlace : FileWrite::Failed;
        }
        if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DeleteFileW(temporary.c_str());
            return FileWrite::Failed;
        }
        return FileWrite::Replaced;
    }

    std::vector<UsbSerialDevice> list_usb_serial_devices() override { return discover_usb_serial_devices(); }

    PortHandle port_create(const std::string& name, OpenFailure& why) override {
        HANDLE h = CreateFileW(to_wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE && h != nullptr) return reinterpret_cast<PortHandle>(h);
        switch (GetLastError()) {
            // A COM port that another program holds answers "access denied".
            case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: why = OpenFailure::Busy; break;
            case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: why = OpenFailure::Missing; break;
            default: why = OpenFailure::Other; break;
        }
        return kInvalidPort;
    }

    // Windows does not show who holds a COM port without a driver of its own.
    std::string port_holder(const std::string&) override { return {}; }
    std::string port_open_hint(const std::string&) override { return {}; }

    bool port_set_state(PortHandle h) override {
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 3000000;
        dcb.fBinary = 1;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        return SetCommState(to_handle(h), &dcb) != 0;
    }

    bool port_set_queues(PortHandle h, uint32_t in_bytes, uint32_t out_bytes) override {
        return SetupComm(to_handle(h), in_bytes, out_bytes) != 0;
    }

    bool port_set_timeouts(PortHandle h) override {
        COMMTIMEOUTS t;
        ZeroMemory(&t, sizeof t);
        t.ReadIntervalTimeout = 10;
        t.ReadTotalTimeoutMultiplier = 10;
        t.ReadTotalTimeoutConstant = 10;
        t.WriteTotalTimeoutMultiplier = 10;
        t.WriteTotalTimeoutConstant = 10;
        return SetCommTimeouts(to_handle(h), &t) != 0;
    }

    bool port_flush(PortHandle h) override { return FlushFileBuffers(to_handle(h)) != 0; }

    int port_write(PortHandle h, const uint8_t* data, uint32_t length) override {
        // The handle is not opened for overlapped I/O, so the call returns
        // when the write is done, or its time-out has passed.
        DWORD written = 0;
        if (!WriteFile(to_handle(h), data, length, &written, nullptr)) return -1;
        return static_cast<int>(written);
    }

    int port_read(PortHandle h, uint8_t* data, uint32_t length) override {
        DWORD got = 0;
        if (!ReadFile(to_handle(h), data, length, &got, nullptr)) return -1;
        return got <= length ? static_cast<int>(got) : -1;
    }

    void port_close(PortHandle h) override {
        if (h != kInvalidPort) CloseHandle(to_handle(h));
    }

    std::string environment(const char* name) override {
        const wchar_t* value = _wgetenv(to_wide(name).c_str());
        return value != nullptr ? to_utf8(value, wcslen(value)) : std::string();
    }

    std::string interruption() override {
        const char* by = g_interruption.load();
        return by != nullptr ? by : "";
    }

    // Windows keeps all 32 bits of an exit code.
    int exit_status(int result) override { return result; }

private:
    int64_t frequency_ = 1;
};

}  // namespace

std::wstring to_wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::string to_utf8(const wchar_t* text, size_t length) {
    if (length == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, int(length), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace zel::win32

namespace zel {

Platform& native_platform() {
    static win32::Win32Platform platform;
    return platform;
}

std::vector<std::string> native_arguments(int argc, char** argv) {
    // The command line as the user typed it, in UTF-16: the narrow argv has
    // lost every character outside the code page.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(win32::to_utf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

}  // namespace zel
