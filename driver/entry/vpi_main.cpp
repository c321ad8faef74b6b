#include "entry/vpi_main.h"

#include "addressing/parser.h"
#include "host/log.h"
#include "instance/lifecycle.h"
#include "transactions/read.h"
#include "transactions/write.h"

namespace draxo {

std::uint32_t vpiEnded = 0;

namespace {

using Handler = std::int32_t (*)(VpiCallBlock* call);

std::int32_t BlockAddressParser(VpiCallBlock*) {
    return 1;
}
std::int32_t BlockRead(VpiCallBlock*) {
    return 1;
}
std::int32_t BlockWrite(VpiCallBlock*) {
    return 1;
}

constexpr int kCommandCount = 16;

// What each command reads through the call block, indexed like the table.
enum Needs : unsigned { kNothing = 0, kInstance = 1, kParams = 2, kBoth = 3 };
constexpr unsigned kNeeds[kCommandCount] = {
    kBoth,    kInstance, kBoth,     kNothing,  kBoth,     kNothing, kBoth, kNothing,
    kNothing, kNothing,  kInstance, kInstance, kInstance, kParams,  kBoth, kNothing,
};

// Indexed by command code minus one; empty slots are null.
constexpr Handler kCommands[kCommandCount] = {
    ColdStart,           // 1
    WarmStart,           // 2
    SingleAddressParser, // 3
    BlockAddressParser,  // 4
    SingleRead,          // 5
    BlockRead,           // 6
    SingleWrite,         // 7
    nullptr,             // 8
    nullptr,             // 9
    BlockWrite,          // 10
    EndVpi,              // 11
    CloseCom,            // 12
    ReOpenCom,           // 13
    GetVpiInfo,          // 14
    ChangeVpiParams,     // 15
    nullptr,             // 16
};

} // namespace
} // namespace draxo

extern "C" std::int32_t VpiMain(draxo::VpiCallBlock* call) {
    using namespace draxo;
    if (vpiEnded == 1) {
        return 0;
    }
    if (call == nullptr) {
        err(kLogError, "DRAXO> Exited VpiMain() #1");
        return 2;
    }
    const std::int32_t command = call->command;
    if (command < 1 || command > kCommandCount) {
        err(kLogError, "DRAXO> Exited VpiMain() #1");
        return 2;
    }
    const Handler handler = kCommands[command - 1];
    if (handler == nullptr) {
        err(kLogError, "DRAXO> Exited VpiMain() #2");
        return 2;
    }
    // A missing record is refused rather than followed.
    const unsigned needs = kNeeds[command - 1];
    if (((needs & kInstance) && call->instance == nullptr) ||
        ((needs & kParams) && call->params == nullptr)) {
        err(kLogError, "DRAXO> Exited VpiMain() #3, command %d without its record",
            static_cast<int>(command));
        return 2;
    }
    return handler(call);
}
