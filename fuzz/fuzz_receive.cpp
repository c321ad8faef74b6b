// Reply reception and value conversion: a SingleRead (command 5) against a
// scripted controller on the fake line, whose reply is the fuzz input.
//
// Input layout:
//   byte 0  which gate is read (index into kGates, modulo its size)
//   byte 1  bit 0: dribble the reply (one byte per gap) instead of all at
//           once; bit 1: answer every request, not only the first; bits
//           2..7: the gap between dribbled bytes, ms
//   byte 2  reply time-out in 10 ms units, modulo 40 (0 leaves the port's
//           own 1000 ms)
//   byte 3  ms between the request and the reply's first byte
//   rest    the reply's bytes
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "addressing/segment.h"
#include "fake_line.h"
#include "harness.h"
#include "serial/link.h"
#include "serial/port.h"
#include "transactions/read.h"

namespace {

using namespace draxo;

// Station 1 keeps every selector at 0; station 2's are set as below, so
// that each prefix group puts distinct digits on the wire.
constexpr std::string_view kInitFile = "IFG = 3\n1 = P200\n2 = P200\n";
constexpr std::uint32_t kIfgMs = 3;
constexpr std::int32_t kPortTimeoutMs = 1000; // ConfigurePort's read constant

struct Selector {
    const char* gate;
    std::uint16_t value;
};
constexpr Selector kSelectors[] = {
    {"0225", 3}, {"0230", 7}, {"0235", 12}, {"0241", 1}, {"0249", 16},
};

// One gate per prefix group, and a time-valued one where the group has
// one. The seed corpus depends on this order.
constexpr const char* kGates[] = {
    "01M1", // no selectors
    "01TR", // no selectors, time
    "02RR", // PN03
    "02LE", // PN03SN07
    "02TM", // PN03SN07, time
    "02RE", // PN03TN12
    "02TO", // PN03TN12, time
    "02P1", // PO01
    "02A1", // AN16
    "01ET", // no selectors, time
    "01@@", // placeholder: refused before sending
};
constexpr std::size_t kGateCount = sizeof kGates / sizeof kGates[0];

constexpr unsigned char kSentinel[4] = {0xDE, 0xAD, 0xBE, 0xEF};

struct Script {
    std::string reply;
    bool dribble = false;
    bool everyRequest = false;
    std::int64_t gapMs = 0;
    std::int64_t delayMs = 0;
    int answered = 0;
};
Script script;

void Answer(std::string_view written) {
    // The lone EOT after each reply is no request.
    if (written == std::string_view("\x04", 1)) {
        return;
    }
    if (script.answered > 0 && !script.everyRequest) {
        return;
    }
    ++script.answered;
    if (script.reply.empty()) {
        return;
    }
    if (script.dribble) {
        fake::dribble(script.reply, script.delayMs, script.gapMs);
    } else {
        fake::deliver(script.reply, script.delayMs);
    }
}

void SetSelectors(InstanceBlock& block) {
    for (const Selector& s : kSelectors) {
        ParsedAddress parsed{};
        FUZZ_CHECK(fuzzing::ParseGate(block, s.gate, 0, &parsed) == 0);
        unsigned char slot[4] = {};
        SetSlotU16(slot, s.value);
        GateIoRequest q{};
        q.gateText = s.gate;
        q.parsed = parsed;
        q.value = slot;
        FUZZ_CHECK(fuzzing::Run(block, 7, &q) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::Setup();
    if (size < 4) {
        return 0;
    }
    const char* gateText = kGates[data[0] % kGateCount];
    script = Script{};
    script.dribble = (data[1] & 1) != 0;
    script.everyRequest = (data[1] & 2) != 0;
    script.gapMs = data[1] >> 2;
    const std::int32_t replyTimeout = data[2] % 40;
    script.delayMs = data[3];
    script.reply.assign(reinterpret_cast<const char*>(data + 4), size - 4);

    static InstanceBlock block;
    FUZZ_CHECK(fuzzing::StartInstance(block, kInitFile, replyTimeout) == 0);
    FUZZ_CHECK(block.handle != 0);
    SetSelectors(block);

    ParsedAddress parsed{};
    FUZZ_CHECK(fuzzing::ParseGate(block, gateText, kGateTypeFloat, &parsed) == 0);
    unsigned char slot[4];
    std::memcpy(slot, kSentinel, sizeof slot);
    GateIoRequest q{};
    q.gateText = gateText;
    q.parsed = parsed;
    q.gtid = 1;
    q.value = slot;

    const StationEntry stationsBefore[kStationCount] = {
        block.stations[0],  block.stations[1],  block.stations[2],  block.stations[3],
        block.stations[4],  block.stations[5],  block.stations[6],  block.stations[7],
        block.stations[8],  block.stations[9],  block.stations[10], block.stations[11],
        block.stations[12], block.stations[13], block.stations[14], block.stations[15]};

    fake::onWrite(&Answer);
    const std::int64_t start = fake::now();
    const std::int32_t result = fuzzing::Run(block, 5, &q);
    const std::int64_t elapsed = fake::now() - start;
    fake::onWrite(nullptr);

    FUZZ_CHECK(result == 0 || result == 1 || result == 2);
    if (result == 0) {
        float value;
        std::memcpy(&value, slot, sizeof value);
        FUZZ_CHECK(std::isfinite(value));
    } else {
        FUZZ_CHECK(std::memcmp(slot, kSentinel, sizeof slot) == 0);
    }

    // Each attempt: the pause, a flush of what is pending (bounded reads of
    // 50 ms), the request and the EOT behind the reply (1 ms each to drain
    // on this line), and the reply: the first character, the skipped ones,
    // the frame up to the buffer's end and the BCC, each read waiting at
    // most one time-out.
    const std::int64_t timeoutMs = replyTimeout > 0 ? replyTimeout * 10 : kPortTimeoutMs;
    const std::int64_t reads = 1 + kReceiveSkipLimit + static_cast<std::int64_t>(kRxBufferSize) + 1;
    const std::int64_t perAttempt = kIfgMs + kFlushReadLimit * 50 + 2 * 2 + reads * timeoutMs;
    FUZZ_CHECK(elapsed >= 0);
    FUZZ_CHECK(elapsed <= kAttempts * perAttempt);

    // The reply lands in the receive buffer only: what lies around it in
    // the instance block stays as it was.
    FUZZ_CHECK(block.ifg == kIfgMs);
    FUZZ_CHECK(std::memcmp(block.stations, stationsBefore, sizeof stationsBefore) == 0);
    return 0;
}
