// Link framing: requests go out under RTS control, replies come back as a
// single ACK or NAK or as an STX...ETX block checked by its BCC.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comm/comm.h"

namespace draxo {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kEot = 0x04;
inline constexpr char kEnq = 0x05;
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

enum LinkResult : std::int32_t {
    kLinkOk = 0,
    kLinkBadReply = 1, // something came, but wrong or broken off
    kLinkSilent = 2,   // nothing came, or sending failed
};

// Characters other than STX that Receive skips before it gives up on a
// reply: a line that keeps babbling must not hold the caller.
inline constexpr int kReceiveSkipLimit = 300;
// 1 ms steps that Send waits at most for the output queue to drain.
inline constexpr int kDrainWaitLimitMs = 5000;

// Exclusive-or of `count` bytes.
std::uint8_t Bcc(const char* bytes, std::size_t count);

std::int32_t Send(const char* buffer, std::uint32_t length, comm::Handle handle);
std::int32_t PutChar(comm::Handle handle, char ch);
std::int32_t GetChar(comm::Handle handle, char* outCh);
// `buffer` holds kRxBufferSize bytes; nothing is written past them.
std::int32_t Receive(char* buffer, std::int32_t* outLength, comm::Handle handle);

} // namespace draxo
