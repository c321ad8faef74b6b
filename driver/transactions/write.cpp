#include "transactions/write.h"

#include <cmath>
#include <cstdio>

#include "addressing/identifiers.h"
#include "addressing/segment.h"
#include "host/log.h"
#include "instance/instance_block.h"
#include "serial/link.h"
#include "serial/port.h"
#include "transactions/read.h"

namespace draxo {

namespace {

const char* TextOf(const char* s) {
    return s != nullptr ? s : "";
}

} // namespace

std::int32_t FormatWriteValue(std::uint32_t code, float value, char* out, std::size_t size) {
    if (IsTimeValued(code)) {
        // A value that is not a number is refused too: sending 00.00.00 in
        // its place would change a running program.
        if (std::isnan(value) || std::trunc(value) < 0.0f || value > 995959.0f) {
            err(kLogError, "DRAXO> DoWrite() time value out of range");
            return 1;
        }
        const long whole = static_cast<long>(std::trunc(value));
        const long hh = whole / 10000;
        const long rest = whole - hh * 10000;
        const long mm = rest / 100;
        const long ss = rest - mm * 100;
        if (mm > 59 || ss > 59) {
            err(kLogError, "DRAXO> DoWrite() Invalid minutes or seconds in time value");
            return 1;
        }
        std::snprintf(out, size, "%02u.%02u.%02u", static_cast<unsigned>(hh),
                      static_cast<unsigned>(mm), static_cast<unsigned>(ss));
        return 0;
    }
    if (std::isnan(value) || value < -99999.0f || value > 999999.0f) {
        err(kLogInfo, "DRAXO> DoWrite() analog value out of range");
        return 1;
    }
    std::snprintf(out, size, "%06d", static_cast<int>(std::trunc(value)));
    return 0;
}

std::int32_t DoWrite(VpiCallBlock* call) {
    auto* q = static_cast<GateIoRequest*>(call->params);
    InstanceBlock* b = call->instance;
    const char* gate = TextOf(q->gateText);

    if (q->parsed.controller >= kStationCount) {
        err(kLogError, "DRAXO> DoWrite() illegal controller address %u, gtid %u '%s'",
            static_cast<unsigned>(q->parsed.controller), static_cast<unsigned>(q->gtid), gate);
        return 1;
    }
    const StationEntry& s = b->stations[q->parsed.controller];
    if (s.type == kStationP200 && q->parsed.kind == kKindSegmentGate) {
        return SegmentWrite(call);
    }
    if (b->handle == 0) {
        return 1;
    }
    if (s.type != kStationP200) {
        return 1;
    }
    if (q->parsed.code >= kIdentifierCount) {
        err(kLogInfo, "DRAXO> Write() illegal P200 gate address %u, gtid %u '%s'",
            static_cast<unsigned>(q->parsed.code), static_cast<unsigned>(q->gtid), gate);
        return 1;
    }

    char value[16];
    if (FormatWriteValue(q->parsed.code, SlotFloat(q->value), value, sizeof value) != 0) {
        return 1;
    }
    const Prefix prefix = PrefixFor(q->parsed.code);
    if (prefix == Prefix::Refused) {
        err(kLogInfo, "DRAXO> Write() illegal P200 gate address %u, gtid %u '%s'",
            static_cast<unsigned>(q->parsed.code), static_cast<unsigned>(q->gtid), gate);
        return 1;
    }
    char selectors[16];
    FormatSelectors(selectors, sizeof selectors, prefix, s);
    const int n = std::snprintf(b->txBuffer, kTxBufferSize, "%c%02u%c%s%s%s%c", kEot,
                                static_cast<unsigned>(q->parsed.controller), kStx, selectors,
                                IdentifierText(q->parsed.code), value, kEtx);
    // The longest request, 23 bytes, leaves room for the BCC and the NUL.
    std::uint32_t length = static_cast<std::uint32_t>(n);
    b->txBuffer[length] = static_cast<char>(Bcc(b->txBuffer + 4, length - 4));
    ++length;
    b->txBuffer[length] = '\0';

    std::int32_t result = 0;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        FlushInput(b->handle);
        const std::int32_t previous = result;
        if (b->ifg != 0) {
            comm::Sleep(b->ifg);
        }
        result = Send(b->txBuffer, length, b->handle);
        if (result != 0) {
            err(kLogError, "DRAXO> DoWrite() error sending write request, retry %d '%s'", attempt,
                gate);
            continue;
        }
        char answer = 0;
        if (GetChar(b->handle, &answer) != 0) {
            result = previous == 2 ? 2 : 1;
            err(kLogError, "DRAXO> DoWrite() error receiving ACK, retry %d '%s'", attempt, gate);
        } else if (answer == kAck) {
            result = 0;
        } else if (answer == kNak) {
            result = 1;
            err(kLogError, "DRAXO> DoWrite() received NAK, retry %d '%s'", attempt, gate);
        } else {
            result = 1;
            err(kLogError, "DRAXO> DoWrite() received illegal response 0x%02x, retry %d '%s'",
                static_cast<unsigned>(static_cast<unsigned char>(answer)), attempt, gate);
        }
        if (result == 0) {
            break;
        }
    }
    return result;
}

std::int32_t SingleWrite(VpiCallBlock* call) {
    const std::int32_t result = DoWrite(call);
    if (result != 0) {
        err(kLogInfo, "DRAXO> SingleWrite() , ret val is %d", static_cast<int>(result));
    }
    return result;
}

} // namespace draxo
