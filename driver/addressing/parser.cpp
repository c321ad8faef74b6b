#include "addressing/parser.h"

#include <cstring>

#include "addressing/identifiers.h"
#include "host/log.h"
#include "instance/instance_block.h"

namespace draxo {

namespace {

// Longest part of a refused text that messages show.
constexpr std::size_t kShownLength = 32;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// scanf's "%02u": white space skipped, then at most two characters, of
// which a leading sign counts as one. A minus sign makes the number
// negative, which no address accepts: answered as no number.
bool ReadTwoDigits(const char* p, std::uint32_t* value) {
    while (IsSpace(*p)) {
        ++p;
    }
    int width = 2;
    if (*p == '+' || *p == '-') {
        if (*p == '-') {
            return false;
        }
        ++p;
        --width;
    }
    std::uint32_t v = 0;
    int digits = 0;
    while (digits < width && *p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<std::uint32_t>(*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    *value = v;
    return true;
}

// scanf's "%02s": white space skipped, then at most two characters up to
// the next white space. `out` holds three bytes.
bool ReadTwoChars(const char* p, char* out) {
    while (IsSpace(*p)) {
        ++p;
    }
    int n = 0;
    while (n < 2 && *p != '\0' && !IsSpace(*p)) {
        out[n++] = *p++;
    }
    out[n] = '\0';
    return n > 0;
}

} // namespace

std::int32_t Parse(VpiCallBlock* call) {
    auto* r = static_cast<GateAddressRequest*>(call->params);
    InstanceBlock* b = call->instance;

    // The copy is upper-cased; only as much of the host's text is looked
    // at as the length test needs.
    char copy[kShownLength + 1];
    const char* text = r->addressText != nullptr ? r->addressText : "";
    std::size_t length = 0;
    while (length < kShownLength && text[length] != '\0') {
        const char c = text[length];
        copy[length] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        ++length;
    }
    copy[length] = '\0';

    if (length < kMinAddressLength || length > kMaxAddressLength) {
        err(kLogInfo, "DRAXO> Parse() wrong length address string '%s'", copy);
        return 1;
    }

    ParsedAddress& parsed = r->parsed;
    parsed.reserved12 = -1;
    parsed.kind = kKindNone;
    parsed.widthBits = 0;

    std::uint32_t address = 0;
    if (!ReadTwoDigits(copy, &address) || address >= kStationCount) {
        err(kLogInfo, "DRAXO> Parse() illegal contr. add., gate '%s'", copy);
        return 1;
    }
    if (b->stations[address].type == kStationNone) {
        err(kLogInfo, "DRAXO> Parse() contr. add. %u not defined in .INT file, gate '%s'",
            static_cast<unsigned>(address), copy);
        return 1;
    }
    parsed.controller = address;
    if (b->stations[address].type != kStationP200) {
        err(kLogInfo, "DRAXO> Parse() internal error 1, should not happen");
        return 1;
    }

    char identifier[3];
    if (!ReadTwoChars(copy + 2, identifier)) {
        err(kLogInfo, "DRAXO> Parse() illegal parameter identifier, gate '%s'", copy);
        return 1;
    }
    const int index = FindIdentifier(identifier);
    if (index >= 0) {
        parsed.widthBits = 32;
        parsed.kind = kKindParameter;
        parsed.code = static_cast<std::uint32_t>(index);
        return 0;
    }
    std::uint32_t code = 0;
    if (FindSegmentCode(identifier) >= 0 && ReadTwoDigits(copy + 2, &code)) {
        parsed.widthBits = 16;
        parsed.kind = kKindSegmentGate;
        parsed.code = code;
        return 0;
    }
    err(kLogInfo, "DRAXO> Parse() illegal parameter identifier for P200, gate '%s'", copy);
    return 1;
}

std::int32_t SingleAddressParser(VpiCallBlock* call) {
    const std::int32_t result = Parse(call);
    if (result != 0) {
        return result;
    }
    const auto* r = static_cast<const GateAddressRequest*>(call->params);
    if (r->parsed.widthBits == 16 && r->gateType > 2) {
        err(kLogInfo, "DRAXO> SingleParse() Gate type should be analog 16-bit");
        return 1;
    }
    if (r->parsed.widthBits == 32 && r->gateType != kGateTypeFloat) {
        err(kLogInfo, "DRAXO> SingleParse() Gate type should be FLOAT");
        return 1;
    }
    return 0;
}

} // namespace draxo
