// The host runtime's log function, the driver's only import from the host.
// Each message is one call: a class (8 or 32) and a printf-style format with
// its arguments; the result is ignored.
#pragma once

#include <cstdint>

extern "C" int err(std::int32_t messageClass, const char* format, ...);

namespace draxo {
inline constexpr std::int32_t kLogInfo = 8;
inline constexpr std::int32_t kLogError = 32;
} // namespace draxo
