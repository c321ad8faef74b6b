#include "addressing/identifiers.h"

namespace draxo {

namespace {

// "@@" heads each group whose selector has the placeholder's index as its
// segment code. The empty entry ends the table.
constexpr const char* kIdentifierTable[kIdentifierCount + 1] = {
    "@@", "M1", "S1", "ON", "TR", "RT", "M2", "AA", "AB", "B1", "B2", "HO", "EN", "WT",
    "T1", "T2", "T3", "T4", "XM", "PS", "SN", "RA", "G1", "TT", "SK", "@@", "RR", "ZW",
    "LP", "PE", "@@", "LE", "TM", "PO", "AN", "@@", "RE", "SO", "SF", "TO", "TF", "@@",
    "P1", "I1", "D1", "V1", "MH", "OH", "OL", "@@", "A1", "A2", "A3", "S2", "PP", "AP",
    "PQ", "AQ", "PB", "HA", "HB", "TC", "F1", "ET", "XN", "SS", "ER", "CL", "",
};

constexpr const char* kSegmentCodeTable[] = {"25", "30", "35", "41", "49", ""};

int Find(const char* const* table, const char* text) {
    if (text == nullptr || text[0] == '\0' || text[1] == '\0') {
        return -1;
    }
    for (int i = 0; table[i][0] != '\0'; ++i) {
        if (table[i][0] == text[0] && table[i][1] == text[1]) {
            return i;
        }
    }
    return -1;
}

} // namespace

int FindIdentifier(const char* text) {
    return Find(kIdentifierTable, text);
}

int FindSegmentCode(const char* text) {
    return Find(kSegmentCodeTable, text);
}

const char* IdentifierText(std::uint32_t index) {
    return index < kIdentifierCount ? kIdentifierTable[index] : "";
}

Prefix PrefixFor(std::uint32_t index) {
    if (index >= kIdentifierCount || IsSegmentCode(index)) {
        return Prefix::Refused;
    }
    if (index >= 26 && index <= 29) {
        return Prefix::Pn;
    }
    if (index >= 31 && index <= 34) {
        return Prefix::PnSn;
    }
    if (index >= 36 && index <= 40) {
        return Prefix::PnTn;
    }
    if (index >= 42 && index <= 48) {
        return Prefix::Po;
    }
    if (index >= 50 && index <= 52) {
        return Prefix::An;
    }
    return Prefix::None;
}

bool IsTimeValued(std::uint32_t index) {
    return index == 4 || index == 32 || index == 39 || index == 40 || index == 63;
}

bool IsSegmentCode(std::uint32_t code) {
    return code == 25 || code == 30 || code == 35 || code == 41 || code == 49;
}

} // namespace draxo
