#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace rexsim {

namespace {
constexpr double kPvMin = -199.9;
constexpr double kPvMax = 1372.0;
constexpr double kHms = kMaxTimeSeconds;
constexpr Group P = Group::Plain;
} // namespace

// INVENTED model of a program controller of the REX-P200 kind: the
// meanings, read-only flags, ranges, decimals and defaults below are
// plausible guesses, not taken from a manual of that instrument.
//
// Run/hold/reset is XM (0 reset, 1 run, 2 hold). A program runs pattern PS
// from segment SS up to segment PE of that pattern, RR more times, then
// links to pattern LP (0: none) or ends (EN = 1, back to reset). Segment
// sn of pattern pn has level LE and time TM (selected by PN, SN); time
// signal tn of pattern pn (selected by PN, TN) switches output T<SO> on
// from TO to TF after the start of segment RE. Segment levels default to
// 50.0 × segment number and segment times to one minute, so an untouched
// controller runs a visible three-step program.
//
// Decimals and ranges are chosen so that every value fits the six-character
// value text ("9999.9" .. "-999.9" with one decimal).
//
// id, group, read-only, time, decimals, min, max, default, step, meaning
const std::array<IdDef, kIdentifierCount> kIdentifiers{{
    {"M1", P, true, false, 1, kPvMin, kPvMax, 25.0, 0, "measured value (PV + bias PB, with noise)"},
    {"S1", P, false, false, 1, kPvMin, kPvMax, 25.0, 0, "set value used in reset"},
    {"ON", P, true, false, 1, -5.0, 105.0, 0.0, 0, "control output (%)"},
    {"TR", P, false, true, 0, 0, kHms, 60, 0, "remaining time of the current segment"},
    {"RT", P, true, false, 0, 0, 9999, 0, 0, "repeats done of the running pattern"},
    {"M2", P, true, false, 1, 0, 100.0, 0.0, 0, "heater current (A), from the output"},
    {"AA", P, true, false, 0, 0, 1, 0, 0, "alarm 1 state (PV above A1)"},
    {"AB", P, true, false, 0, 0, 1, 0, 0, "alarm 2 state (PV below A2)"},
    {"B1", P, true, false, 0, 0, 1, 0, 0, "input burnout"},
    {"B2", P, true, false, 0, 0, 1, 0, 0, "heater break"},
    {"HO", P, true, false, 0, 0, 1, 0, 0, "hold state (1 while XM is 2)"},
    {"EN", P, true, false, 0, 0, 1, 0, 0, "program end reached (cleared by run or CL)"},
    {"WT", P, true, false, 0, 0, 1, 0, 0, "wait state (not modelled, always 0)"},
    {"T1", P, true, false, 0, 0, 1, 0, 0, "time signal output 1"},
    {"T2", P, true, false, 0, 0, 1, 0, 0, "time signal output 2"},
    {"T3", P, true, false, 0, 0, 1, 0, 0, "time signal output 3"},
    {"T4", P, true, false, 0, 0, 1, 0, 0, "time signal output 4"},
    {"XM", P, false, false, 0, 0, 2, 0, 0, "operation mode: 0 reset, 1 run, 2 hold"},
    {"PS", P, false, false, 0, 1, kMaxSelector, 1, 0, "pattern to run"},
    {"SN", P, true, false, 0, 0, kMaxSelector, 1, 0, "segment in execution"},
    {"RA", P, false, false, 0, 0, 1, 0, 0, "auto/manual: 0 auto, 1 manual"},
    {"G1", P, false, false, 0, 0, 1, 0, 0, "PID/autotuning: 0 PID, 1 autotuning"},
    {"TT", P, false, false, 0, 0, 1, 0, 0, "time unit: 0 h.m.s (only this is modelled)"},
    {"SK", P, false, false, 0, 0, 1, 0, 0, "step: writing 1 skips to the next segment"},
    // PN
    {"RR", Group::PN, false, false, 0, 0, 9999, 0, 0, "repeat count of the pattern"},
    {"ZW", Group::PN, false, false, 1, 0, 999.9, 0.0, 0, "wait zone (not modelled)"},
    {"LP", Group::PN, false, false, 0, 0, kMaxSelector, 0, 0, "pattern linked after the end"},
    {"PE", Group::PN, false, false, 0, 1, kMaxSelector, 3, 0, "end segment of the pattern"},
    // PN, SN
    {"LE", Group::PNSN, false, false, 1, kPvMin, kPvMax, 0.0, 50.0, "segment level"},
    {"TM", Group::PNSN, false, true, 0, 0, kHms, 60, 0, "segment time"},
    {"PO", Group::PNSN, false, false, 0, 0, kMaxSelector, 0, 0, "PID group of the segment"},
    {"AN", Group::PNSN, false, false, 0, 0, kMaxSelector, 0, 0, "alarm group of the segment"},
    // PN, TN
    {"RE", Group::PNTN, false, false, 0, 0, kMaxSelector, 0, 0, "segment of the time signal"},
    {"SO", Group::PNTN, false, false, 0, 0, 4, 0, 0, "output of the time signal (0 none)"},
    {"SF", Group::PNTN, false, false, 0, 0, 1, 0, 0, "time signal flags (not modelled)"},
    {"TO", Group::PNTN, false, true, 0, 0, kHms, 0, 0, "time signal on time"},
    {"TF", Group::PNTN, false, true, 0, 0, kHms, 0, 0, "time signal off time"},
    // PO
    {"P1", Group::PO, false, false, 1, 0.1, 999.9, 30.0, 0, "proportional band"},
    {"I1", Group::PO, false, false, 0, 0, 3600, 240, 0, "integral time (s)"},
    {"D1", Group::PO, false, false, 0, 0, 3600, 60, 0, "derivative time (s)"},
    {"V1", Group::PO, false, false, 1, -10.0, 10.0, 0.0, 0, "overlap/deadband"},
    {"MH", Group::PO, false, false, 1, -5.0, 105.0, 0.0, 0, "manual output (%)"},
    {"OH", Group::PO, false, false, 1, -5.0, 105.0, 100.0, 0, "output high limit (%)"},
    {"OL", Group::PO, false, false, 1, -5.0, 105.0, 0.0, 0, "output low limit (%)"},
    // AN
    {"A1", Group::AN, false, false, 1, kPvMin, kPvMax, 1000.0, 0, "alarm 1 set value (high)"},
    {"A2", Group::AN, false, false, 1, kPvMin, kPvMax, -100.0, 0, "alarm 2 set value (low)"},
    {"A3", Group::AN, false, false, 1, 0.0, 999.9, 50.0, 0, "alarm 3 set value (not modelled)"},
    // plain again
    {"S2", P, true, false, 1, kPvMin, kPvMax, 25.0, 0, "set value in effect"},
    {"PP", P, true, false, 0, 0, kMaxSelector, 1, 0, "pattern in execution"},
    {"AP", P, true, false, 0, 0, kMaxSelector, 0, 0, "PID group in use"},
    {"PQ", P, true, false, 1, -5.0, 105.0, 0.0, 0, "heat-side output (%)"},
    {"AQ", P, true, false, 1, -5.0, 105.0, 0.0, 0, "cool-side output (%, not modelled)"},
    {"PB", P, false, false, 1, -199.9, 199.9, 0.0, 0, "PV bias"},
    {"HA", P, false, false, 1, 0.0, 100.0, 0.0, 0, "heater break alarm 1 set value (A)"},
    {"HB", P, false, false, 1, 0.0, 100.0, 0.0, 0, "heater break alarm 2 set value (A)"},
    {"TC", P, false, false, 0, 1, 100, 20, 0, "proportional cycle time (s)"},
    {"F1", P, false, false, 0, 0, 100, 0, 0, "digital filter (s, not modelled)"},
    {"ET", P, true, true, 0, 0, kHms, 0, 0, "elapsed time of the running program"},
    {"XN", P, false, false, 0, 0, 1, 0, 0, "set data lock (not modelled)"},
    {"SS", P, false, false, 0, 1, kMaxSelector, 1, 0, "start segment"},
    {"ER", P, true, false, 0, 0, 255, 0, 0, "error code"},
    {"CL", P, false, false, 0, 0, 1, 0, 0, "clear: writing 1 clears EN and ER"},
}};

int findIdentifier(std::string_view id) {
    for (int i = 0; i < kIdentifierCount; ++i) {
        if (id == kIdentifiers[i].id) {
            return i;
        }
    }
    return -1;
}

namespace {
const int iM1 = findIdentifier("M1");
const int iS1 = findIdentifier("S1");
const int iON = findIdentifier("ON");
const int iTR = findIdentifier("TR");
const int iRT = findIdentifier("RT");
const int iM2 = findIdentifier("M2");
const int iAA = findIdentifier("AA");
const int iAB = findIdentifier("AB");
const int iHO = findIdentifier("HO");
const int iEN = findIdentifier("EN");
const int iT1 = findIdentifier("T1");
const int iXM = findIdentifier("XM");
const int iPS = findIdentifier("PS");
const int iSN = findIdentifier("SN");
const int iSK = findIdentifier("SK");
const int iRR = findIdentifier("RR");
const int iLP = findIdentifier("LP");
const int iPE = findIdentifier("PE");
const int iLE = findIdentifier("LE");
const int iTM = findIdentifier("TM");
const int iPO = findIdentifier("PO");
const int iAN = findIdentifier("AN");
const int iRE = findIdentifier("RE");
const int iSO = findIdentifier("SO");
const int iTO = findIdentifier("TO");
const int iTF = findIdentifier("TF");
const int iP1 = findIdentifier("P1");
const int iOH = findIdentifier("OH");
const int iOL = findIdentifier("OL");
const int iA1 = findIdentifier("A1");
const int iA2 = findIdentifier("A2");
const int iS2 = findIdentifier("S2");
const int iPP = findIdentifier("PP");
const int iAP = findIdentifier("AP");
const int iPQ = findIdentifier("PQ");
const int iPB = findIdentifier("PB");
const int iET = findIdentifier("ET");
const int iSS = findIdentifier("SS");
const int iER = findIdentifier("ER");
const int iCL = findIdentifier("CL");

ValueRef plain(int id) {
    return ValueRef{id, -1, -1};
}

const char* prefixOf(Group g, bool second) {
    switch (g) {
    case Group::PN:
        return "PN";
    case Group::PNSN:
        return second ? "SN" : "PN";
    case Group::PNTN:
        return second ? "TN" : "PN";
    case Group::PO:
        return "PO";
    case Group::AN:
        return "AN";
    case Group::Plain:
        break;
    }
    return "";
}
} // namespace

std::string refText(const ValueRef& ref) {
    if (ref.id < 0 || ref.id >= kIdentifierCount) {
        return "??";
    }
    const IdDef& d = kIdentifiers[ref.id];
    std::string out;
    char buf[8];
    if (d.group != Group::Plain) {
        std::snprintf(buf, sizeof buf, "%s%02d", prefixOf(d.group, false), ref.a);
        out += buf;
    }
    if (d.group == Group::PNSN || d.group == Group::PNTN) {
        std::snprintf(buf, sizeof buf, "%s%02d", prefixOf(d.group, true), ref.b);
        out += buf;
    }
    out += d.id;
    return out;
}

std::string formatValue(const IdDef& def, double v) {
    if (std::isnan(v)) {
        v = def.def;
    }
    v = std::clamp(v, def.min, def.max);
    char buf[32];
    if (def.time) {
        long long s = std::llround(v);
        std::snprintf(buf, sizeof buf, "%02lld.%02lld.%02lld", s / 3600, s / 60 % 60, s % 60);
        return buf;
    }
    double scale = std::pow(10.0, def.decimals);
    double r = std::round(v * scale) / scale;
    if (r == 0.0) {
        r = 0.0; // no "-000.0"
    }
    std::snprintf(buf, sizeof buf, "%0*.*f", 6, def.decimals, r);
    return buf;
}

std::optional<double> parseNumber(std::string_view text) {
    if (text.empty() || text.size() > 7) {
        return std::nullopt;
    }
    size_t i = 0;
    bool neg = false;
    if (text[0] == '-') {
        neg = true;
        i = 1;
    }
    double value = 0;
    double scale = 0; // 0 until the point
    int digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.') {
            if (point) {
                return std::nullopt;
            }
            point = true;
            scale = 1;
        } else if (c >= '0' && c <= '9') {
            ++digits;
            if (point) {
                scale /= 10;
                value += (c - '0') * scale;
            } else {
                value = value * 10 + (c - '0');
            }
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return neg ? -value : value;
}

std::optional<double> parseTime(std::string_view t) {
    if (t.size() != 8 || t[2] != '.' || t[5] != '.') {
        return std::nullopt;
    }
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (t[i] < '0' || t[i] > '9') {
            return std::nullopt;
        }
    }
    int hh = (t[0] - '0') * 10 + (t[1] - '0');
    int mm = (t[3] - '0') * 10 + (t[4] - '0');
    int ss = (t[6] - '0') * 10 + (t[7] - '0');
    if (mm > 59 || ss > 59) {
        return std::nullopt;
    }
    return hh * 3600.0 + mm * 60.0 + ss;
}

const char* writeStatusName(WriteStatus s) {
    switch (s) {
    case WriteStatus::Ok:
        return "ok";
    case WriteStatus::BadData:
        return "malformed data";
    case WriteStatus::OutOfRange:
        return "out of range";
    case WriteStatus::ReadOnly:
        return "read-only";
    }
    return "?";
}

Station::Station() {
    for (int i = 0; i < kIdentifierCount; ++i) {
        plain_[i] = kIdentifiers[i].def;
    }
}

double Station::get(const ValueRef& ref) const {
    const IdDef& d = kIdentifiers[ref.id];
    if (d.group == Group::Plain) {
        return plain_[ref.id];
    }
    auto it = written_.find(ref);
    if (it != written_.end()) {
        return it->second;
    }
    int last = (d.group == Group::PNSN || d.group == Group::PNTN) ? ref.b : ref.a;
    return std::clamp(d.def + d.step * last, d.min, d.max);
}

void Station::put(const ValueRef& ref, double v) {
    if (kIdentifiers[ref.id].group == Group::Plain) {
        plain_[ref.id] = v;
    } else {
        written_[ref] = v;
    }
}

Model::Model(const std::array<bool, kStations>& present, bool frozen, std::uint64_t seed)
    : frozen_(frozen), noise_(seed ^ 0x5eedf00dULL) {
    for (int a = 0; a < kStations; ++a) {
        if (present[a]) {
            stations_[a].emplace();
        }
    }
}

std::string Model::readText(int addr, const ValueRef& ref) const {
    return formatValue(kIdentifiers[ref.id], station(addr).get(ref));
}

WriteStatus Model::write(int addr, const ValueRef& ref, std::string_view data, bool force) {
    const IdDef& d = kIdentifiers[ref.id];
    if (d.readOnly && !force) {
        return WriteStatus::ReadOnly;
    }
    double v;
    if (d.time) {
        auto t = parseTime(data);
        if (!t) {
            return WriteStatus::BadData;
        }
        v = *t;
    } else {
        auto n = parseNumber(data);
        if (!n) {
            return WriteStatus::BadData;
        }
        double scale = std::pow(10.0, d.decimals);
        v = std::round(*n * scale) / scale;
    }
    if (v < d.min || v > d.max) {
        return WriteStatus::OutOfRange;
    }
    Station& s = station(addr);
    if (frozen_) {
        s.put(ref, v);
        return WriteStatus::Ok;
    }
    if (ref.id == iXM) {
        int old = static_cast<int>(s.get(plain(iXM)));
        int now = static_cast<int>(v);
        if (now == 0) {
            resetProgram(addr);
        } else if (now == 1 && old == 0) {
            startRun(addr);
        } else if (now == 2 && old == 0) {
            return WriteStatus::Ok; // nothing to hold
        } else {
            s.put(plain(iXM), v);
        }
    } else if (ref.id == iSK) {
        if (v == 1 && s.get(plain(iXM)) != 0) {
            advanceSegment(addr);
        }
    } else if (ref.id == iCL) {
        if (v == 1) {
            s.put(plain(iEN), 0);
            s.put(plain(iER), 0);
        }
    } else if (ref.id == iM1) {
        s.pv = v - s.get(plain(iPB));
        s.put(ref, v);
    } else {
        s.put(ref, v);
    }
    updateDerived(addr, 0);
    return WriteStatus::Ok;
}

void Model::enterSegment(int addr, int seg) {
    Station& s = station(addr);
    int pp = static_cast<int>(s.get(plain(iPP)));
    s.put(plain(iSN), seg);
    s.segElapsed = 0;
    s.put(plain(iTR), s.get(ValueRef{iTM, pp, seg}));
}

void Model::startRun(int addr) {
    Station& s = station(addr);
    int pattern = static_cast<int>(s.get(plain(iPS)));
    s.put(plain(iPP), pattern);
    s.put(plain(iXM), 1);
    s.put(plain(iEN), 0);
    s.put(plain(iET), 0);
    s.repeatsDone = 0;
    int end = std::max(1, static_cast<int>(s.get(ValueRef{iPE, pattern, -1})));
    enterSegment(addr, std::clamp(static_cast<int>(s.get(plain(iSS))), 1, end));
}

void Model::resetProgram(int addr) {
    Station& s = station(addr);
    int pattern = static_cast<int>(s.get(plain(iPS)));
    s.put(plain(iXM), 0);
    s.put(plain(iPP), pattern);
    s.repeatsDone = 0;
    int end = std::max(1, static_cast<int>(s.get(ValueRef{iPE, pattern, -1})));
    enterSegment(addr, std::clamp(static_cast<int>(s.get(plain(iSS))), 1, end));
}

void Model::advanceSegment(int addr) {
    Station& s = station(addr);
    int pp = static_cast<int>(s.get(plain(iPP)));
    int seg = static_cast<int>(s.get(plain(iSN))) + 1;
    int end = std::max(1, static_cast<int>(s.get(ValueRef{iPE, pp, -1})));
    if (seg <= end) {
        enterSegment(addr, seg);
        return;
    }
    if (s.repeatsDone < static_cast<int>(s.get(ValueRef{iRR, pp, -1}))) {
        ++s.repeatsDone;
        enterSegment(addr, 1);
        return;
    }
    int link = static_cast<int>(s.get(ValueRef{iLP, pp, -1}));
    if (link != 0 && link != pp) {
        s.put(plain(iPP), link);
        s.repeatsDone = 0;
        enterSegment(addr, 1);
        return;
    }
    resetProgram(addr);
    s.put(plain(iEN), 1);
}

void Model::updateDerived(int addr, double dt) {
    Station& s = station(addr);
    int mode = static_cast<int>(s.get(plain(iXM)));
    int pp = static_cast<int>(s.get(plain(iPP)));
    int seg = static_cast<int>(s.get(plain(iSN)));
    double sp = mode == 0 ? s.get(plain(iS1)) : s.get(ValueRef{iLE, pp, seg});
    int po = mode == 0 ? 0 : static_cast<int>(s.get(ValueRef{iPO, pp, seg}));
    int an = mode == 0 ? 0 : static_cast<int>(s.get(ValueRef{iAN, pp, seg}));

    if (dt > 0) {
        constexpr double tau = 10.0; // seconds
        s.pv += (sp - s.pv) * (1.0 - std::exp(-dt / tau));
    }
    std::normal_distribution<double> noise(0.0, 0.03);
    double m1 = s.pv + s.get(plain(iPB)) + (dt > 0 ? noise(noise_) : 0.0);
    const IdDef& dm1 = kIdentifiers[iM1];
    m1 = std::clamp(m1, dm1.min, dm1.max);

    double oh = s.get(ValueRef{iOH, po, -1});
    double ol = s.get(ValueRef{iOL, po, -1});
    double band = s.get(ValueRef{iP1, po, -1});
    double out = std::clamp(50.0 + (sp - s.pv) * 100.0 / std::max(band, 0.1), std::min(ol, oh),
                            std::max(ol, oh));

    s.put(plain(iM1), m1);
    s.put(plain(iS2), sp);
    s.put(plain(iON), out);
    s.put(plain(iPQ), out);
    s.put(plain(iM2), std::max(0.0, out) / 100.0 * 20.0);
    s.put(plain(iAP), po);
    s.put(plain(iAA), m1 > s.get(ValueRef{iA1, an, -1}) ? 1 : 0);
    s.put(plain(iAB), m1 < s.get(ValueRef{iA2, an, -1}) ? 1 : 0);
    s.put(plain(iHO), mode == 2 ? 1 : 0);
    s.put(plain(iRT), s.repeatsDone);

    for (int k = 0; k < 4; ++k) {
        bool on = false;
        if (mode != 0) {
            for (int tn = 0; tn <= kMaxSelector && !on; ++tn) {
                on = static_cast<int>(s.get(ValueRef{iSO, pp, tn})) == k + 1 &&
                     static_cast<int>(s.get(ValueRef{iRE, pp, tn})) == seg &&
                     s.segElapsed >= s.get(ValueRef{iTO, pp, tn}) &&
                     s.segElapsed < s.get(ValueRef{iTF, pp, tn});
            }
        }
        s.put(plain(iT1 + k), on ? 1 : 0);
    }
}

void Model::tick(double dt) {
    if (frozen_ || dt <= 0) {
        return;
    }
    for (int a = 0; a < kStations; ++a) {
        if (!stations_[a]) {
            continue;
        }
        Station& s = *stations_[a];
        if (s.get(plain(iXM)) == 1) {
            s.segElapsed += dt;
            s.put(plain(iET), std::min(kMaxTimeSeconds, s.get(plain(iET)) + dt));
            double left = s.get(plain(iTR)) - dt;
            // Zero-length segments pass at once; at most one lap of the
            // program per tick so that a program of zero times cannot hang.
            int guard = 0;
            while (left <= 0 && s.get(plain(iXM)) == 1 && guard++ <= 17 * 17) {
                double over = -left;
                advanceSegment(a);
                if (s.get(plain(iXM)) != 1) {
                    left = s.get(plain(iTR)); // program ended: back in reset
                    break;
                }
                left = s.get(plain(iTR)) - over;
                s.segElapsed = over;
            }
            s.put(plain(iTR), std::max(0.0, left));
        }
        updateDerived(a, dt);
    }
}

} // namespace rexsim
