// One gate read: request built from the parsed address, up to four
// attempts, the reply's value text converted into the gate's value slot.
#pragma once

#include <cstdint>

#include "host/records.h"

namespace draxo {

inline constexpr int kAttempts = 4;

std::int32_t SingleRead(VpiCallBlock* call);
std::int32_t DoRead(VpiCallBlock* call);
// Checks and converts the value text (up to its ETX) and stores it in the
// gate's value slot; 0, or 1 when the text is refused. The text ends at an
// ETX or, refused, at the first character that may not stand in a value.
std::int32_t StoreData(VpiCallBlock* call, const char* valueText);

} // namespace draxo
