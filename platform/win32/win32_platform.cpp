// The Windows backend of the platform seam: the comm API for the port,
// waitable timers for the short pauses, wide (UTF-16) file names so that
// folders named in any language work, and the console's Ctrl-C, Ctrl-Break
// and close, which end the run at its next wait.
#include "platform/win32/win32_internal.hpp"
#include "platform/win32/win32_process.hpp"

#include <shellapi.h>

#include <algorithm>
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
constexpr int64_t kTicksPerMs = 10000LL;

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
    if (g_interrupted != nullptr) SetEvent(g_interrupted);
    // A read or write that blocks the main thread returns at once. One that
    // starts after this sees the flag first (port_read, port_write); one that
    // starts in the moment between that check and the call runs to its own
    // time-out.
    if (g_main_thread != nullptr) CancelSynchronousIo(g_main_thread);
    // The process ends when this returns from a close: give the run the
    // time the system allows to close the port and log where it stopped.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(4500);
    return TRUE;
}

bool interrupted() {
    return g_interruption.load() != nullptr;
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

// A console shows the texts through UTF-16, whatever its code page; a pipe
// or a file gets the UTF-8 bytes, with CR LF line ends as from printf.
void write_text(DWORD which, std::FILE* stream, std::string_view text) {
    const HANDLE console = GetStdHandle(which);
    DWORD mode = 0;
    if (console != nullptr && console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        std::fflush(stream);
        const std::wstring wide = to_wide(text);
        DWORD written = 0;
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    std::clearerr(stream);
}

class Win32Platform final : public ProcessSeam {
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
        const int64_t since_1601 =
            static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
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

    // Both waits run to a deadline on the monotonic clock: a Windows wait
    // may end up to a clock tick early, and what is left is waited again.
    void sleep_ms(uint32_t ms) override { sleep_until(tick_count() + int64_t{ms} * kTicksPerMs); }

    void timer_wait(int64_t due_100ns) override {
        if (due_100ns <= 0) return;
        const int64_t deadline = tick_count() + due_100ns;
        HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
        if (timer == nullptr) timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        for (int64_t left = due_100ns; left > 0 && !interrupted(); left = deadline - tick_count()) {
            LARGE_INTEGER due;
            due.QuadPart = -left;  // negative: relative to now
            if (timer == nullptr || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
                sleep_until(deadline);  // no timer at all: a plain wait still keeps the pause
                break;
            }
            const HANDLE waits[2] = {timer, g_interrupted};
            WaitForMultipleObjects(g_interrupted != nullptr ? 2 : 1, waits, FALSE, INFINITE);
        }
        if (timer != nullptr) CloseHandle(timer);
    }

    std::string format_local_time(uint32_t seconds, const char* format) override {
        const __time64_t t = static_cast<__time64_t>(seconds);
        std::tm local{};
        if (format == nullptr || _localtime64_s(&local, &t) != 0) return std::string();
        const std::string fmt = with_numeric_zone(format, local, t);
        char text[80];
        const size_t n = std::strftime(text, sizeof text, fmt.c_str(), &local);
        return std::string(text, n);
    }

    // A reader that went away only loses the texts.
    void write_stdout(std::string_view text) override { write_text(STD_OUTPUT_HANDLE, stdout, text); }
    void write_stderr(std::string_view text) override { write_text(STD_ERROR_HANDLE, stderr, text); }

    // A console only: NUL is a character device too, and would pass _isatty.
    bool stderr_is_terminal() override {
        DWORD mode = 0;
        return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    }

    std::string log_directory() override { return ".\\"; }

    std::vector<std::string> list_directory(const std::string& dir) override { return win32::list_directory(dir); }
    bool remove_file(const std::string& path) override { return win32::remove_file(path); }
    bool append_to_file(const std::string& path, std::string_view text) override {
        return win32::append_to_file(path, text);
    }
    FileStatus file_status(const std::string& path) override { return win32::file_status(path); }
    bool read_file(const std::string& path, uint64_t max_bytes, bool text, std::string& out) override {
        return win32::read_file(path, max_bytes, text, out);
    }
    // A new file takes the access of its folder (a user's folders are the
    // user's): `owner_only` needs nothing more here.
    FileWrite replace_file(const std::string& path, std::string_view content, bool text, bool) override {
        return win32::replace_file(path, content, text);
    }

    std::vector<UsbSerialDevice> list_usb_serial_devices() override { return discover_usb_serial_devices(); }

    PortHandle port_create(const std::string& name, OpenFailure& why) override {
        why = OpenFailure::None;
        HANDLE h = CreateFileW(to_wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE && h != nullptr) return reinterpret_cast<PortHandle>(h);
        switch (GetLastError()) {
            // A COM port that another program holds answers "access denied".
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION: why = OpenFailure::Busy; break;
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND: why = OpenFailure::Missing; break;
            default: why = OpenFailure::Other; break;
        }
        return kInvalidPort;
    }

    // Windows does not show who holds a COM port without a driver of its own.
    std::string port_holder(const std::string&) override { return {}; }
    std::string port_open_hint(const std::string&) override { return {}; }

    bool port_set_state(PortHandle h) override {
        // From the port's current state, so that every field this does not
        // set holds a value its driver accepts (equal XON and XOFF
        // characters, as a zeroed record has, are refused).
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(to_handle(h), &dcb)) return false;
        dcb.BaudRate = 3000000;
        dcb.fBinary = 1;
        dcb.fParity = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fErrorChar = 0;
        dcb.fNull = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = 0;  // else one line error stops every read until it is cleared
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (dcb.XonChar == dcb.XoffChar) {
            dcb.XonChar = 0x11;
            dcb.XoffChar = 0x13;
        }
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
        if (interrupted()) return 0;
        // The handle is not opened for overlapped I/O, so the call returns
        // when the write is done, or its time-out has passed.
        DWORD written = 0;
        if (WriteFile(to_handle(h), data, length, &written, nullptr)) return static_cast<int>(written);
        // Some drivers end a timed-out write with an error: what went out still counts.
        const DWORD error = GetLastError();
        return error == ERROR_SEM_TIMEOUT || error == ERROR_COUNTER_TIMEOUT ? static_cast<int>(written) : -1;
    }

    int port_read(PortHandle h, uint8_t* data, uint32_t length) override {
        if (interrupted()) return 0;
        DWORD got = 0;
        if (!ReadFile(to_handle(h), data, length, &got, nullptr)) return -1;
        return got <= length ? static_cast<int>(got) : -1;
    }

    void port_close(PortHandle h) override {
        if (h != kInvalidPort) CloseHandle(to_handle(h));
    }

    std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder) override {
        return win32::lock_hub(key, holder);
    }

    // From the system's own UTF-16 block: the runtime's wide copy of the
    // environment is made from the narrow one and has lost what the code
    // page cannot hold.
    std::string environment(const char* name) override {
        const std::wstring key = to_wide(name);
        std::wstring value(256, L'\0');
        for (;;) {
            const DWORD n = GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
            if (n == 0) return std::string();
            if (n < value.size()) return to_utf8(value.data(), n);
            value.resize(n);
        }
    }

    std::string interruption() override {
        const char* by = g_interruption.load();
        return by != nullptr ? by : "";
    }

    // Windows keeps all 32 bits of an exit code.
    int exit_status(int result) override { return result; }

private:
    void sleep_until(int64_t deadline) {
        for (int64_t left = deadline - tick_count(); left > 0 && !interrupted(); left = deadline - tick_count()) {
            const DWORD ms =
                static_cast<DWORD>(std::min<int64_t>((left + kTicksPerMs - 1) / kTicksPerMs, INFINITE - 1));
            if (g_interrupted != nullptr) {
                WaitForSingleObject(g_interrupted, ms);
            } else {
                Sleep(ms);
            }
        }
    }

    int64_t frequency_ = 1;
};

}  // namespace

std::wstring to_wide(std::string_view utf8) {
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
