// The tool as a host of the driver: loads the library at run time, calls
// VpiMain with the host's records, owns the instance block and the gates'
// value slots, and collects the driver's log from korvan.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gates.h"
#include "host/records.h"

namespace draxo::tool {

struct LogLine {
    std::chrono::system_clock::time_point when;
    std::int32_t messageClass;
    std::string text;
};

// Every message the driver sends through korvan, in order, with a running
// sequence number so that callers can pick out what one call logged.
class DriverLog {
  public:
    void add(std::int32_t messageClass, const char* text);
    std::uint64_t mark() const;
    std::vector<LogLine> since(std::uint64_t mark) const;
    // Called for every message as it arrives (the live views print it).
    void setListener(std::function<void(const LogLine&)> listener);

  private:
    mutable std::mutex mutex_;
    std::deque<LogLine> lines_;
    std::uint64_t first_ = 0; // sequence number of lines_.front()
    std::function<void(const LogLine&)> listener_;
};

// The loaded driver and korvan. Throws UsageError when either cannot be
// loaded or lacks its entry.
class DriverLibrary {
  public:
    // path empty: the driver beside the executable.
    explicit DriverLibrary(const std::filesystem::path& path, DriverLog& log);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    std::int32_t call(VpiCallBlock& block);
    const std::filesystem::path& path() const { return path_; }

    static std::filesystem::path defaultPath();

  private:
    using VpiMainFn = std::int32_t (*)(VpiCallBlock*);
    std::filesystem::path path_;
    void* driver_ = nullptr;
    void* korvan_ = nullptr;
    VpiMainFn vpiMain_ = nullptr;
    using SinkFn = void (*)(std::int32_t, const char*, void*);
    void (*setSink_)(SinkFn, void*) = nullptr;
};

struct DriverInfo {
    std::int32_t result = 0;
    VpiInfo raw{};
    std::string vendor;  // first string of the name block
    std::string product; // second string
    std::string banner;  // as UTF-8
};

DriverInfo getDriverInfo(DriverLibrary& lib);

// One gate as the host keeps it.
struct Gate {
    GateEntry entry;
    std::uint32_t gtid = 0;
    std::uint32_t gateType = kGateTypeFloat;
    ParsedAddress parsed{};
    bool usable = false;
    std::string refusal; // the driver's message when the parse failed
    unsigned char slot[4] = {0, 0, 0, 0};

    bool isSegment() const { return parsed.kind == kKindSegmentGate; }
    const std::string& label() const { return entry.name.empty() ? entry.address : entry.name; }
};

struct CallOutcome {
    std::int32_t result = 0;
    double ms = 0;
    std::chrono::system_clock::time_point when;
    std::string detail; // the driver's most telling message, on failure
};

// One driver instance: its block, its line and its stations.
class Instance {
  public:
    Instance(DriverLibrary& lib, DriverLog& log, std::uint32_t instanceSize,
             std::uint32_t instanceNumber = 1);

    // Writes initText as this instance's init file into a private folder,
    // runs ColdStart there and returns its result; the user's current
    // folder is never touched.
    CallOutcome coldStart(const ColdStartParams& params, const std::string& initText);
    CallOutcome closeCom();
    CallOutcome reOpenCom();
    CallOutcome endVpi();

    // Parses the gate as FLOAT and, when the driver says it is a 16-bit
    // gate, again as 16-bit analog.
    void parse(Gate& gate);
    CallOutcome read(Gate& gate);
    CallOutcome write(Gate& gate, const unsigned char* value);

    std::uint32_t handle() const;
    bool ended() const { return ended_; }

  private:
    CallOutcome run(std::int32_t command, void* params);
    std::string tellingMessage(std::uint64_t mark) const;

    DriverLibrary& lib_;
    DriverLog& log_;
    std::vector<std::uint64_t> block_; // 8-byte aligned storage
    std::uint32_t instanceNumber_;
    std::uint32_t nextGtid_ = 1;
    bool ended_ = false;
};

} // namespace draxo::tool
