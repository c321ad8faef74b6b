// The init file reader. Input: the whole file, written as DRAXO.INT into
// the scratch directory and read for an instance block that holds a
// pattern everywhere but in the station types (all empty, as ColdStart
// leaves them). Afterwards only declared stations and ifg may differ.
#include <cstring>
#include <string_view>

#include "harness.h"
#include "instance/init_file.h"

namespace {

using namespace draxo;

void FillPattern(InstanceBlock& b) {
    auto* bytes = reinterpret_cast<unsigned char*>(&b);
    for (std::size_t i = 0; i < sizeof b; ++i) {
        bytes[i] = static_cast<unsigned char>(0xA0 + i % 31);
    }
    for (StationEntry& s : b.stations) {
        s.type = kStationNone;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::Setup();
    fuzzing::WriteFile("DRAXO.INT", std::string_view(reinterpret_cast<const char*>(data), size));

    static InstanceBlock block;
    static InstanceBlock before;
    FillPattern(block);
    before = block;

    VpiCallBlock call{};
    call.instance = &block;
    call.command = 1;
    call.instanceNumber = 1;
    ReadInitFile(&call);

    for (std::size_t i = 0; i < kStationCount; ++i) {
        const StationEntry& s = block.stations[i];
        FUZZ_CHECK(s.type == kStationNone || s.type == kStationP200);
        if (s.type == kStationNone) {
            FUZZ_CHECK(std::memcmp(&s, &before.stations[i], sizeof s) == 0);
        } else {
            // A declared station starts with every selector at 0.
            FUZZ_CHECK(s.pn == 0 && s.sn == 0 && s.tn == 0 && s.po == 0 && s.an == 0);
        }
    }
    // Nothing outside the stations and ifg changes.
    FUZZ_CHECK(block.replyTimeout == before.replyTimeout);
    FUZZ_CHECK(block.handle == before.handle);
    FUZZ_CHECK(std::memcmp(&block.port, &before.port, sizeof block.port) == 0);
    FUZZ_CHECK(std::memcmp(block.txBuffer, before.txBuffer, sizeof block.txBuffer) == 0);
    FUZZ_CHECK(std::memcmp(block.rxBuffer, before.rxBuffer, sizeof block.rxBuffer) == 0);
    return 0;
}
