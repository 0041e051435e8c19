// The Windows backend's part of the seam that the fleet runner uses:
// programs started with a UTF-16 command line and environment in process
// groups of their own, waited for and stopped; the working folder, new
// folders, and a table redrawn in place on the console.
#pragma once

#include "platform/platform.hpp"

namespace zel::win32 {

class ProcessSeam : public Platform {
public:
    std::unique_ptr<ChildProcess> start_child(const ChildSpec& spec, std::string& why) override;
    void wait_children(const std::vector<ChildProcess*>& children, uint32_t ms) override;
    std::string executable_path() override;
    int process_id() override;
    std::string current_directory() override;
    bool make_directory(const std::string& path) override;
    bool stdout_is_terminal() override;
    void redraw_stdout(const std::vector<std::string>& lines, size_t drawn) override;

private:
    int vt_ = -1;  // the console takes VT sequences: 1, or 0; -1 until asked
};

}  // namespace zel::win32
