// Results for people (an aligned table) and for programs (csv, jsonl).
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace draxo::tool {

enum class Format { Table, Csv, Jsonl };

Format parseFormat(const std::string& name);

// One read or write of one gate.
struct Sample {
    std::string op; // "read" or "write"
    std::string gate;
    std::string name;
    bool hasValue = false;
    bool integral = false; // segment gates: a whole number
    double value = 0;
    std::string hms; // time-valued gates: value as hh:mm:ss
    int result = 0;
    bool refused = false; // the driver refused the address
    std::string detail;
    std::chrono::system_clock::time_point when;
    double ms = 0;
};

std::string statusText(const Sample& s);
std::string valueText(const Sample& s);
std::string clockText(std::chrono::system_clock::time_point t);

// Writes samples in one of the formats. A table is aligned over the rows
// given to flush(); csv and jsonl rows go out at once.
class SampleWriter {
  public:
    SampleWriter(std::ostream& os, Format format) : os_(os), format_(format) {}
    void add(const Sample& s);
    void flush();
    // For streams of samples (poll to a pipe): a table row with fixed widths.
    void stream(const Sample& s);

  private:
    std::ostream& os_;
    Format format_;
    bool headerDone_ = false;
    std::vector<Sample> pending_;
};

std::string jsonLine(const Sample& s);
std::string csvLine(const Sample& s);
std::string csvHeader();

// Pads or cuts text to width columns (counting UTF-8 characters).
std::string pad(const std::string& text, std::size_t width);

} // namespace draxo::tool
