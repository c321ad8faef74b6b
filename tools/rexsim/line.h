// The simulator's end of the serial line: a pseudo-terminal or a real
// device, its character timing, and paced, non-blocking transmission.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rexsim {

struct LineSettings {
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none"; // none, odd, even, mark, space
    int stopBits = 1;

    // Start bit, data bits, parity bit if any, stop bits.
    int bitsPerChar() const { return 1 + dataBits + (parity == "none" ? 0 : 1) + stopBits; }
    double charTimeMs() const { return 1000.0 * bitsPerChar() / baud; }
};

struct Line {
    int fd = -1;      // what we read and write
    int slaveFd = -1; // pty only: held open for our whole life
    std::string path; // the pty slave, or the device
};

// Opens a pty master (non-blocking) and keeps its slave open in raw mode, so
// that the line survives the host closing and reopening the slave.
// Returns an error text or "".
std::string openPty(Line& line);
// Opens and configures a serial device (raw, non-blocking).
std::string openDevice(Line& line, const std::string& path, const LineSettings& s);
void closeLine(Line& line);

// Replies waiting to go out, each from its due time; with a character time
// the bytes follow one another at that pace, otherwise they go at once.
// Writes never block: when the line takes nothing for kStallMs, the replies
// that are due are dropped.
class Transmitter {
  public:
    static constexpr double kStallMs = 2000.0;

    Transmitter(int fd, double charTimeMs) : fd_(fd), charTimeMs_(charTimeMs) {}

    void queue(double dueMs, std::string bytes, std::function<void()> onStart);

    // Writes what is due. Returns the time of the next byte to write (or a
    // negative number when nothing waits); `blocked` tells that the device
    // would not take more and writability should be polled.
    double pump(double nowMs, bool& blocked);
    bool idle() const { return items_.empty(); }
    std::uint64_t bytesOut() const { return bytesOut_; }
    std::uint64_t stalled() const { return stalled_; }

  private:
    struct Item {
        double due;
        std::uint64_t seq;
        std::string bytes;
        size_t pos = 0;
        std::function<void()> onStart;
    };
    int fd_;
    double charTimeMs_;
    std::uint64_t seq_ = 0;
    std::uint64_t bytesOut_ = 0;
    std::uint64_t stalled_ = 0;
    double blockedSince_ = -1;
    std::vector<Item> items_;
};

} // namespace rexsim
