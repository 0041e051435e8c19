// The run's logger: every text goes unchanged to standard output and,
// behind a time stamp and its level, to the day's log file in the working
// directory. Old log files are cleaned up when the logger starts.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace zel {
class RunScope;
}

// A UTC calendar date and time broken down from 100 ns ticks since 1970.
struct LogDateTime {
    int year = 1970, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0;
    int microsecond = 0;
};

namespace logrules {
LogDateTime breakdown_utc(int64_t ticks);
// "zel_USB_Logger_<d>_<m>_<yyyy>.log"
std::string log_file_name(const LogDateTime& date);
// "d/m/yyyy hh:mm:ss.uuuuuu"
std::string time_stamp(const LogDateTime& t);
// The rough day number: 365 * year + 31 * month + day.
int64_t day_number(int year, int month, int day);
// True when `name` is a log file of ours (prefix, day, month, year, ".log")
// dated more than two rough days before `today`.
bool is_old_log_file(const std::string& name, int64_t today);
}  // namespace logrules

// printf into a text of at most `capacity` - 1 characters; a longer one is
// cut, keeping its line end. A NUL that a format produces (a "%c" of 0) is
// left out, so a text never ends early.
std::string format_text(size_t capacity, const char* format, va_list args);

class USB_Logger {
public:
    static constexpr const char* kPrefix = "zel_USB_Logger";
    static constexpr const char* kVersion = "2.0.2+45";
    static constexpr size_t kTextCapacity = 1024;  // text plus its terminator

    // The logger of the run in progress (zel::RunScope); the first call of a
    // run starts the log. Null outside a run.
    static USB_Logger* Instance();

    explicit USB_Logger(zel::Platform& platform);

    void Error(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);
    void Warning(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);
    void Info(const char* format, ...) ZEL_PRINTF_FORMAT(2, 3);

    // Progress of a long wait, on a terminal's standard error only: `text`
    // in place of what was shown before; an empty text wipes it. Every
    // logged text wipes it first, so that the two never run together on the
    // screen; standard output and the log file carry none of it.
    void show(const std::string& text);

private:
    friend class zel::RunScope;  // starts the log on its first use
    void _start_log();
    std::vector<std::string> _find_log_files();
    void _delete_old_log_files(const std::vector<std::string>& names);
    bool _is_old_log_file(const std::string& name) const;
    void _write(const char* level, const char* format, va_list args);

    zel::Platform& platform_;
    std::string directory_;
    std::string path_;
    int64_t today_ = 0;
    bool warned_ = false;  // about a log file that cannot be written
    int terminal_ = -1;    // standard error is a terminal: not asked yet
    size_t shown_width_ = 0;
};
