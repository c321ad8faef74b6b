#include "entry/vpi_main.h"
#include "host/log.h"
#include "instance/instance_block.h"

namespace draxo {

namespace {

// Two NUL-terminated strings and one further NUL, in a 64-byte block.
constexpr char kNameBlock[64] = "R.K.C., REX-series\0REX-P200 series controllers and compatibles\0";

#define DRAXO_RULE                                                                                 \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD"

// A box of code-page-437 characters around the identification line.
constexpr char kBanner[] = "\x08"
                           "\xC9" DRAXO_RULE "\xBB\n"
                           "\xBA"
                           " DRAXO:  R K C ,  R E X - series  controllers          (32-bit driver) "
                           "\xBA\n"
                           "\xC8" DRAXO_RULE "\xBC";

#undef DRAXO_RULE

static_assert(sizeof(kBanner) == 223, "222 characters and the NUL");

} // namespace

std::int32_t GetVpiInfo(VpiCallBlock* call) {
    auto* info = static_cast<VpiInfo*>(call->params);
    info->word0 = 70;
    info->name = kNameBlock;
    info->banner = kBanner;
    info->instanceSize = kInstanceSize;
    info->word4 = 4;
    info->defaultLine = LineParams{9600, 8, 0, 0};
    info->word7 = 0;
    err(kLogInfo, "DRAXO> GetVpiInfo() exited");
    return 0;
}

} // namespace draxo
