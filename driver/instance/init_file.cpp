#include "instance/init_file.h"

#include <cstring>

#include "host/log.h"
#include "instance/instance_block.h"

namespace draxo {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* SkipSpace(const char* p) {
    while (IsSpace(*p)) {
        ++p;
    }
    return p;
}

// Like scanf's "%u" (white space skipped before the digits), but a sign or
// a number beyond 32 bits is no number.
const char* ReadUnsigned(const char* p, std::uint32_t* value) {
    p = SkipSpace(p);
    if (*p < '0' || *p > '9') {
        return nullptr;
    }
    std::uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<std::uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFu) {
            return nullptr;
        }
        ++p;
    }
    *value = static_cast<std::uint32_t>(v);
    return p;
}

const char* Expect(const char* p, const char* word) {
    const std::size_t n = std::strlen(word);
    return std::strncmp(p, word, n) == 0 ? p + n : nullptr;
}

} // namespace

bool ParseIfgLine(const char* line, std::uint32_t* ms) {
    const char* p = Expect(SkipSpace(line), "IFG");
    if (p == nullptr) {
        return false;
    }
    p = Expect(SkipSpace(p), "=");
    return p != nullptr && ReadUnsigned(p, ms) != nullptr;
}

bool ParseStationLine(const char* line, std::uint32_t* station) {
    const char* p = ReadUnsigned(line, station);
    if (p == nullptr) {
        return false;
    }
    p = Expect(SkipSpace(p), "=");
    return p != nullptr && Expect(SkipSpace(p), "P200") != nullptr;
}

std::FILE* OpenInitFile(const char* baseName, char* nameBuffer, std::uint32_t number) {
    std::snprintf(nameBuffer, kInitNameSize, "%s%02u.INT", baseName, static_cast<unsigned>(number));
    if (std::FILE* f = std::fopen(nameBuffer, "r")) {
        return f;
    }
    std::snprintf(nameBuffer, kInitNameSize, "%s%01u.INT", baseName, static_cast<unsigned>(number));
    if (std::FILE* f = std::fopen(nameBuffer, "r")) {
        return f;
    }
    std::snprintf(nameBuffer, kInitNameSize, "%s.INT", baseName);
    return std::fopen(nameBuffer, "r");
}

void ReadInitFile(VpiCallBlock* call) {
    InstanceBlock* b = call->instance;
    char name[kInitNameSize];
    std::FILE* f = OpenInitFile("DRAXO", name, call->instanceNumber);
    if (f == nullptr) {
        err(kLogError, "DRAXO> ColdStart() Error, no initfile found");
        return;
    }

    char line[kInitLineSize];
    std::uint16_t lineNumber = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        ++lineNumber;
        // A carriage return before the line feed is not part of the line.
        const std::size_t len = std::strlen(line);
        if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
            line[len - 2] = '\n';
            line[len - 1] = '\0';
        }

        std::uint32_t number = 0;
        if (ParseIfgLine(line, &number)) {
            b->ifg = number;
        } else if (ParseStationLine(line, &number)) {
            if (number >= kStationCount) {
                err(kLogError, "DRAXO> ReadInitFile() inv. stat. nr. %u, line %u in '%s'",
                    static_cast<unsigned>(number), static_cast<unsigned>(lineNumber), name);
            } else {
                b->stations[number] = StationEntry{kStationP200, 0, 0, 0, 0, 0};
                err(kLogError, "Station %d = P200", static_cast<int>(number));
            }
        } else if (line[0] == '\n') {
            // an empty line
        } else {
            err(kLogError, "DRAXO> ReadIntFile() ill. controller type or illegal line %u in '%s'",
                static_cast<unsigned>(lineNumber), name);
        }
    }
    std::fclose(f);
}

} // namespace draxo
