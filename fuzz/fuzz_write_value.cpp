// The write path's value conversion: any 32-bit pattern as a gate's float,
// run through FormatWriteValue and through a full SingleWrite (command 7)
// against a controller that answers every request with ACK.
//
// Input layout:
//   byte 0      which identifier (index into kCodes, modulo its size)
//   byte 1      which station (index into kStations, modulo its size)
//   bytes 2..5  the float's bit pattern, in memory order
//   bytes 6..10 the station's selectors PN, SN, TN, PO, AN, each modulo 17
//               (0 where the input is shorter)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "addressing/segment.h"
#include "fake_line.h"
#include "harness.h"
#include "transactions/write.h"

namespace {

using namespace draxo;

constexpr std::string_view kInitFile = "1 = P200\n2 = P200\n15 = P200\n";
constexpr std::uint32_t kStations[] = {1, 2, 15};

enum class Group { None, Pn, PnSn, PnTn, Po, An, Refused };

struct Code {
    std::uint32_t index;
    const char* text;
    Group group;
    bool time;
};
// The seed corpus depends on this order.
constexpr Code kCodes[] = {
    {1, "M1", Group::None, false},     {4, "TR", Group::None, true},
    {26, "RR", Group::Pn, false},      {31, "LE", Group::PnSn, false},
    {32, "TM", Group::PnSn, true},     {36, "RE", Group::PnTn, false},
    {39, "TO", Group::PnTn, true},     {40, "TF", Group::PnTn, true},
    {42, "P1", Group::Po, false},      {50, "A1", Group::An, false},
    {63, "ET", Group::None, true},     {67, "CL", Group::None, false},
    {20, "SN", Group::None, false},    {0, "@@", Group::None, false},
    {25, "@@", Group::Refused, false}, {49, "@@", Group::Refused, false},
    {68, "", Group::Refused, false},   {1000, "", Group::Refused, false},
};
constexpr std::size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

// Segment codes in the order of the input's selector bytes.
constexpr std::uint32_t kSegmentCodes[] = {25, 30, 35, 41, 49};

std::string SelectorText(Group group, const std::uint16_t sel[5]) {
    char out[16] = "";
    switch (group) {
    case Group::Pn:
        std::snprintf(out, sizeof out, "PN%02u", unsigned{sel[0]});
        break;
    case Group::PnSn:
        std::snprintf(out, sizeof out, "PN%02uSN%02u", unsigned{sel[0]}, unsigned{sel[1]});
        break;
    case Group::PnTn:
        std::snprintf(out, sizeof out, "PN%02uTN%02u", unsigned{sel[0]}, unsigned{sel[2]});
        break;
    case Group::Po:
        std::snprintf(out, sizeof out, "PO%02u", unsigned{sel[3]});
        break;
    case Group::An:
        std::snprintf(out, sizeof out, "AN%02u", unsigned{sel[4]});
        break;
    case Group::None:
    case Group::Refused:
        break;
    }
    return out;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int Digits(std::string_view s) {
    int v = 0;
    for (const char c : s) {
        FUZZ_CHECK(IsDigit(c));
        v = v * 10 + (c - '0');
    }
    return v;
}

// The value text says what the gate's value, cut to a whole number, is:
// hh.mm.ss with minutes and seconds below 60 for times, six characters of
// a signed whole number otherwise.
void CheckValueText(std::string_view text, bool time, float value) {
    const double whole = std::trunc(static_cast<double>(value));
    if (time) {
        FUZZ_CHECK(text.size() == 8);
        FUZZ_CHECK(text[2] == '.' && text[5] == '.');
        const int hh = Digits(text.substr(0, 2));
        const int mm = Digits(text.substr(3, 2));
        const int ss = Digits(text.substr(6, 2));
        FUZZ_CHECK(mm <= 59 && ss <= 59);
        FUZZ_CHECK(hh * 10000.0 + mm * 100.0 + ss == whole);
    } else {
        FUZZ_CHECK(text.size() == 6);
        const bool negative = text[0] == '-';
        const int magnitude = Digits(text.substr(negative ? 1 : 0));
        FUZZ_CHECK((negative ? -magnitude : magnitude) == whole);
    }
}

void SetSelectors(InstanceBlock& block, std::uint32_t station, const std::uint16_t sel[5]) {
    for (int i = 0; i < 5; ++i) {
        char gate[8];
        std::snprintf(gate, sizeof gate, "%02u%02u", unsigned{station}, unsigned{kSegmentCodes[i]});
        ParsedAddress parsed{};
        FUZZ_CHECK(fuzzing::ParseGate(block, gate, 0, &parsed) == 0);
        unsigned char slot[4] = {};
        SetSlotU16(slot, sel[i]);
        GateIoRequest q{};
        q.gateText = gate;
        q.parsed = parsed;
        q.value = slot;
        FUZZ_CHECK(fuzzing::Run(block, 7, &q) == 0);
    }
}

void Acknowledge(std::string_view) {
    fake::deliver("\x06", 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::Setup();
    if (size < 6) {
        return 0;
    }
    const Code& code = kCodes[data[0] % kCodeCount];
    const std::uint32_t station = kStations[data[1] % (sizeof kStations / sizeof kStations[0])];
    float value;
    std::memcpy(&value, data + 2, sizeof value);
    std::uint16_t sel[5] = {};
    for (std::size_t i = 0; i < 5 && 6 + i < size; ++i) {
        sel[i] = static_cast<std::uint16_t>(data[6 + i] % 17);
    }

    // The conversion on its own.
    char formatted[16];
    std::memset(formatted, 0x7F, sizeof formatted);
    const std::int32_t formatResult =
        FormatWriteValue(code.index, value, formatted, sizeof formatted);
    FUZZ_CHECK(formatResult == 0 || formatResult == 1);
    if (formatResult == 0) {
        FUZZ_CHECK(std::memchr(formatted, '\0', sizeof formatted) != nullptr);
        CheckValueText(formatted, code.time, value);
    }

    // The same value in a write request.
    static InstanceBlock block;
    FUZZ_CHECK(fuzzing::StartInstance(block, kInitFile, 10) == 0);
    SetSelectors(block, station, sel);
    std::memset(block.rxBuffer, fuzzing::kGarbage, sizeof block.rxBuffer);
    const StationEntry stationBefore = block.stations[station];
    const std::size_t writesBefore = fake::writes().size();

    unsigned char slot[4];
    std::memcpy(slot, &value, sizeof slot);
    const std::string gateText = "fuzz";
    GateIoRequest q{};
    q.gateText = gateText.c_str();
    q.parsed = ParsedAddress{station, kKindParameter, code.index, -1, 32};
    q.gtid = 1;
    q.value = slot;
    fake::onWrite(&Acknowledge);
    const std::int32_t result = fuzzing::Run(block, 7, &q);
    fake::onWrite(nullptr);
    const std::vector<std::string> writes = fake::writes();

    FUZZ_CHECK(std::memcmp(slot, &value, sizeof slot) == 0);
    FUZZ_CHECK(std::memcmp(&block.stations[station], &stationBefore, sizeof stationBefore) == 0);
    for (const unsigned char c : block.rxBuffer) {
        FUZZ_CHECK(c == fuzzing::kGarbage);
    }

    if (code.group == Group::Refused || formatResult != 0) {
        // A refused value or identifier sends nothing.
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(writes.size() == writesBefore);
        return 0;
    }
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(writes.size() == writesBefore + 1);
    const std::string& w = writes.back();

    char address[3];
    std::snprintf(address, sizeof address, "%02u", unsigned{station});
    const std::string selectors = SelectorText(code.group, sel);
    const std::size_t valueLength = code.time ? 8 : 6;
    FUZZ_CHECK(w.size() == 1 + 2 + 1 + selectors.size() + 2 + valueLength + 1 + 1);
    FUZZ_CHECK(w.compare(0, 4, std::string("\x04") + address + "\x02") == 0);
    FUZZ_CHECK(w.compare(4, selectors.size() + 2, selectors + code.text) == 0);
    const std::string_view valueText =
        std::string_view(w).substr(4 + selectors.size() + 2, valueLength);
    FUZZ_CHECK(valueText == formatted);
    CheckValueText(valueText, code.time, value);
    FUZZ_CHECK(w[w.size() - 2] == '\x03');
    std::uint8_t bcc = 0;
    for (std::size_t i = 4; i + 1 < w.size(); ++i) {
        bcc ^= static_cast<std::uint8_t>(w[i]);
    }
    FUZZ_CHECK(static_cast<std::uint8_t>(w.back()) == bcc);
    return 0;
}
