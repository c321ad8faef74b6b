// The simulated controllers: identifier table, stored values and the
// process/program model that makes them move.
//
// The model of a REX-P200 program controller here is INVENTED. No manual of
// that instrument was at hand; meanings, ranges, decimals and defaults are
// plausible choices for a program controller, kept in the one table
// kIdentifiers (model.cpp) so that they are easy to correct.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace rexsim {

// Which selectors stand in front of an identifier in a request.
enum class Group { Plain, PN, PNSN, PNTN, PO, AN };

struct IdDef {
    const char* id; // two characters
    Group group;
    bool readOnly;
    bool time;    // value travels as hh.mm.ss; held in seconds
    int decimals; // for numeric values
    double min;
    double max;
    double def;  // default value (seconds for times)
    double step; // grouped identifiers: default += step * (last selector)
    const char* meaning;
};

inline constexpr int kIdentifierCount = 62;
extern const std::array<IdDef, kIdentifierCount> kIdentifiers;

// Index into kIdentifiers, or -1.
int findIdentifier(std::string_view id);

inline constexpr int kMaxSelector = 16;
inline constexpr int kStations = 16;
inline constexpr double kMaxTimeSeconds = 99 * 3600 + 59 * 60 + 59;

// One stored value: an identifier and its selector values (-1 when unused).
struct ValueRef {
    int id = -1;
    int a = -1; // PN, PO or AN
    int b = -1; // SN or TN
    bool operator<(const ValueRef& o) const {
        return id != o.id ? id < o.id : (a != o.a ? a < o.a : b < o.b);
    }
    bool operator==(const ValueRef&) const = default;
};

// Request text of a value (selectors then identifier), e.g. "PN03SN07TM".
std::string refText(const ValueRef& ref);

// The value text a controller sends: six characters, not zero-suppressed,
// sign and point counted ("0025.0", "-025.0", "000001"); times as hh.mm.ss.
// Values are clamped to the identifier's range so the width always holds.
std::string formatValue(const IdDef& def, double v);

// Loose numeric data as accepted on writes: optional '-', digits with at most
// one '.', at least one digit; no '+', no blanks, at most 7 characters.
std::optional<double> parseNumber(std::string_view text);
// Exactly hh.mm.ss with minutes and seconds 0..59; result in seconds.
std::optional<double> parseTime(std::string_view text);

enum class WriteStatus { Ok, BadData, OutOfRange, ReadOnly };
const char* writeStatusName(WriteStatus s);

class Station {
  public:
    Station();
    double get(const ValueRef& ref) const;
    void put(const ValueRef& ref, double v); // no checks
    const std::map<ValueRef, double>& written() const { return written_; }

    // Program and process state (not frozen).
    double pv = 25.0;      // process value before bias
    double segElapsed = 0; // seconds in the current segment
    int repeatsDone = 0;

  private:
    std::array<double, kIdentifierCount> plain_{};
    std::map<ValueRef, double> written_;
};

class Model {
  public:
    Model(const std::array<bool, kStations>& present, bool frozen, std::uint64_t seed);

    bool present(int addr) const { return addr >= 0 && addr < kStations && stations_[addr]; }
    bool frozen() const { return frozen_; }
    Station& station(int addr) { return *stations_[addr]; }
    const Station& station(int addr) const { return *stations_[addr]; }

    // Value text a poll gets now.
    std::string readText(int addr, const ValueRef& ref) const;

    // Checks and stores data of a write. `force` (control socket) also
    // writes read-only identifiers. Writes of command identifiers (XM, SK,
    // CL) act on the program unless the model is frozen.
    WriteStatus write(int addr, const ValueRef& ref, std::string_view data, bool force = false);

    // Advances the process and the programs by dt seconds (no-op if frozen).
    void tick(double dt);

  private:
    void startRun(int addr);
    void enterSegment(int addr, int seg);
    void advanceSegment(int addr);
    void resetProgram(int addr);
    void updateDerived(int addr, double dt);

    std::array<std::optional<Station>, kStations> stations_;
    bool frozen_;
    std::mt19937_64 noise_;
};

} // namespace rexsim
