// The simulator as a child process, for the demo.
#pragma once

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace draxo::tool {

class SimProcess {
  public:
    // Starts the program with args and waits for the first line of its
    // standard output (the pty's path). Throws UsageError on failure.
    SimProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               bool showErrors);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& firstLine() const { return firstLine_; }
    void stop();

  private:
    int pid_ = -1;
    int fd_ = -1;
    std::string firstLine_;
    std::thread drain_;
};

} // namespace draxo::tool
