// The serial and file calls the driver makes, with the semantics of the
// Windows calls of the same names. This is the driver's one seam to the
// operating system; three implementations exist: win32/ (the system's own
// API), posix/ (termios) and fake/ (a scripted line on a virtual clock).
//
// Read contract (ReadFile), the same for every implementation:
//   - With ReadIntervalTimeout 0 and ReadTotalTimeoutMultiplier 0 a read of
//     N bytes waits up to ReadTotalTimeoutConstant ms for all N bytes, then
//     returns true with whatever arrived (0..N bytes; fewer than N means the
//     time-out passed). A constant of 0 means no time-out at all (the call
//     waits for all N bytes); the driver never sets 0.
//   - false means the device failed; *read is then 0.
// Write contract (WriteFile): writes have no time-out; true with *written
// less than N is a short write.
#pragma once

#include <cstdint>

namespace draxo::comm {

using Handle = std::uint32_t;
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

// CreateFileA arguments the driver uses.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// DCB encodings.
inline constexpr std::uint8_t kDtrControlDisable = 0;
inline constexpr std::uint8_t kDtrControlEnable = 1;
inline constexpr std::uint8_t kDtrControlHandshake = 2;
inline constexpr std::uint8_t kRtsControlDisable = 0;
inline constexpr std::uint8_t kRtsControlEnable = 1;
inline constexpr std::uint8_t kRtsControlHandshake = 2;
inline constexpr std::uint8_t kRtsControlToggle = 3;
inline constexpr std::uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
                              kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

// EscapeCommFunction codes.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;

// The fields of the Windows DCB, one plain member each (the bit fields of
// the Windows record are widened here; win32/ converts).
struct Dcb {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint8_t fBinary;
    std::uint8_t fParity;
    std::uint8_t fOutxCtsFlow;
    std::uint8_t fOutxDsrFlow;
    std::uint8_t fDtrControl;
    std::uint8_t fDsrSensitivity;
    std::uint8_t fTXContinueOnXoff;
    std::uint8_t fOutX;
    std::uint8_t fInX;
    std::uint8_t fErrorChar;
    std::uint8_t fNull;
    std::uint8_t fRtsControl;
    std::uint8_t fAbortOnError;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};

struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};

struct ComStat {
    std::uint32_t cbInQue;
    std::uint32_t cbOutQue;
};

// Returns kInvalidHandle when the open failed. Only the arguments above
// are supported: read and write access, no sharing, OPEN_EXISTING.
Handle CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                   std::uint32_t creation, std::uint32_t flags);
bool CloseHandle(Handle h);
bool GetCommState(Handle h, Dcb* dcb);
bool SetCommState(Handle h, const Dcb* dcb);
bool GetCommTimeouts(Handle h, CommTimeouts* t);
bool SetCommTimeouts(Handle h, const CommTimeouts* t);
bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue);
// Clears the device's error state; reports the errors and the queue counts.
bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat);
bool EscapeCommFunction(Handle h, std::uint32_t function);
bool SetCommBreak(Handle h);
bool ClearCommBreak(Handle h);
bool ReadFile(Handle h, void* buffer, std::uint32_t count, std::uint32_t* read);
bool WriteFile(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* written);
void Sleep(std::uint32_t ms);

} // namespace draxo::comm
