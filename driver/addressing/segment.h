// Segment gates: the five selectors of a station, held in the instance
// block and read and written by the host like any 16-bit gate. They never
// reach a controller and need no port.
#pragma once

#include <cstddef>
#include <cstdint>

#include "addressing/identifiers.h"
#include "host/records.h"
#include "instance/instance_block.h"

namespace draxo {

// Bytes 2..3 of a value slot hold a segment gate's 16-bit value.
std::uint16_t SlotU16(const unsigned char* slot);
void SetSlotU16(unsigned char* slot, std::uint16_t value);
float SlotFloat(const unsigned char* slot);
void SetSlotFloat(unsigned char* slot, float value);

// The selector a segment code names, or null.
std::uint8_t* SelectorFor(StationEntry& station, std::uint32_t code);

// Both answer 0, or 1 for a code that is not a segment code or a
// controller outside 0..15; the write also refuses a value above 16.
std::int32_t SegmentRead(VpiCallBlock* call);
std::int32_t SegmentWrite(VpiCallBlock* call);

// Writes the selectors that go in front of an identifier ("PN03SN07") and
// a NUL; answers the number of characters.
std::size_t FormatSelectors(char* out, std::size_t size, Prefix prefix,
                            const StationEntry& station);

} // namespace draxo
