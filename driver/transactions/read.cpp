#include "transactions/read.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addressing/identifiers.h"
#include "addressing/segment.h"
#include "host/log.h"
#include "instance/instance_block.h"
#include "serial/link.h"
#include "serial/port.h"

namespace draxo {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// scanf's "%02u" on a value text, which holds no white space; a minus sign
// is not a number here either.
const char* ReadTwoDigits(const char* p, unsigned* value) {
    unsigned v = 0;
    int digits = 0;
    while (digits < 2 && IsDigit(*p)) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0) {
        return nullptr;
    }
    *value = v;
    return p;
}

// hh.mm.ss as scanf's "%02u.%02u.%02u" reads it.
bool ReadTime(const char* p, unsigned* hh, unsigned* mm, unsigned* ss) {
    p = ReadTwoDigits(p, hh);
    if (p == nullptr || *p++ != '.') {
        return false;
    }
    p = ReadTwoDigits(p, mm);
    if (p == nullptr || *p++ != '.') {
        return false;
    }
    return ReadTwoDigits(p, ss) != nullptr;
}

// A decimal number as scanf's "%f" reads it from a text of digits, '-'
// and '.': an optional sign, digits with at most one point, at least one
// digit.
bool ReadDecimal(const char* p, float* value) {
    char number[kRxBufferSize];
    std::size_t n = 0;
    if (*p == '-') {
        number[n++] = *p++;
    }
    int digits = 0;
    bool point = false;
    while (n < sizeof number - 1) {
        if (IsDigit(*p)) {
            ++digits;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
        number[n++] = *p++;
    }
    if (digits == 0) {
        return false;
    }
    number[n] = '\0';
    *value = std::strtof(number, nullptr);
    return true;
}

const char* TextOf(const char* s) {
    return s != nullptr ? s : "";
}

} // namespace

std::int32_t StoreData(VpiCallBlock* call, const char* valueText) {
    auto* q = static_cast<GateIoRequest*>(call->params);
    std::size_t length = 0;
    for (;; ++length) {
        const char c = valueText[length];
        if (c == kEtx && length > 0) {
            break;
        }
        if (!IsDigit(c) && c != '-' && c != '.') {
            err(kLogError, "DRAXO> StoreData() illegal character '%c' 0x%02x in data",
                static_cast<int>(c), static_cast<unsigned>(static_cast<unsigned char>(c)));
            return 1;
        }
    }

    if (length >= 6 && valueText[2] == '.' && valueText[5] == '.') {
        unsigned hh = 0, mm = 0, ss = 0;
        if (!ReadTime(valueText, &hh, &mm, &ss)) {
            err(kLogError, "DRAXO> StoreData() illegal time format in data");
            return 1;
        }
        const double hhmmss = hh * 10000.0 + mm * 100.0 + ss;
        SetSlotFloat(q->value, static_cast<float>(hhmmss));
        return 0;
    }

    float value = 0.0f;
    if (!ReadDecimal(valueText, &value)) {
        err(kLogError, "DRAXO> StoreData() illegal analog data");
        return 1;
    }
    // Digits beyond a float's range would come back as infinity.
    if (!std::isfinite(value)) {
        err(kLogError, "DRAXO> StoreData() analog data out of range");
        return 1;
    }
    SetSlotFloat(q->value, value);
    return 0;
}

std::int32_t DoRead(VpiCallBlock* call) {
    auto* q = static_cast<GateIoRequest*>(call->params);
    InstanceBlock* b = call->instance;
    const char* gate = TextOf(q->gateText);

    if (q->parsed.controller >= kStationCount) {
        err(kLogError, "DRAXO> DoRead() illegal controller address %u, gtid %u '%s'",
            static_cast<unsigned>(q->parsed.controller), static_cast<unsigned>(q->gtid), gate);
        return 1;
    }
    const StationEntry& s = b->stations[q->parsed.controller];
    if (s.type == kStationP200 && q->parsed.kind == kKindSegmentGate) {
        return SegmentRead(call);
    }
    if (b->handle == 0) {
        return 1;
    }
    if (s.type != kStationP200) {
        return 1;
    }

    const Prefix prefix = PrefixFor(q->parsed.code);
    if (prefix == Prefix::Refused) {
        err(kLogError, "DRAXO> Read() illegal P200 gate address %u, gtid %u '%s'",
            static_cast<unsigned>(q->parsed.code), static_cast<unsigned>(q->gtid), gate);
        return 1;
    }
    char selectors[16];
    const std::size_t selectorLength = FormatSelectors(selectors, sizeof selectors, prefix, s);
    std::snprintf(b->txBuffer, kTxBufferSize, "%c%02u%s%s%c", kEot,
                  static_cast<unsigned>(q->parsed.controller), selectors,
                  IdentifierText(q->parsed.code), kEnq);
    // Address, selectors and identifier always print at their fixed widths.
    const std::uint32_t requestLength = static_cast<std::uint32_t>(6 + selectorLength);
    const std::size_t valueOffset = requestLength - 3;

    std::int32_t result = 2;
    for (int n = 1; n <= kAttempts; ++n) {
        FlushInput(b->handle);
        const std::int32_t previous = result;
        if (b->ifg != 0) {
            comm::Sleep(b->ifg);
        }
        result = Send(b->txBuffer, requestLength, b->handle);
        if (result != 0) {
            err(kLogError, "DRAXO> DoRead() error sending data, retry %d '%s'", n, gate);
            continue;
        }

        std::int32_t replyLength = 0;
        result = Receive(b->rxBuffer, &replyLength, b->handle);
        PutChar(b->handle, kEot);
        if (result != 0) {
            if (result == 2 && previous != 2) {
                result = 1;
            }
            err(kLogError, "DRAXO> DoRead() error receiving data, retry %d '%s'", n, gate);
        } else if (replyLength == 1) {
            err(kLogError, "DRAXO> DoRead() EOT received, retry %d '%s'", n, gate);
            result = 1;
        } else if (valueOffset >= static_cast<std::size_t>(replyLength)) {
            err(kLogError, "DRAXO> DoRead() reply shorter than its echo, retry %d '%s'", n, gate);
            result = 1;
        } else if (std::memcmp(b->rxBuffer + 1, b->txBuffer + 3, requestLength - 4) != 0) {
            // A late reply to an earlier request must not land in this gate.
            err(kLogError, "DRAXO> DoRead() reply echoes another request, retry %d '%s'", n, gate);
            result = 1;
        } else {
            result = StoreData(call, b->rxBuffer + valueOffset);
        }
        if (result == 0) {
            break;
        }
    }
    return result;
}

std::int32_t SingleRead(VpiCallBlock* call) {
    const std::int32_t result = DoRead(call);
    if (result != 0) {
        err(kLogError, "DRAXO> SingleRead() , ret val is %d", static_cast<int>(result));
    }
    return result;
}

} // namespace draxo
