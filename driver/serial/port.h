// Port access over the comm layer: open and configure, close, change the
// reply time-out, drain pending input, move raw bytes. Nothing here logs;
// every function answers a result code and leaves reporting to its caller.
#pragma once

#include <cstdint>

#include "comm/comm.h"
#include "host/records.h"

namespace draxo {

enum PortResult : std::int32_t {
    kPortOk = 0,
    kPortOpenFailed = 1,   // ConfigurePort: open or time-outs; FlushInput: status or read
    kPortShortWrite = 2,   // WriteBytes: fewer bytes written than asked
    kPortStateUnread = 4,  // ConfigurePort: GetCommState failed
    kPortStateRefused = 5, // ConfigurePort: SetCommState failed
    kPortIoFailed = 7,     // a read, write or close failed, or a read timed out
};

// The longest reply time-out a port takes, in 10 ms units, so that the
// operating system's constant (ms, 32 bits) cannot wrap.
inline constexpr std::int32_t kMaxReplyTimeout = 429496729;
// FlushInput gives up after this many full 512-byte reads, so that a line
// that keeps talking cannot hold it.
inline constexpr int kFlushReadLimit = 64;

std::uint8_t DtrControlFor(std::uint16_t lineFlags);
std::uint8_t RtsControlFor(std::uint16_t lineFlags);

std::int32_t ConfigurePort(const char* name, const LineParams& line, std::uint16_t lineFlags,
                           comm::Handle* outHandle);
std::int32_t ClosePort(comm::Handle handle);
// Answers the previous time-out in 10 ms units, or 0 when the time-outs
// could not be read or written, or when t is refused (t <= 0 or t too big).
std::int32_t SetReadTimeout(comm::Handle handle, std::int32_t t);
std::int32_t FlushInput(comm::Handle handle);
std::int32_t WriteBytes(comm::Handle handle, const void* buffer, std::uint32_t count,
                        std::uint32_t* outWritten);
std::int32_t ReadBytes(comm::Handle handle, void* buffer, std::uint32_t count,
                       std::uint32_t* outRead);
std::int32_t SendBreak(std::uint32_t ms, comm::Handle handle);
std::int32_t Delay(std::uint32_t ms);

} // namespace draxo
