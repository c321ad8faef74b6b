// A driver instance on the fake line, with the log captured and a private
// working directory for init files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "fake_line.h"
#include "host/records.h"
#include "instance/instance_block.h"

namespace draxo::test {

struct Message {
    std::int32_t cls;
    std::string text;
    bool operator==(const Message&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Message& m);

// Every message the driver logs while it lives.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<Message>& messages() const { return messages_; }
    std::vector<std::string> texts() const;
    bool contains(const std::string& text) const;
    void clear() { messages_.clear(); }

  private:
    static void Sink(std::int32_t cls, const char* text, void* context);
    std::vector<Message> messages_;
};

// A temporary current directory, removed afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    void write(const std::string& name, const std::string& content) const;
    const std::filesystem::path& path() const { return dir_; }

  private:
    std::filesystem::path old_;
    std::filesystem::path dir_;
};

class DriverTest : public ::testing::Test {
  protected:
    DriverTest();
    ~DriverTest() override;

    std::int32_t run(std::int32_t command, void* params = nullptr, std::uint32_t number = 1);
    // ColdStart with an init file (written as DRAXO.INT) and a port on the fake line.
    std::int32_t coldStart(const std::string& initFile = "1 = P200\n2 = P200\n",
                           const std::string& port = "COM1", std::uint32_t openPort = 1,
                           std::int32_t replyTimeout = 10);
    // Parses a gate; the parsed address lands in the returned record.
    GateAddressRequest parse(const std::string& text, std::uint32_t gateType);
    // A gate's request record, from an accepted parse.
    GateIoRequest gate(const std::string& text);
    std::int32_t read(GateIoRequest& q);
    std::int32_t write(GateIoRequest& q);
    float slotFloat() const;
    void setSlotFloat(float v);

    TempDir dir_;
    LogCapture log_;
    InstanceBlock block_;
    unsigned char slot_[4];
    std::deque<std::string> texts_; // keeps gate texts alive (stable addresses)
    bool ended_ = false;
};

// A reply block: STX, the text, ETX and its BCC (or the given wrong one).
std::string Frame(const std::string& text, int bcc = -1);

// Fills memory as a host's uninitialised allocation might look.
inline constexpr unsigned char kGarbage = 0xA5;

} // namespace draxo::test
