#include "gates.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <set>

namespace draxo::tool {

namespace {

std::string trim(std::string_view s) {
    auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

bool parseWhole(std::string_view s, unsigned long& out) {
    if (s.empty()) {
        return false;
    }
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && p == s.data() + s.size();
}

} // namespace

GateEntry parseGateEntry(std::string_view text) {
    GateEntry g;
    auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        g.address = trim(text);
    } else {
        g.name = trim(text.substr(0, eq));
        g.address = trim(text.substr(eq + 1));
        if (g.name.empty()) {
            throw UsageError{"gate '" + std::string(text) + "': empty name before '='"};
        }
    }
    if (g.address.empty()) {
        throw UsageError{"gate '" + std::string(text) + "': no address (e.g. 01M1 or oven=01M1)"};
    }
    if (g.address.find('=') != std::string::npos) {
        throw UsageError{"gate '" + std::string(text) + "': too many '='"};
    }
    return g;
}

WriteEntry parseWriteEntry(std::string_view text) {
    auto eq = text.rfind('=');
    if (eq == std::string_view::npos) {
        throw UsageError{"write '" + std::string(text) + "': expected GATE=VALUE, e.g. 01S1=150"};
    }
    WriteEntry w;
    w.gate = parseGateEntry(text.substr(0, eq));
    w.value = trim(text.substr(eq + 1));
    if (w.value.empty()) {
        throw UsageError{"write '" + std::string(text) + "': no value after '='"};
    }
    return w;
}

bool isTimeValued(const ParsedAddress& parsed) {
    if (parsed.kind != kKindParameter) {
        return false;
    }
    switch (parsed.code) {
    case 4:  // TR
    case 32: // TM
    case 39: // TO
    case 40: // TF
    case 63: // ET
        return true;
    default:
        return false;
    }
}

float slotFloat(const unsigned char* slot) {
    float v;
    std::memcpy(&v, slot, sizeof v);
    return v;
}

std::uint16_t slotU16(const unsigned char* slot) {
    std::uint16_t v;
    std::memcpy(&v, slot + 2, sizeof v);
    return v;
}

void putSlotFloat(unsigned char* slot, float v) {
    std::memcpy(slot, &v, sizeof v);
}

void putSlotU16(unsigned char* slot, std::uint16_t v) {
    std::memcpy(slot + 2, &v, sizeof v);
}

SlotValue encodeWriteValue(const ParsedAddress& parsed, std::string_view text) {
    SlotValue out;
    const std::string t = trim(text);
    if (parsed.kind == kKindSegmentGate) {
        unsigned long n = 0;
        if (!parseWhole(t, n) || n > 65535) {
            throw UsageError{"value '" + t + "': a segment gate takes a whole number 0..16"};
        }
        putSlotU16(out.bytes, static_cast<std::uint16_t>(n));
        return out;
    }
    if (isTimeValued(parsed) && t.find(':') != std::string::npos) {
        // hh:mm:ss, or mm:ss
        std::vector<unsigned long> parts;
        std::size_t start = 0;
        while (true) {
            auto colon = t.find(':', start);
            unsigned long n = 0;
            auto piece = std::string_view(t).substr(
                start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!parseWhole(piece, n)) {
                throw UsageError{"value '" + t + "': a time is hh:mm:ss, e.g. 01:30:00"};
            }
            parts.push_back(n);
            if (colon == std::string::npos) {
                break;
            }
            start = colon + 1;
        }
        if (parts.size() == 2) {
            parts.insert(parts.begin(), 0);
        }
        if (parts.size() != 3 || parts[0] > 99 || parts[1] > 59 || parts[2] > 59) {
            throw UsageError{"value '" + t +
                             "': a time is hh:mm:ss with hh 0..99, mm and ss 0..59"};
        }
        putSlotFloat(out.bytes, static_cast<float>(parts[0] * 10000 + parts[1] * 100 + parts[2]));
        return out;
    }
    // A plain number. strtof accepts "nan" and "inf", which the driver
    // would send as a zero time or refuse late: refuse them here.
    char* end = nullptr;
    float v = std::strtof(t.c_str(), &end);
    if (t.empty() || end != t.c_str() + t.size() || !std::isfinite(v)) {
        throw UsageError{"value '" + t + "': not a number"};
    }
    if (isTimeValued(parsed)) {
        if (v != std::trunc(v)) {
            out.note = "time values are whole hhmmss numbers; the fraction of " + t + " is dropped";
        }
    } else if (v != std::trunc(v)) {
        out.note = "the controller takes whole numbers: " + t + " is sent as " +
                   formatNumber(std::trunc(v));
    }
    putSlotFloat(out.bytes, v);
    return out;
}

std::string formatNumber(float v) {
    if (std::isnan(v)) {
        return "nan";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-inf" : "inf";
    }
    char buf[32];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc{}) {
        return "?";
    }
    return std::string(buf, p);
}

std::string formatHms(float v) {
    if (!std::isfinite(v) || v < 0 || v >= 1000000.0f) {
        return {};
    }
    long n = static_cast<long>(v);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", n / 10000, n / 100 % 100, n % 100);
    return buf;
}

std::uint16_t parityCode(std::string_view name) {
    static constexpr std::string_view names[] = {"none", "odd", "even", "mark", "space"};
    for (std::uint16_t i = 0; i < 5; ++i) {
        if (name == names[i]) {
            return i;
        }
    }
    throw UsageError{"parity '" + std::string(name) + "': use none, odd, even, mark or space"};
}

std::uint16_t stopBitsCode(unsigned stopBits) {
    if (stopBits == 1) {
        return 0;
    }
    if (stopBits == 2) {
        return 2;
    }
    throw UsageError{"stop bits " + std::to_string(stopBits) + ": use 1 or 2"};
}

std::int32_t timeoutUnits(unsigned ms) {
    if (ms == 0) {
        throw UsageError{"--timeout 0: the reply time-out must be at least 1 ms"};
    }
    if (ms > 600000) {
        throw UsageError{"--timeout " + std::to_string(ms) + ": at most 600000 ms"};
    }
    return static_cast<std::int32_t>((ms + 9) / 10);
}

void checkPortName(std::string_view name) {
    if (name.empty()) {
        throw UsageError{"no port: give --port NAME (e.g. COM3, ttyUSB0, pts/4)"};
    }
    if (name.size() >= kPortNameSize) {
        throw UsageError{"port name '" + std::string(name) + "' has " +
                         std::to_string(name.size()) + " characters; the driver takes at most " +
                         std::to_string(kPortNameSize - 1) +
                         " (use a short name such as ttyUSB0 or pts/4, or a symlink)"};
    }
}

std::string portNameForPath(const std::string& path) {
    if (path.size() < kPortNameSize) {
        return path;
    }
    const std::string dev = "/dev/";
    if (path.compare(0, dev.size(), dev) == 0) {
        return path.substr(dev.size());
    }
    return path;
}

ColdStartParams coldStartParams(const LineOptions& line) {
    checkPortName(line.port);
    if (line.baud == 0 || line.baud > 65535) {
        throw UsageError{"--baud " + std::to_string(line.baud) +
                         ": the driver's line record holds 1..65535"};
    }
    if (line.dataBits < 5 || line.dataBits > 8) {
        throw UsageError{"--data-bits " + std::to_string(line.dataBits) + ": use 5..8"};
    }
    ColdStartParams p{};
    std::memcpy(p.portName, line.port.data(), line.port.size());
    p.openPort = 1;
    p.replyTimeout = timeoutUnits(line.timeoutMs);
    p.line.baud = static_cast<std::uint16_t>(line.baud);
    p.line.dataBits = static_cast<std::uint16_t>(line.dataBits);
    p.line.stopBits = stopBitsCode(line.stopBits);
    p.line.parity = parityCode(line.parity);
    return p;
}

std::vector<unsigned> parseStationList(std::string_view text) {
    std::vector<unsigned> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        auto piece = trim(text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        unsigned long n = 0;
        if (!parseWhole(piece, n) || n > 15) {
            throw UsageError{"--stations '" + std::string(text) +
                             "': give addresses 0..15 separated by commas, e.g. 1,2"};
        }
        if (std::find(out.begin(), out.end(), n) == out.end()) {
            out.push_back(static_cast<unsigned>(n));
        }
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return out;
}

std::string initFileText(const std::vector<unsigned>& stations, std::optional<unsigned> ifg) {
    std::string t;
    if (ifg) {
        t += "IFG = " + std::to_string(*ifg) + "\n";
    }
    for (unsigned s : stations) {
        t += std::to_string(s) + " = P200\n";
    }
    return t;
}

std::vector<unsigned> stationsOfAddresses(const std::vector<std::string>& addresses) {
    std::set<unsigned> seen;
    for (const auto& a : addresses) {
        if (a.size() >= 2 && a[0] >= '0' && a[0] <= '9' && a[1] >= '0' && a[1] <= '9') {
            unsigned n = static_cast<unsigned>((a[0] - '0') * 10 + (a[1] - '0'));
            if (n <= 15) {
                seen.insert(n);
            }
        }
    }
    return {seen.begin(), seen.end()};
}

} // namespace draxo::tool
