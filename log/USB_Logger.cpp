#include "log/USB_Logger.hpp"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "log/RunScope.hpp"
#include "log/text.hpp"

namespace {

// Days from 1970-01-01 to a civil date's components (H. Hinnant's algorithm).
void civil_from_days(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// Reads a run of decimal digits at `pos`; advances `pos` past them.
// Returns -1 when there is none.
int64_t take_number(const std::string& s, size_t& pos) {
    if (pos >= s.size() || s[pos] < '0' || s[pos] > '9') return -1;
    int64_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        if (v < 100000000) v = v * 10 + (s[pos] - '0');
        ++pos;
    }
    return v;
}
}  // namespace

namespace logrules {

LogDateTime breakdown_utc(int64_t ticks) {
    LogDateTime t;
    int64_t seconds = ticks / 10000000;
    int64_t days = seconds / 86400;
    int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    civil_from_days(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rem / 3600);
    t.minute = static_cast<int>(rem / 60 % 60);
    t.second = static_cast<int>(rem % 60);
    int64_t micro = (ticks / 10) % 1000000;
    t.microsecond = static_cast<int>(micro < 0 ? micro + 1000000 : micro);
    return t;
}

std::string log_file_name(const LogDateTime& date) {
    std::ostringstream name;
    name << USB_Logger::kPrefix << "_" << date.day << "_" << date.month << "_" << date.year << ".log";
    return name.str();
}

std::string time_stamp(const LogDateTime& t) {
    std::ostringstream s;
    s << t.day << "/" << t.month << "/" << t.year << " " << std::setfill('0') << std::setw(2) << t.hour << ":"
      << std::setw(2) << t.minute << ":" << std::setw(2) << t.second << "." << std::setw(6) << t.microsecond;
    return s.str();
}

int64_t day_number(int year, int month, int day) {
    return 365LL * year + 31LL * month + day;
}

bool is_old_log_file(const std::string& name, int64_t today) {
    // Only names of the exact form we write are ever deleted: a file that
    // merely contains the prefix belongs to someone else and stays.
    const std::string prefix = std::string(USB_Logger::kPrefix) + "_";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    size_t pos = prefix.size();
    const int64_t day = take_number(name, pos);
    if (day < 0 || pos >= name.size() || name[pos++] != '_') return false;
    const int64_t month = take_number(name, pos);
    if (month < 0 || pos >= name.size() || name[pos++] != '_') return false;
    const int64_t year = take_number(name, pos);
    if (year < 0 || name.compare(pos, std::string::npos, ".log") != 0) return false;
    return today > day_number(int(year), int(month), int(day)) + 2;
}

}  // namespace logrules

std::string format_text(size_t capacity, const char* format, va_list args) {
    std::string text = vformat_string(format, args);
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    // A cut text keeps its line end, so the next record starts a line of its own.
    if (text.size() >= capacity) {
        const bool line_end = text.back() == '\n';
        text.resize(capacity - 1);
        if (line_end) text.back() = '\n';
    }
    return text;
}

USB_Logger* USB_Logger::Instance() {
    zel::RunScope* run = zel::RunScope::current();
    return run != nullptr ? &run->logger() : nullptr;
}

USB_Logger::USB_Logger(zel::Platform& platform) : platform_(platform), directory_(platform.log_directory()) {}

void USB_Logger::_start_log() {
    const LogDateTime now = logrules::breakdown_utc(platform_.utc_now_ticks());
    path_ = directory_ + logrules::log_file_name(now);
    today_ = logrules::day_number(now.year, now.month, now.day);
    _delete_old_log_files(_find_log_files());
    Info("torvane_com_device_class version: %s\n", kVersion);
}

std::vector<std::string> USB_Logger::_find_log_files() {
    std::vector<std::string> found;
    for (const std::string& name : platform_.list_directory(directory_)) {
        if (name.find(kPrefix) == std::string::npos) continue;
        platform_.write_stdout("Found file " + name + "\n");
        found.push_back(name);
    }
    return found;
}

void USB_Logger::_delete_old_log_files(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (_is_old_log_file(name)) platform_.remove_file(directory_ + name);
    }
}

bool USB_Logger::_is_old_log_file(const std::string& name) const {
    return logrules::is_old_log_file(name, today_);
}

void USB_Logger::show(const std::string& text) {
    if (terminal_ < 0) terminal_ = platform_.stderr_is_terminal() ? 1 : 0;
    if (terminal_ == 0 || (text.empty() && shown_width_ == 0)) return;
    // Blanks over what a longer text left, then back to its end.
    const size_t width = shown_width_;
    shown_width_ = text.size();
    std::string line = "\r" + text;
    if (width > text.size()) line += std::string(width - text.size(), ' ') + "\r" + text;
    if (text.empty() && width > 0) line = "\r" + std::string(width, ' ') + "\r";
    platform_.write_stderr(line);
}

void USB_Logger::_write(const char* level, const char* format, va_list args) {
    // A text longer than the buffer is cut to its first 1023 characters, on
    // the console and in the file alike.
    const std::string text = format_text(kTextCapacity, format, args);
    if (shown_width_ > 0) show("");
    platform_.write_stdout(text);
    const std::string stamp = logrules::time_stamp(logrules::breakdown_utc(platform_.utc_now_ticks()));
    std::string line;
    line.reserve(stamp.size() + text.size() + 16);
    line.append("[").append(stamp).append("] ").append(level).append(": ").append(text);
    if (!platform_.append_to_file(path_, line) && !warned_) {
        // Said once, where it cannot be mistaken for the HUB's output.
        warned_ = true;
        platform_.write_stderr("WARNING: cannot write the log file " + path_ + "; the run goes on without it\n");
    }
}

#define ZEL_LOG_LEVEL(method, word)                    \
    void USB_Logger::method(const char* format, ...) { \
        va_list args;                                  \
        va_start(args, format);                        \
        _write(word, format, args);                    \
        va_end(args);                                  \
    }
ZEL_LOG_LEVEL(Error, "ERROR")
ZEL_LOG_LEVEL(Warning, "WARNING")
ZEL_LOG_LEVEL(Info, "INFO")
#undef ZEL_LOG_LEVEL
