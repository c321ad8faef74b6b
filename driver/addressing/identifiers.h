// The controller's vocabulary: two-character identifiers, the five segment
// codes, which selectors go in front of an identifier in a request, and
// which identifiers carry times.
#pragma once

#include <cstdint>

namespace draxo {

inline constexpr std::uint32_t kIdentifierCount = 68;

// Which selectors a request puts in front of an identifier.
enum class Prefix {
    None,
    Pn,      // PN
    PnSn,    // PN, then SN
    PnTn,    // PN, then TN
    Po,      // PO
    An,      // AN
    Refused, // a placeholder: no request is made for it
};

// The first index whose entry has the same first two characters as
// `text`, or -1. A text of fewer than two characters matches nothing.
int FindIdentifier(const char* text);
// The same search over the segment codes "25", "30", "35", "41", "49";
// answers the position in that table, or -1.
int FindSegmentCode(const char* text);

// The table's text for an index below kIdentifierCount.
const char* IdentifierText(std::uint32_t index);
Prefix PrefixFor(std::uint32_t index);
bool IsTimeValued(std::uint32_t index);
bool IsSegmentCode(std::uint32_t code);

} // namespace draxo
