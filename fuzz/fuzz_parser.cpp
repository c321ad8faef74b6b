// The gate address parser, through VpiMain command 3. Input: the first byte
// chooses the gate type (its value modulo 4), the rest is the address
// text, handed over as a NUL-terminated copy of exactly that length so that
// any read past the text's end shows up under ASan.
#include <cstring>
#include <memory>

#include "harness.h"

namespace {

using namespace draxo;

// Stations that the instance declares; every other one is empty.
constexpr bool kDeclared[kStationCount] = {true,  true, true,  false, false, true,  false, false,
                                           false, true, false, false, false, false, false, true};

bool IsSegmentCode(std::uint32_t code) {
    return code == 25 || code == 30 || code == 35 || code == 41 || code == 49;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::Setup();
    if (size == 0) {
        return 0;
    }
    static InstanceBlock block;
    std::memset(&block, fuzzing::kGarbage, sizeof block);
    for (std::size_t i = 0; i < kStationCount; ++i) {
        block.stations[i] = kDeclared[i] ? StationEntry{kStationP200, 0, 0, 0, 0, 0}
                                         : StationEntry{kStationNone, 0, 0, 0, 0, 0};
    }

    const std::uint32_t gateType = data[0] % 4;
    const std::size_t length = size - 1;
    const auto text = std::make_unique<char[]>(length + 1);
    std::memcpy(text.get(), data + 1, length);
    text[length] = '\0';

    GateAddressRequest r{};
    std::memset(&r.parsed, fuzzing::kGarbage, sizeof r.parsed);
    r.addressText = text.get();
    r.gateType = gateType;
    const std::int32_t result = fuzzing::Run(block, 3, &r);

    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 0) {
        const ParsedAddress& p = r.parsed;
        FUZZ_CHECK(p.controller < kStationCount);
        FUZZ_CHECK(kDeclared[p.controller]);
        FUZZ_CHECK(p.reserved12 == -1);
        if (p.kind == kKindParameter) {
            FUZZ_CHECK(p.code < 68);
            FUZZ_CHECK(p.widthBits == 32);
            FUZZ_CHECK(gateType == kGateTypeFloat);
        } else {
            FUZZ_CHECK(p.kind == kKindSegmentGate);
            FUZZ_CHECK(IsSegmentCode(p.code));
            FUZZ_CHECK(p.widthBits == 16);
            FUZZ_CHECK(gateType <= 2);
        }
    }
    // The parser only reads the text.
    FUZZ_CHECK(std::memcmp(text.get(), data + 1, length) == 0);
    return 0;
}
