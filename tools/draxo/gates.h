// The tool's own reading of what people type: gate lists, values, line
// options and the init file it hands the driver. Nothing here calls the
// driver, so it is tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/records.h"

namespace draxo::tool {

// A failure in what the user typed; main() turns it into exit status 2.
struct UsageError {
    std::string message;
};

// "01M1" or "oven=01M1".
struct GateEntry {
    std::string address;
    std::string name;
};

// "01S1=150" or "oven=01S1=150": the value is after the last '='.
struct WriteEntry {
    GateEntry gate;
    std::string value;
};

GateEntry parseGateEntry(std::string_view text);
WriteEntry parseWriteEntry(std::string_view text);

// The identifiers whose values travel as hh.mm.ss and are held as hhmmss.
bool isTimeValued(const ParsedAddress& parsed);

// What goes into a gate's 4-byte value slot for a write. Segment gates take
// a whole number 0..65535 (the driver itself refuses more than 16); time
// gates take hhmmss or hh:mm:ss; other parameters any finite number.
struct SlotValue {
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::string note; // a warning for the user, or empty
};
SlotValue encodeWriteValue(const ParsedAddress& parsed, std::string_view text);

float slotFloat(const unsigned char* slot);
std::uint16_t slotU16(const unsigned char* slot);
void putSlotFloat(unsigned char* slot, float v);
void putSlotU16(unsigned char* slot, std::uint16_t v);

// Shortest text that reads back as the same float ("25", "150.5").
std::string formatNumber(float v);
// hhmmss as "hh:mm:ss"; empty when v is no such number.
std::string formatHms(float v);

// Line options as the user gives them, turned into the driver's records.
struct LineOptions {
    std::string port;
    unsigned baud = 9600;
    unsigned dataBits = 8;
    std::string parity = "none";
    unsigned stopBits = 1;
    unsigned timeoutMs = 200;
};

std::uint16_t parityCode(std::string_view name);
std::uint16_t stopBitsCode(unsigned stopBits);
// Milliseconds to the driver's 10 ms units, rounding up.
std::int32_t timeoutUnits(unsigned ms);
// Refuses names that do not fit the driver's 12-byte field.
void checkPortName(std::string_view name);
// A pty path as the driver takes it: "/dev/pts/12" is kept when it fits,
// otherwise "pts/12".
std::string portNameForPath(const std::string& path);
ColdStartParams coldStartParams(const LineOptions& line);

// "1,2,5" -> {1, 2, 5}; each 0..15.
std::vector<unsigned> parseStationList(std::string_view text);
// The text of an init file declaring the stations, with an IFG line when
// ifg is given.
std::string initFileText(const std::vector<unsigned>& stations, std::optional<unsigned> ifg);
// Station addresses that gate addresses start with ("01M1" -> 1), for a
// line given without --init or --stations.
std::vector<unsigned> stationsOfAddresses(const std::vector<std::string>& addresses);

} // namespace draxo::tool
