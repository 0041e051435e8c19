#include "sim/server/trace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim::server {

namespace {

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace

Trace::~Trace() {
    if (fd_ >= 0) ::close(fd_);
}

bool Trace::open(const std::string& path, std::string& error) {
    if (path.empty()) return true;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) error = "cannot open the trace " + path + ": " + std::strerror(errno);
    return fd_ >= 0;
}

void Trace::bytes(int64_t now, const std::string& who, const char* tag, std::span<const uint8_t> data) {
    if (fd_ < 0 || data.empty()) return;
    std::string rest = std::string(tag) + " " + std::to_string(data.size());
    rest.reserve(rest.size() + data.size() * 3);
    static const char digits[] = "0123456789abcdef";
    for (const uint8_t b : data) {
        rest += ' ';
        rest += digits[b >> 4];
        rest += digits[b & 15];
    }
    line(now, who, rest);
}

void Trace::event(int64_t now, const std::string& who, const std::string& text) {
    if (fd_ >= 0) line(now, who, "** " + text);
}

// One write per line: a reader following the file never sees half of one.
void Trace::line(int64_t now, const std::string& who, const std::string& rest) {
    char head[48];
    std::snprintf(head, sizeof head, "%lld.%06lld ", (long long)(now / 10'000'000), (long long)(now % 10'000'000 / 10));
    std::string all = head;
    if (!who.empty()) all += who + " ";
    all += rest;
    all += '\n';
    write_all(fd_, all.data(), all.size());
}

}  // namespace sim::server
