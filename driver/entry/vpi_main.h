// The driver's single entry point.
#pragma once

#include <cstdint>

#include "host/records.h"

#if defined(_WIN32)
#define DRAXO_EXPORT __declspec(dllexport)
#else
#define DRAXO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" DRAXO_EXPORT std::int32_t VpiMain(draxo::VpiCallBlock* call);

namespace draxo {

// The process-wide ended flag: once EndVpi set it to 1, every command of
// every instance returns 0 without effect.
extern std::uint32_t vpiEnded;

std::int32_t GetVpiInfo(VpiCallBlock* call);

} // namespace draxo
