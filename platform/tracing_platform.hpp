// A platform that passes everything to another one and appends every byte
// written to and read from the port, time-stamped, to a trace file: what a
// technician sends to the firmware team when a HUB misbehaves.
#pragma once

#include "platform/platform.hpp"

namespace zel {

class TracingPlatform final : public Platform {
public:
    TracingPlatform(Platform& inner, std::string trace_path);

    int64_t utc_now_ticks() override { return inner_.utc_now_ticks(); }
    int64_t tick_count() override { return inner_.tick_count(); }
    void sleep_ms(uint32_t ms) override { inner_.sleep_ms(ms); }
    void timer_wait(int64_t due_100ns) override { inner_.timer_wait(due_100ns); }
    std::string format_local_time(uint32_t s, const char* f) override { return inner_.format_local_time(s, f); }
    void write_stdout(std::string_view text) override { inner_.write_stdout(text); }
    void write_stderr(std::string_view text) override { inner_.write_stderr(text); }
    bool stderr_is_terminal() override { return inner_.stderr_is_terminal(); }
    std::string log_directory() override { return inner_.log_directory(); }
    std::vector<std::string> list_directory(const std::string& dir) override { return inner_.list_directory(dir); }
    bool remove_file(const std::string& path) override { return inner_.remove_file(path); }
    bool append_to_file(const std::string& path, std::string_view text) override {
        return inner_.append_to_file(path, text);
    }
    FileStatus file_status(const std::string& path) override { return inner_.file_status(path); }
    bool read_file(const std::string& path, uint64_t max, bool text, std::string& out) override {
        return inner_.read_file(path, max, text, out);
    }
    FileWrite replace_file(const std::string& path, std::string_view content, bool text, bool owner_only) override {
        return inner_.replace_file(path, content, text, owner_only);
    }
    std::vector<UsbSerialDevice> list_usb_serial_devices() override { return inner_.list_usb_serial_devices(); }
    PortHandle port_create(const std::string& name, OpenFailure& why) override;
    std::string port_holder(const std::string& name) override { return inner_.port_holder(name); }
    std::string port_open_hint(const std::string& name) override { return inner_.port_open_hint(name); }
    bool port_set_state(PortHandle h) override { return inner_.port_set_state(h); }
    bool port_set_queues(PortHandle h, uint32_t in, uint32_t out) override {
        return inner_.port_set_queues(h, in, out);
    }
    bool port_set_timeouts(PortHandle h) override { return inner_.port_set_timeouts(h); }
    bool port_flush(PortHandle h) override { return inner_.port_flush(h); }
    int port_write(PortHandle h, const uint8_t* data, uint32_t length) override;
    int port_read(PortHandle h, uint8_t* data, uint32_t length) override;
    void port_close(PortHandle h) override;
    std::unique_ptr<HubLock> lock_hub(const std::string& key, std::string& holder) override {
        return inner_.lock_hub(key, holder);
    }
    std::string environment(const char* name) override { return inner_.environment(name); }
    std::string interruption() override { return inner_.interruption(); }
    int exit_status(int result) override { return inner_.exit_status(result); }
    std::unique_ptr<ChildProcess> start_child(const ChildSpec& spec, std::string& why) override {
        return inner_.start_child(spec, why);
    }
    void wait_children(const std::vector<ChildProcess*>& children, uint32_t ms) override {
        inner_.wait_children(children, ms);
    }
    std::string executable_path() override { return inner_.executable_path(); }
    int process_id() override { return inner_.process_id(); }
    std::string current_directory() override { return inner_.current_directory(); }
    bool make_directory(const std::string& path) override { return inner_.make_directory(path); }
    bool stdout_is_terminal() override { return inner_.stdout_is_terminal(); }
    void redraw_stdout(const std::vector<std::string>& lines, size_t drawn) override {
        inner_.redraw_stdout(lines, drawn);
    }

private:
    void _record(const std::string& what, const uint8_t* data, size_t length, int result);

    Platform& inner_;
    std::string path_;
    int64_t start_;
    bool warned_ = false;  // about a trace file that cannot be written
};

}  // namespace zel
