#include "serial/port.h"

#include <cstring>

namespace draxo {

std::uint8_t DtrControlFor(std::uint16_t lineFlags) {
    if (lineFlags & 0x0101) {
        return comm::kDtrControlEnable;
    }
    if (lineFlags & 0x8000) {
        return comm::kDtrControlHandshake;
    }
    return comm::kDtrControlDisable;
}

std::uint8_t RtsControlFor(std::uint16_t lineFlags) {
    if (lineFlags & 0x0202) {
        return comm::kRtsControlEnable;
    }
    if (lineFlags & 0x1000) {
        return comm::kRtsControlHandshake;
    }
    if (lineFlags & 0x2000) {
        return comm::kRtsControlToggle;
    }
    return comm::kRtsControlDisable;
}

std::int32_t ConfigurePort(const char* name, const LineParams& line, std::uint16_t lineFlags,
                           comm::Handle* outHandle) {
    const comm::Handle h = comm::CreateFileA(name, comm::kGenericRead | comm::kGenericWrite, 0,
                                             comm::kOpenExisting, comm::kFileAttributeNormal);
    *outHandle = h;
    if (h == comm::kInvalidHandle) {
        return kPortOpenFailed;
    }
    if (std::strcmp(name, "NUL") == 0) {
        return kPortOk;
    }

    comm::Dcb dcb{};
    dcb.DCBlength = 28;
    if (!comm::GetCommState(h, &dcb)) {
        comm::CloseHandle(h);
        return kPortStateUnread;
    }

    comm::CommTimeouts timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!comm::SetCommTimeouts(h, &timeouts)) {
        comm::CloseHandle(h);
        return kPortOpenFailed;
    }

    dcb.BaudRate = line.baud;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DtrControlFor(lineFlags);
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RtsControlFor(lineFlags);
    dcb.fAbortOnError = 0;
    dcb.ByteSize = static_cast<std::uint8_t>(line.dataBits & 0xFF);
    dcb.Parity = static_cast<std::uint8_t>(line.parity & 0xFF);
    dcb.StopBits = static_cast<std::uint8_t>(line.stopBits & 0xFF);
    dcb.ErrorChar = static_cast<char>(0xFC);
    if (!comm::SetCommState(h, &dcb)) {
        comm::CloseHandle(h);
        return kPortStateRefused;
    }

    comm::SetupComm(h, 1200, 1200);
    return kPortOk;
}

std::int32_t ClosePort(comm::Handle handle) {
    return comm::CloseHandle(handle) ? kPortOk : kPortIoFailed;
}

std::int32_t SetReadTimeout(comm::Handle handle, std::int32_t t) {
    // A constant of 0 would mean no read time-out at all, and a negative one
    // a wait of weeks: such values never reach the port.
    if (t <= 0 || t > kMaxReplyTimeout) {
        return 0;
    }
    comm::CommTimeouts timeouts{};
    if (!comm::GetCommTimeouts(handle, &timeouts)) {
        return 0;
    }
    const std::uint32_t previous = timeouts.ReadTotalTimeoutConstant;
    const std::uint32_t wanted = static_cast<std::uint32_t>(t) * 10u;
    if (previous != wanted) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!comm::SetCommTimeouts(handle, &timeouts)) {
            return 0;
        }
    }
    return static_cast<std::int32_t>(previous / 10u);
}

std::int32_t FlushInput(comm::Handle handle) {
    std::uint32_t errors = 0;
    comm::ComStat stat{};
    bool failed = !comm::ClearCommError(handle, &errors, &stat);
    if (failed || stat.cbInQue > 0) {
        const std::int32_t old = SetReadTimeout(handle, 5);
        unsigned char scratch[512];
        for (int reads = 0; reads < kFlushReadLimit; ++reads) {
            std::uint32_t got = 0;
            const bool ok = comm::ReadFile(handle, scratch, sizeof scratch, &got);
            failed = !ok;
            if (!ok || got != sizeof scratch) {
                break;
            }
        }
        if (old != 0) {
            SetReadTimeout(handle, old);
        }
    }
    return failed ? kPortOpenFailed : kPortOk;
}

std::int32_t WriteBytes(comm::Handle handle, const void* buffer, std::uint32_t count,
                        std::uint32_t* outWritten) {
    std::uint32_t written = 0;
    if (!comm::WriteFile(handle, buffer, count, &written)) {
        return kPortIoFailed;
    }
    if (outWritten != nullptr) {
        *outWritten = written;
    }
    return written == count ? kPortOk : kPortShortWrite;
}

std::int32_t ReadBytes(comm::Handle handle, void* buffer, std::uint32_t count,
                       std::uint32_t* outRead) {
    if (outRead != nullptr) {
        *outRead = 0;
    }
    if (count > 0xFFFF) {
        return kPortIoFailed;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < count) {
        const std::uint16_t missing = static_cast<std::uint16_t>(count - total);
        std::uint32_t got = 0;
        if (!comm::ReadFile(handle, bytes + total, missing, &got)) {
            return kPortIoFailed;
        }
        if (got == 0) {
            return kPortIoFailed;
        }
        total += got;
        if (outRead != nullptr) {
            *outRead = total;
        }
    }
    return kPortOk;
}

std::int32_t SendBreak(std::uint32_t ms, comm::Handle handle) {
    comm::SetCommBreak(handle);
    comm::Sleep(ms);
    comm::ClearCommBreak(handle);
    return kPortOk;
}

std::int32_t Delay(std::uint32_t ms) {
    comm::Sleep(ms);
    return kPortOk;
}

} // namespace draxo
