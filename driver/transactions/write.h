// One gate write: the value sent as text (times as hh.mm.ss, everything
// else as a six-character whole number), up to four attempts, each waiting
// for the controller's ACK.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/records.h"

namespace draxo {

std::int32_t SingleWrite(VpiCallBlock* call);
std::int32_t DoWrite(VpiCallBlock* call);

// The value text for an identifier index: 0, or 1 after logging why the
// value was refused. `out` holds at least 16 bytes.
std::int32_t FormatWriteValue(std::uint32_t code, float value, char* out, std::size_t size);

} // namespace draxo
