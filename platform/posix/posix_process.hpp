// The POSIX backend's part of the seam that the fleet runner uses: programs
// started in process groups of their own, waited for and stopped; the
// working folder, new folders, and a table redrawn in place on a terminal.
#pragma once

#include "platform/platform.hpp"

namespace zel::posix {

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
};

}  // namespace zel::posix
