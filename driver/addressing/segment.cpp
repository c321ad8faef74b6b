#include "addressing/segment.h"

#include <cstdio>
#include <cstring>

#include "host/log.h"

namespace draxo {

std::uint16_t SlotU16(const unsigned char* slot) {
    std::uint16_t v;
    std::memcpy(&v, slot + 2, sizeof v);
    return v;
}

void SetSlotU16(unsigned char* slot, std::uint16_t value) {
    std::memcpy(slot + 2, &value, sizeof value);
}

float SlotFloat(const unsigned char* slot) {
    float v;
    std::memcpy(&v, slot, sizeof v);
    return v;
}

void SetSlotFloat(unsigned char* slot, float value) {
    std::memcpy(slot, &value, sizeof value);
}

std::uint8_t* SelectorFor(StationEntry& station, std::uint32_t code) {
    switch (code) {
    case 25:
        return &station.pn;
    case 30:
        return &station.sn;
    case 35:
        return &station.tn;
    case 41:
        return &station.po;
    case 49:
        return &station.an;
    default:
        return nullptr;
    }
}

std::int32_t SegmentRead(VpiCallBlock* call) {
    auto* q = static_cast<GateIoRequest*>(call->params);
    if (q->parsed.controller >= kStationCount) {
        return 1;
    }
    const std::uint8_t* selector =
        SelectorFor(call->instance->stations[q->parsed.controller], q->parsed.code);
    if (selector == nullptr) {
        return 1;
    }
    SetSlotU16(q->value, *selector);
    return 0;
}

std::int32_t SegmentWrite(VpiCallBlock* call) {
    auto* q = static_cast<GateIoRequest*>(call->params);
    const std::uint16_t value = SlotU16(q->value);
    if (value > 16) {
        err(kLogInfo, "DRAXO> Write() error, P200 segment gate > 16");
        return 1;
    }
    if (q->parsed.controller >= kStationCount) {
        return 1;
    }
    std::uint8_t* selector =
        SelectorFor(call->instance->stations[q->parsed.controller], q->parsed.code);
    if (selector == nullptr) {
        return 1;
    }
    *selector = static_cast<std::uint8_t>(value);
    return 0;
}

std::size_t FormatSelectors(char* out, std::size_t size, Prefix prefix,
                            const StationEntry& station) {
    int n = 0;
    switch (prefix) {
    case Prefix::Pn:
        n = std::snprintf(out, size, "PN%02u", unsigned{station.pn});
        break;
    case Prefix::PnSn:
        n = std::snprintf(out, size, "PN%02uSN%02u", unsigned{station.pn}, unsigned{station.sn});
        break;
    case Prefix::PnTn:
        n = std::snprintf(out, size, "PN%02uTN%02u", unsigned{station.pn}, unsigned{station.tn});
        break;
    case Prefix::Po:
        n = std::snprintf(out, size, "PO%02u", unsigned{station.po});
        break;
    case Prefix::An:
        n = std::snprintf(out, size, "AN%02u", unsigned{station.an});
        break;
    case Prefix::None:
    case Prefix::Refused:
        if (size > 0) {
            out[0] = '\0';
        }
        break;
    }
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

} // namespace draxo
