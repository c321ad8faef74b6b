// The serial calls on Windows: each one hands its arguments to the system
// call of the same name and converts our plain records to and from the
// system's. Nothing is added, retried or remembered here.
#include "comm/comm.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

namespace draxo::comm {

namespace {

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DCB) == 28, "the DCB of a 32-bit process");
#endif
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));

// Windows handles fit in 32 bits (a 64-bit process sign-extends them), so
// the instance block can hold one in a 32-bit word.
HANDLE toHandle(Handle h) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(h)));
}

Handle fromHandle(HANDLE h) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h));
}

void toWindows(const Dcb& in, DCB& out) {
    out = DCB{};
    out.DCBlength = sizeof(DCB);
    out.BaudRate = in.BaudRate;
    out.fBinary = in.fBinary & 1u;
    out.fParity = in.fParity & 1u;
    out.fOutxCtsFlow = in.fOutxCtsFlow & 1u;
    out.fOutxDsrFlow = in.fOutxDsrFlow & 1u;
    out.fDtrControl = in.fDtrControl & 3u;
    out.fDsrSensitivity = in.fDsrSensitivity & 1u;
    out.fTXContinueOnXoff = in.fTXContinueOnXoff & 1u;
    out.fOutX = in.fOutX & 1u;
    out.fInX = in.fInX & 1u;
    out.fErrorChar = in.fErrorChar & 1u;
    out.fNull = in.fNull & 1u;
    out.fRtsControl = in.fRtsControl & 3u;
    out.fAbortOnError = in.fAbortOnError & 1u;
    out.wReserved = in.wReserved;
    out.XonLim = in.XonLim;
    out.XoffLim = in.XoffLim;
    out.ByteSize = in.ByteSize;
    out.Parity = in.Parity;
    out.StopBits = in.StopBits;
    out.XonChar = in.XonChar;
    out.XoffChar = in.XoffChar;
    out.ErrorChar = in.ErrorChar;
    out.EofChar = in.EofChar;
    out.EvtChar = in.EvtChar;
    out.wReserved1 = in.wReserved1;
}

void fromWindows(const DCB& in, Dcb& out) {
    out.DCBlength = in.DCBlength;
    out.BaudRate = in.BaudRate;
    out.fBinary = static_cast<std::uint8_t>(in.fBinary);
    out.fParity = static_cast<std::uint8_t>(in.fParity);
    out.fOutxCtsFlow = static_cast<std::uint8_t>(in.fOutxCtsFlow);
    out.fOutxDsrFlow = static_cast<std::uint8_t>(in.fOutxDsrFlow);
    out.fDtrControl = static_cast<std::uint8_t>(in.fDtrControl);
    out.fDsrSensitivity = static_cast<std::uint8_t>(in.fDsrSensitivity);
    out.fTXContinueOnXoff = static_cast<std::uint8_t>(in.fTXContinueOnXoff);
    out.fOutX = static_cast<std::uint8_t>(in.fOutX);
    out.fInX = static_cast<std::uint8_t>(in.fInX);
    out.fErrorChar = static_cast<std::uint8_t>(in.fErrorChar);
    out.fNull = static_cast<std::uint8_t>(in.fNull);
    out.fRtsControl = static_cast<std::uint8_t>(in.fRtsControl);
    out.fAbortOnError = static_cast<std::uint8_t>(in.fAbortOnError);
    out.wReserved = in.wReserved;
    out.XonLim = in.XonLim;
    out.XoffLim = in.XoffLim;
    out.ByteSize = in.ByteSize;
    out.Parity = in.Parity;
    out.StopBits = in.StopBits;
    out.XonChar = in.XonChar;
    out.XoffChar = in.XoffChar;
    out.ErrorChar = in.ErrorChar;
    out.EofChar = in.EofChar;
    out.EvtChar = in.EvtChar;
    out.wReserved1 = in.wReserved1;
}

} // namespace

Handle CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                   std::uint32_t creation, std::uint32_t flags) {
    const HANDLE h = ::CreateFileA(name, access, shareMode, nullptr, creation, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    return fromHandle(h);
}

bool CloseHandle(Handle h) {
    return ::CloseHandle(toHandle(h)) != FALSE;
}

bool GetCommState(Handle h, Dcb* dcb) {
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (::GetCommState(toHandle(h), &state) == FALSE) {
        return false;
    }
    fromWindows(state, *dcb);
    return true;
}

bool SetCommState(Handle h, const Dcb* dcb) {
    DCB state;
    toWindows(*dcb, state);
    return ::SetCommState(toHandle(h), &state) != FALSE;
}

bool GetCommTimeouts(Handle h, CommTimeouts* t) {
    COMMTIMEOUTS ct{};
    if (::GetCommTimeouts(toHandle(h), &ct) == FALSE) {
        return false;
    }
    t->ReadIntervalTimeout = ct.ReadIntervalTimeout;
    t->ReadTotalTimeoutMultiplier = ct.ReadTotalTimeoutMultiplier;
    t->ReadTotalTimeoutConstant = ct.ReadTotalTimeoutConstant;
    t->WriteTotalTimeoutMultiplier = ct.WriteTotalTimeoutMultiplier;
    t->WriteTotalTimeoutConstant = ct.WriteTotalTimeoutConstant;
    return true;
}

bool SetCommTimeouts(Handle h, const CommTimeouts* t) {
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = t->ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = t->ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = t->ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = t->WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = t->WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(toHandle(h), &ct) != FALSE;
}

bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
    return ::SetupComm(toHandle(h), inQueue, outQueue) != FALSE;
}

bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
    DWORD errorBits = 0;
    COMSTAT cs{};
    if (::ClearCommError(toHandle(h), &errorBits, &cs) == FALSE) {
        return false;
    }
    if (errors != nullptr) {
        *errors = errorBits;
    }
    if (stat != nullptr) {
        stat->cbInQue = cs.cbInQue;
        stat->cbOutQue = cs.cbOutQue;
    }
    return true;
}

bool EscapeCommFunction(Handle h, std::uint32_t function) {
    return ::EscapeCommFunction(toHandle(h), function) != FALSE;
}

bool SetCommBreak(Handle h) {
    return ::SetCommBreak(toHandle(h)) != FALSE;
}

bool ClearCommBreak(Handle h) {
    return ::ClearCommBreak(toHandle(h)) != FALSE;
}

bool ReadFile(Handle h, void* buffer, std::uint32_t count, std::uint32_t* read) {
    DWORD got = 0;
    const bool ok = ::ReadFile(toHandle(h), buffer, count, &got, nullptr) != FALSE;
    if (read != nullptr) {
        *read = ok ? got : 0;
    }
    return ok;
}

bool WriteFile(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    DWORD put = 0;
    const bool ok = ::WriteFile(toHandle(h), buffer, count, &put, nullptr) != FALSE;
    if (written != nullptr) {
        *written = ok ? put : 0;
    }
    return ok;
}

void Sleep(std::uint32_t ms) {
    ::Sleep(ms);
}

} // namespace draxo::comm
