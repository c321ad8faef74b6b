// Records exchanged with the host application. The host owns every one of
// them and passes them by pointer; fields stand in the host's order. On a
// 32-bit target every size and offset is the host's binary layout (checked
// below); on a 64-bit target pointers widen and natural alignment applies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace draxo {

struct InstanceBlock;

// The command codes of VpiMain (8, 9 and 16 are empty slots).
enum Command : std::int32_t {
    kColdStart = 1,
    kWarmStart = 2,
    kSingleAddressParser = 3,
    kBlockAddressParser = 4,
    kSingleRead = 5,
    kBlockRead = 6,
    kSingleWrite = 7,
    kBlockWrite = 10,
    kEndVpi = 11,
    kCloseCom = 12,
    kReOpenCom = 13,
    kGetVpiInfo = 14,
    kChangeVpiParams = 15,
};

enum AddressKind : std::uint32_t {
    kKindNone = 0,
    kKindParameter = 1,   // a controller parameter, 32-bit float gate
    kKindSegmentGate = 2, // a driver-side selector, 16-bit gate
};

struct VpiCallBlock {
    InstanceBlock* instance;
    std::int32_t command;
    std::uint32_t instanceNumber;
    std::uint32_t reserved12;
    void* params;
};

struct LineParams {
    std::uint16_t baud;
    std::uint16_t dataBits; // low byte used
    std::uint16_t stopBits; // 0 one, 1 one and a half, 2 two
    std::uint16_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

inline constexpr std::size_t kPortNameSize = 12;

struct ColdStartParams {
    char portName[kPortNameSize];
    std::uint32_t openPort;
    std::int32_t replyTimeout; // units of 10 ms
    LineParams line;
};

struct ChangeParams {
    char portName[kPortNameSize];
    std::int32_t replyTimeout; // 0 and -1 keep the current value
    LineParams line;           // ignored when baud is 0
};

struct VpiInfo {
    std::uint32_t word0;
    const char* name;
    const char* banner;
    std::uint32_t instanceSize;
    std::uint32_t word4;
    LineParams defaultLine;
    std::uint32_t word7;
};

struct ParsedAddress {
    std::uint32_t controller;
    std::uint32_t kind; // AddressKind
    std::uint32_t code;
    std::int32_t reserved12; // set to -1 by the parser
    std::uint32_t widthBits;
};

struct GateAddressRequest {
    const char* addressText;
    std::uint32_t reserved4;
    std::uint32_t gateType; // 0, 1, 2: 16-bit analog; 3: FLOAT
    std::uint32_t reserved12;
    ParsedAddress parsed;
};

struct GateIoRequest {
    const char* gateText;
    std::uint32_t reserved4;
    ParsedAddress parsed;
    std::uint32_t reserved28[2];
    std::uint32_t gtid;
    unsigned char* value; // the gate's 4-byte value slot
};

inline constexpr std::uint32_t kGateTypeFloat = 3;

static_assert(sizeof(LineParams) == 8);
static_assert(sizeof(ColdStartParams) == 28);
static_assert(offsetof(ColdStartParams, openPort) == 12);
static_assert(offsetof(ColdStartParams, replyTimeout) == 16);
static_assert(offsetof(ColdStartParams, line) == 20);
static_assert(sizeof(ChangeParams) == 24);
static_assert(offsetof(ChangeParams, replyTimeout) == 12);
static_assert(offsetof(ChangeParams, line) == 16);
static_assert(sizeof(ParsedAddress) == 20);
static_assert(offsetof(ParsedAddress, widthBits) == 16);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(VpiCallBlock) == 20);
static_assert(offsetof(VpiCallBlock, command) == 4);
static_assert(offsetof(VpiCallBlock, instanceNumber) == 8);
static_assert(offsetof(VpiCallBlock, params) == 16);
static_assert(sizeof(VpiInfo) == 32);
static_assert(offsetof(VpiInfo, name) == 4);
static_assert(offsetof(VpiInfo, banner) == 8);
static_assert(offsetof(VpiInfo, instanceSize) == 12);
static_assert(offsetof(VpiInfo, defaultLine) == 20);
static_assert(offsetof(VpiInfo, word7) == 28);
static_assert(sizeof(GateAddressRequest) == 36);
static_assert(offsetof(GateAddressRequest, gateType) == 8);
static_assert(offsetof(GateAddressRequest, parsed) == 16);
static_assert(sizeof(GateIoRequest) == 44);
static_assert(offsetof(GateIoRequest, parsed) == 8);
static_assert(offsetof(GateIoRequest, gtid) == 36);
static_assert(offsetof(GateIoRequest, value) == 40);
#endif

} // namespace draxo
