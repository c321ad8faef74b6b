// What every command that talks to a line shares: the options for the
// line, and a started driver instance with its log.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver_host.h"
#include "gates.h"
#include "output.h"

namespace draxo::tool {

struct CommonOptions {
    std::filesystem::path driver;
    LineOptions line;
    bool timeoutGiven = false;
    std::string initFile;
    std::string stations;
    std::optional<unsigned> ifg;
    std::string format = "table";
    int verbose = 0;
    std::vector<std::string> selects; // segment gates written right after start-up
};

// Loads the driver, starts one instance on the line and keeps it until
// the end, when it ends the driver (EndVpi closes the port).
class Session {
  public:
    // initText: the init file to use; empty means from the options (an
    // --init file, --stations, or the stations that `addresses` name).
    Session(const CommonOptions& options, const std::vector<std::string>& addresses,
            const std::string& initText = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    DriverLog& log() { return log_; }
    Instance& instance() { return *instance_; }
    const DriverInfo& info() const { return info_; }
    const CommonOptions& options() const { return options_; }
    const std::string& initText() const { return initText_; }

    // Parses a gate; prints nothing.
    Gate makeGate(const GateEntry& entry);
    // Writes the --select gates; throws UsageError when one is refused.
    void applySelects();
    // Logs tool events (class 0) into the same stream as the driver's.
    void note(const std::string& text);

    void end();

  private:
    CommonOptions options_;
    DriverLog log_;
    std::unique_ptr<DriverLibrary> library_;
    DriverInfo info_;
    std::unique_ptr<Instance> instance_;
    std::string initText_;
};

// A sample from a gate after a read or write.
Sample sampleOf(const Gate& gate, const CallOutcome& outcome, const std::string& op,
                bool withValue);

} // namespace draxo::tool
