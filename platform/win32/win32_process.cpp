// Programs started with CreateProcessW: the command line quoted as the
// C runtime splits it again, the environment as a UTF-16 block, output
// appended to a file, and a process group of their own, which keeps the
// console's Ctrl-C from them; the fleet runner stops them with Ctrl-Break.
#include "platform/win32/win32_process.hpp"

#include <algorithm>
#include <cwchar>

#include "platform/win32/win32_internal.hpp"

namespace zel::win32 {
namespace {

// What TerminateProcess leaves as the exit code: the status a shell shows
// for a program ended by SIGKILL.
constexpr UINT kKilled = 137;

class Win32Child final : public ChildProcess {
public:
    Win32Child(HANDLE process, DWORD id) : process_(process), id_(id) {}
    ~Win32Child() override { CloseHandle(process_); }
    Win32Child(const Win32Child&) = delete;
    Win32Child& operator=(const Win32Child&) = delete;

    bool ended(int& exit_status) override {
        DWORD code = 0;
        if (!ended_ && WaitForSingleObject(process_, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(process_, &code)) {
            ended_ = true;
            status_ = static_cast<int>(code);
        }
        exit_status = status_;
        return ended_;
    }
    // Ctrl-Break reaches a group only on the console this process shares;
    // without one it does nothing, and the caller ends the program by force.
    void interrupt() override {
        if (!ended_) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_);
    }
    void kill() override {
        if (!ended_) TerminateProcess(process_, kKilled);
    }
    HANDLE handle() const { return process_; }

private:
    HANDLE process_;
    DWORD id_;
    bool ended_ = false;
    int status_ = 0;
};

// One argument as CommandLineToArgvW and the C runtime read it back:
// quotes around it when it holds a blank or a quote (or is empty), each
// quote escaped, and backslashes doubled where a quote follows them.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

bool same_name(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment with the spec's variables set, sorted by name
// without regard to case, as the system keeps a block.
std::wstring environment_block(const ChildSpec& spec) {
    std::vector<std::pair<std::wstring, std::wstring>> set;
    for (const auto& [name, value] : spec.environment) set.emplace_back(to_wide(name), to_wide(value));
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            const std::wstring text(entry);
            // Names such as "=C:" begin with their '='.
            const std::wstring name = text.substr(0, text.find(L'=', 1));
            if (std::none_of(set.begin(), set.end(), [&](const auto& s) { return same_name(s.first, name); }))
                entries.push_back(text);
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : set) entries.push_back(name + L"=" + value);
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::wstring out;
    for (const std::wstring& entry : entries) out.append(entry).push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

std::string error_text(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n > 0 ? to_utf8(text, n) : "error " + std::to_string(error);
    if (text != nullptr) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

}  // namespace

std::unique_ptr<ChildProcess> ProcessSeam::start_child(const ChildSpec& spec, std::string& why) {
    const std::wstring program = to_wide(spec.program);
    std::wstring line = quoted(program);
    for (const std::string& arg : spec.arguments) line += L" " + quoted(to_wide(arg));
    std::wstring environment = environment_block(spec);

    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE output = CreateFileW(to_wide(spec.output).c_str(), FILE_APPEND_DATA, kShare, &inherited, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        why = "could not open the output file: " + error_text(GetLastError());
        return nullptr;
    }
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, kShare, &inherited, OPEN_EXISTING, 0, nullptr);
    HANDLE handles[2] = {output, input};

    // The child inherits these two handles and no other this process holds.
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list_memory(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                                  input != INVALID_HANDLE_VALUE ? 2 * sizeof(HANDLE) : sizeof(HANDLE),
                                                  nullptr, nullptr);
    STARTUPINFOEXW start{};
    start.StartupInfo.cb = sizeof start;
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.StartupInfo.hStdInput = input != INVALID_HANDLE_VALUE ? input : nullptr;
    start.StartupInfo.hStdOutput = output;
    start.StartupInfo.hStdError = output;
    start.lpAttributeList = listed ? list : nullptr;

    PROCESS_INFORMATION child{};
    const std::wstring directory = to_wide(spec.directory);
    const DWORD flags =
        CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, environment.data(),
                                        directory.empty() ? nullptr : directory.c_str(), &start.StartupInfo, &child);
    const DWORD error = GetLastError();
    if (listed) DeleteProcThreadAttributeList(list);
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!started) {
        why = "could not run the program: " + error_text(error);
        return nullptr;
    }
    CloseHandle(child.hThread);
    return std::make_unique<Win32Child>(child.hProcess, child.dwProcessId);
}

void ProcessSeam::wait_children(const std::vector<ChildProcess*>& children, uint32_t ms) {
    // On the children's handles, in slices of 50 ms so that an interruption
    // is seen soon; a wait takes at most 64 handles, the others are looked
    // at between slices.
    const ULONGLONG deadline = GetTickCount64() + ms;
    const bool watch = interruption().empty();
    for (;;) {
        std::vector<HANDLE> handles;
        int status = 0;
        for (ChildProcess* child : children) {
            if (child->ended(status)) return;
            if (handles.size() < MAXIMUM_WAIT_OBJECTS) handles.push_back(static_cast<Win32Child*>(child)->handle());
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || (watch && !interruption().empty())) return;
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50));
        if (handles.empty()) {
            Sleep(slice);
        } else {
            WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, slice);
        }
    }
}

std::string ProcessSeam::executable_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return to_utf8(path.data(), n);
        path.resize(path.size() * 2);
    }
}

int ProcessSeam::process_id() {
    return int(GetCurrentProcessId());
}

std::string ProcessSeam::current_directory() {
    const DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring path(n, L'\0');
    const DWORD got = n > 0 ? GetCurrentDirectoryW(n, path.data()) : 0;
    return got > 0 && got < n ? to_utf8(path.data(), got) : ".";
}

bool ProcessSeam::make_directory(const std::string& path) {
    return CreateDirectoryW(to_wide(path).c_str(), nullptr) != 0;
}

bool ProcessSeam::stdout_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void ProcessSeam::redraw_stdout(const std::vector<std::string>& lines, size_t drawn) {
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info)) return;
    const size_t width = size_t(std::max(info.srWindow.Right - info.srWindow.Left + 1, 2));
    if (vt_ < 0) {
        // VT sequences where the console takes them (Windows 10 on), else
        // the cursor is moved through the console API.
        DWORD mode = 0;
        vt_ = GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    if (vt_ == 1) {
        write_stdout(vt_redraw_text(lines, drawn, width));
        return;
    }
    const SHORT top = static_cast<SHORT>(std::max<long>(info.dwCursorPosition.Y - long(drawn), 0));
    SetConsoleCursorPosition(console, COORD{0, top});
    for (size_t i = 0; i < std::max(lines.size(), drawn); ++i) {
        std::wstring text = i < lines.size() ? to_wide(lines[i]) : std::wstring();
        text.resize(width - 1, L' ');  // cut, or padded over what the old line showed
        text += L"\n";
        DWORD written = 0;
        WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    if (lines.size() < drawn) {
        GetConsoleScreenBufferInfo(console, &info);
        SetConsoleCursorPosition(console, COORD{0, SHORT(info.dwCursorPosition.Y - SHORT(drawn - lines.size()))});
    }
}

}  // namespace zel::win32
