// The gate address parser: turns a gate's address text, such as "01M1" or
// "0125", into the parsed address that the host keeps for the gate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/records.h"

namespace draxo {

inline constexpr std::size_t kMinAddressLength = 4;
inline constexpr std::size_t kMaxAddressLength = 8;

std::int32_t Parse(VpiCallBlock* call);
std::int32_t SingleAddressParser(VpiCallBlock* call);

} // namespace draxo
