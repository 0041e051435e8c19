// The Windows backend of the platform seam: SetupAPI and the registry for
// discovery, the comm API for the port, waitable timers for the short pauses.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>
#include <io.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace zel {
namespace {

// FILETIME counts from 1601-01-01; the seam counts from 1970-01-01.
constexpr int64_t kFileTimeTo1970 = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

// Not in the mingw headers; asks for a timer that is not rounded up to the
// scheduler tick (Windows 10 1803 and later).
constexpr DWORD kCreateWaitableTimerHighResolution = 0x00000002;

// The USB device interface class: every present USB device, whatever its driver.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

HANDLE to_handle(PortHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

// Names coming back from the system are narrowed to their low bytes, and the
// names we pass in are widened byte by byte, so a discovered name round-trips.
std::string narrow(const wchar_t* text, size_t max_chars) {
    std::string out;
    for (size_t i = 0; i < max_chars && text[i] != L'\0'; ++i) {
        out.push_back(static_cast<char>(static_cast<unsigned>(text[i]) & 0xFFu));
    }
    return out;
}

std::wstring widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
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

class Win32Platform final : public Platform {
public:
    Win32Platform() {
        LARGE_INTEGER f;
        frequency_ = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1;
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

    void sleep_ms(uint32_t ms) override { Sleep(ms); }

    void timer_wait(int64_t due_100ns) override {
        if (due_100ns <= 0) return;
        HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
        if (timer == nullptr) timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
        if (timer == nullptr) {
            // No timer at all: a sleep rounded up still keeps the pause.
            Sleep(static_cast<DWORD>((due_100ns + 9999) / 10000));
            return;
        }
        LARGE_INTEGER due;
        due.QuadPart = -due_100ns;  // negative: relative to now
        if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            WaitForSingleObject(timer, INFINITE);
        } else {
            Sleep(static_cast<DWORD>((due_100ns + 9999) / 10000));
        }
        CloseHandle(timer);
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

    void write_stdout(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    void write_stderr(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }

    bool stderr_is_terminal() override { return _isatty(_fileno(stderr)) != 0; }

    std::vector<std::string> list_directory(const std::string& dir) override {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        const std::string pattern = dir + "*";
        HANDLE find = FindFirstFileA(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            const std::string name(data.cFileName);
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileA(find, &data));
        FindClose(find);
        return names;
    }

    bool remove_file(const std::string& path) override { return std::remove(path.c_str()) == 0; }

    bool append_to_file(const std::string& path, std::string_view text) override {
        // A text stream, as the log has always been written on Windows: each
        // line feed is stored as CR LF.
        std::FILE* file = std::fopen(path.c_str(), "a");
        if (file == nullptr) return false;
        const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        const bool flushed = std::fflush(file) == 0;
        const bool closed = std::fclose(file) == 0;
        return written && flushed && closed;
    }

    std::vector<UsbSerialDevice> list_usb_serial_devices() override {
        std::vector<UsbSerialDevice> devices;
        HDEVINFO set = SetupDiGetClassDevsW(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return devices;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA iface{};
            iface.cbSize = sizeof iface;
            // ERROR_NO_MORE_ITEMS ends the list; any other failure would
            // repeat for every index, so it ends the list as well.
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &iface)) break;
            UsbSerialDevice device;
            if (read_device(set, iface, device)) devices.push_back(std::move(device));
        }
        SetupDiDestroyDeviceInfoList(set);
        return devices;
    }

    PortHandle port_create(const std::string& name) override {
        const std::wstring wide = widen(name);
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) return kInvalidPort;
        return reinterpret_cast<PortHandle>(h);
    }

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
        // when the write is done.
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

private:
    // The interface path and the "PortName" of one device; false when either
    // cannot be read (a device without a port name is of no use to the caller).
    static bool read_device(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& iface, UsbSerialDevice& device) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
        constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        if (required <= kPathOffset || required > 65536) return false;
        // DWORD elements keep the record aligned; zero-filled, so a path the
        // system fills short is still terminated.
        std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &info)) return false;
        device.device_path = narrow(detail->DevicePath, (required - kPathOffset) / sizeof(wchar_t));

        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE || key == nullptr) return false;
        wchar_t port[512] = {};
        DWORD size = sizeof port;
        DWORD type = 0;
        const LONG status = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS || type != REG_SZ) return false;
        // The value need not be terminated: read no further than it reaches.
        device.port_name = narrow(port, size / sizeof(wchar_t));
        return !device.port_name.empty();
    }

    int64_t frequency_ = 1;
};

}  // namespace

Platform& native_platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace zel
