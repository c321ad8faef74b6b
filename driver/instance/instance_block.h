// Per-instance state: one serial line with up to sixteen controllers. The
// host allocates the block with the size GetVpiInfo reports and passes it on
// every call; the driver keeps no per-instance state anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/records.h"

namespace draxo {

inline constexpr std::uint16_t kDefaultLineFlags = 0x0303;
inline constexpr std::size_t kStationCount = 16;
inline constexpr std::size_t kTxBufferSize = 32;
inline constexpr std::size_t kRxBufferSize = 130;

struct PortSettings {
    char portName[kPortNameSize];
    LineParams line;
    std::uint16_t lineFlags;
};

enum StationType : std::uint8_t {
    kStationNone = 0,
    kStationP200 = 1,
};

struct StationEntry {
    std::uint8_t type;
    std::uint8_t pn; // segment code 25
    std::uint8_t sn; // segment code 30
    std::uint8_t tn; // segment code 35
    std::uint8_t po; // segment code 41
    std::uint8_t an; // segment code 49
};

struct InstanceBlock {
    std::int32_t replyTimeout; // units of 10 ms
    std::uint32_t handle;      // 0 = no port
    PortSettings port;
    StationEntry stations[kStationCount];
    char txBuffer[kTxBufferSize];
    char rxBuffer[kRxBufferSize];
    std::uint32_t ifg; // ms before every request attempt
};

inline constexpr std::uint32_t kInstanceSize = 292;

static_assert(sizeof(PortSettings) == 22);
static_assert(offsetof(PortSettings, line) == 12);
static_assert(offsetof(PortSettings, lineFlags) == 20);
static_assert(sizeof(StationEntry) == 6);
static_assert(offsetof(InstanceBlock, handle) == 4);
static_assert(offsetof(InstanceBlock, port) == 8);
static_assert(offsetof(InstanceBlock, stations) == 30);
static_assert(offsetof(InstanceBlock, txBuffer) == 126);
static_assert(offsetof(InstanceBlock, rxBuffer) == 158);
static_assert(offsetof(InstanceBlock, ifg) == 288);
static_assert(sizeof(InstanceBlock) == kInstanceSize);

} // namespace draxo
