// The init file: which controller addresses carry a P200 controller, and
// the pause before every request. Read once per ColdStart from the current
// directory as DRAXOnn.INT, DRAXOn.INT or DRAXO.INT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "host/records.h"

namespace draxo {

// Base name, ten digits of any 32-bit number, ".INT" and the NUL.
inline constexpr std::size_t kInitNameSize = 24;
inline constexpr std::size_t kInitLineSize = 256;

// Tries the three names in order; leaves the last one tried in nameBuffer
// (kInitNameSize bytes).
std::FILE* OpenInitFile(const char* baseName, char* nameBuffer, std::uint32_t number);

// Declares the stations and sets ifg of the call's instance from its file.
void ReadInitFile(VpiCallBlock* call);

// Line grammar, for the reader and its tests. Each answers whether the line
// has that form; numbers with a sign or beyond 32 bits do not.
bool ParseIfgLine(const char* line, std::uint32_t* ms);
bool ParseStationLine(const char* line, std::uint32_t* station);

} // namespace draxo
