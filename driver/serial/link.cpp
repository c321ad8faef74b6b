#include "serial/link.h"

#include "host/log.h"
#include "instance/instance_block.h"
#include "serial/port.h"

namespace draxo {

std::uint8_t Bcc(const char* bytes, std::size_t count) {
    std::uint8_t bcc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bcc ^= static_cast<std::uint8_t>(bytes[i]);
    }
    return bcc;
}

namespace {

// Raise RTS, write, wait for the output queue to drain, drop RTS. The
// names are those of the reporting operation, for its messages.
std::int32_t Transmit(const char* buffer, std::uint32_t length, comm::Handle handle,
                      const char* rtsMessage, const char* queueMessage, const char* drainMessage) {
    if (!comm::EscapeCommFunction(handle, comm::kSetRts)) {
        err(kLogError, rtsMessage);
    }
    std::uint32_t written = 0;
    const std::int32_t writeResult = WriteBytes(handle, buffer, length, &written);

    for (int waited = 0;; ++waited) {
        std::uint32_t errors = 0;
        comm::ComStat stat{};
        if (!comm::ClearCommError(handle, &errors, &stat)) {
            err(kLogError, queueMessage);
            break;
        }
        comm::Sleep(1);
        if (stat.cbOutQue == 0) {
            break;
        }
        if (waited >= kDrainWaitLimitMs) {
            err(kLogError, drainMessage);
            break;
        }
    }

    if (!comm::EscapeCommFunction(handle, comm::kClrRts)) {
        err(kLogError, rtsMessage);
    }
    return (writeResult == kPortOk && written == length) ? kLinkOk : kLinkSilent;
}

} // namespace

std::int32_t Send(const char* buffer, std::uint32_t length, comm::Handle handle) {
    return Transmit(buffer, length, handle, "DRAXO> Send() EscapeCommFunction() failed",
                    "DRAXO> Send() ClearCommError() failed",
                    "DRAXO> Send() output queue did not drain");
}

std::int32_t PutChar(comm::Handle handle, char ch) {
    return Transmit(&ch, 1, handle, "DRAXO> PutChar() EscapeCommFunction() failed",
                    "DRAXO> PutChar() ClearCommError() failed",
                    "DRAXO> PutChar() output queue did not drain");
}

std::int32_t GetChar(comm::Handle handle, char* outCh) {
    std::uint32_t got = 0;
    if (ReadBytes(handle, outCh, 1, &got) == kPortOk && got == 1) {
        return kLinkOk;
    }
    return kLinkSilent;
}

std::int32_t Receive(char* buffer, std::int32_t* outLength, comm::Handle handle) {
    if (GetChar(handle, &buffer[0]) != kLinkOk) {
        return kLinkSilent;
    }
    if (buffer[0] == kAck || buffer[0] == kNak) {
        *outLength = 1;
        buffer[1] = '\0';
        return kLinkOk;
    }

    // Leading EOTs, then anything else up to the STX, are skipped; a failed
    // read ends each of the two steps.
    int skipped = 0;
    while (buffer[0] == kEot && skipped < kReceiveSkipLimit) {
        ++skipped;
        if (GetChar(handle, &buffer[0]) != kLinkOk) {
            break;
        }
    }
    while (buffer[0] != kStx && skipped < kReceiveSkipLimit) {
        ++skipped;
        if (GetChar(handle, &buffer[0]) != kLinkOk) {
            break;
        }
    }
    if (buffer[0] != kStx) {
        err(kLogError, "DRAXO> Receive() Error, illegal 1st character of reply");
        return kLinkBadReply;
    }

    // STX at 0, the text and ETX behind it, then the BCC; the BCC's place
    // must lie inside the buffer.
    std::uint8_t bcc = 0;
    std::size_t pos = 1;
    for (;;) {
        if (pos >= kRxBufferSize - 1) {
            err(kLogError, "DRAXO> Receive() reply longer than %u bytes",
                static_cast<unsigned>(kRxBufferSize));
            return kLinkBadReply;
        }
        if (GetChar(handle, &buffer[pos]) != kLinkOk) {
            return kLinkBadReply;
        }
        bcc ^= static_cast<std::uint8_t>(buffer[pos]);
        if (buffer[pos] == kEtx) {
            break;
        }
        ++pos;
    }
    ++pos;
    if (GetChar(handle, &buffer[pos]) != kLinkOk) {
        return kLinkBadReply;
    }
    if (static_cast<std::uint8_t>(buffer[pos]) != bcc) {
        err(kLogError, "DRAXO> Receive() BCC error");
        return kLinkBadReply;
    }
    *outLength = static_cast<std::int32_t>(pos + 1);
    buffer[pos] = '\0';
    return kLinkOk;
}

} // namespace draxo
