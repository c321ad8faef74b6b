// draxo_soak: many mixed reads and writes through libdraxo.so against a
// faulty rexsim line, checked afterwards against the simulator's journal
// and state; then CloseCom/ReOpenCom cycles checked for leaked descriptors.
//
//   draxo_soak [--calls N] [--seed S] [--faults P] [--cycles C] [--keep]
//
// Exit code 0 when every check held, 1 when one failed, 2 on a setup error.

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

#include "korvan.h"
#include "sim_host.h"

namespace {

using simhost::Gate;
using simhost::Instance;
using Clock = std::chrono::steady_clock;

enum class Group { Plain, PN, PNSN, PNTN, PO, AN };

struct GateDef {
    const char* id;
    Group group;
    bool writable;
    bool time;
    int lo, hi; // whole numbers a write may send
};

// Identifiers of every prefix group, most of them writable and with wide
// ranges so that values rarely repeat between gates.
const GateDef kGates[] = {
    {"S1", Group::Plain, true, false, -199, 1372},  {"PB", Group::Plain, true, false, -199, 199},
    {"TC", Group::Plain, true, false, 1, 100},      {"TR", Group::Plain, true, true, 0, 0},
    {"M1", Group::Plain, false, false, -199, 1372}, {"ET", Group::Plain, false, true, 0, 0},
    {"RR", Group::PN, true, false, 0, 9999},        {"ZW", Group::PN, true, false, 0, 999},
    {"LE", Group::PNSN, true, false, -199, 1372},   {"TM", Group::PNSN, true, true, 0, 0},
    {"TO", Group::PNTN, true, true, 0, 0},          {"TF", Group::PNTN, true, true, 0, 0},
    {"P1", Group::PO, true, false, 1, 999},         {"I1", Group::PO, true, false, 0, 3600},
    {"MH", Group::PO, true, false, -5, 105},        {"A1", Group::AN, true, false, -199, 1372},
    {"A3", Group::AN, true, false, 0, 999},
};
constexpr int kGateCount = static_cast<int>(std::size(kGates));
const int kStationsUsed[] = {1, 2};

// The driver-side selectors of one station, as the segment gates set them.
struct Selectors {
    unsigned pn = 0, sn = 0, tn = 0, po = 0, an = 0;
};

std::string Two(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02u", v);
    return b;
}

// The text between controller address and ENQ of a read of `g`.
std::string RequestText(const GateDef& g, const Selectors& s) {
    switch (g.group) {
    case Group::Plain:
        return g.id;
    case Group::PN:
        return "PN" + Two(s.pn) + g.id;
    case Group::PNSN:
        return "PN" + Two(s.pn) + "SN" + Two(s.sn) + g.id;
    case Group::PNTN:
        return "PN" + Two(s.pn) + "TN" + Two(s.tn) + g.id;
    case Group::PO:
        return "PO" + Two(s.po) + g.id;
    case Group::AN:
        return "AN" + Two(s.an) + g.id;
    }
    return g.id;
}

// A value a write may send, and the data text the controller must receive.
struct WriteValue {
    float value;
    std::string text;
};

WriteValue PickValue(const GateDef& g, std::mt19937& rng) {
    char b[16];
    if (g.time) {
        const unsigned h = std::uniform_int_distribution<unsigned>(0, 99)(rng);
        const unsigned m = std::uniform_int_distribution<unsigned>(0, 59)(rng);
        const unsigned s = std::uniform_int_distribution<unsigned>(0, 59)(rng);
        std::snprintf(b, sizeof b, "%02u.%02u.%02u", h, m, s);
        return {static_cast<float>(h * 10000 + m * 100 + s), b};
    }
    const int v = std::uniform_int_distribution<int>(g.lo, g.hi)(rng);
    std::snprintf(b, sizeof b, "%06d", v);
    // A fraction is cut off by the driver; give some values one, of the
    // sign of the value so that the cut goes towards zero.
    const float frac = (v % 3 == 0) ? 0.0f : (v < 0 ? -0.25f : 0.75f);
    return {static_cast<float>(v) + frac, b};
}

struct CallRecord {
    bool write = false;
    int station = 0;
    int gate = 0;
    std::string text;     // request text
    std::string sentData; // writes: the data text expected on the line
    std::int32_t result = -1;
    bool ackTimedOut = false; // an attempt failed before its acknowledgement came
    bool lateAck = false;     // acknowledged by a late answer to an earlier write
    float stored = 0;         // reads: the slot afterwards
    double wallStart = 0, wallEnd = 0;
};

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Options {
    long calls = 1500;
    std::uint64_t seed = 7;
    double faults = 0.03;
    int cycles = 1000;
    int replyTimeout = 10; // 100 ms
    double lateMs = 150;
    bool keep = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--keep") {
            o.keep = true;
            continue;
        }
        if ((v = next()) == nullptr) {
            return false;
        }
        if (a == "--calls") {
            o.calls = std::atol(v);
        } else if (a == "--seed") {
            o.seed = std::strtoull(v, nullptr, 10);
        } else if (a == "--faults") {
            o.faults = std::atof(v);
        } else if (a == "--cycles") {
            o.cycles = std::atoi(v);
        } else {
            return false;
        }
    }
    return o.calls > 0 && o.cycles >= 0;
}

struct JournalFrame {
    double t;
    std::string value; // empty: no frame carried a value
    std::string fault;
};

struct JournalWrite {
    double t;
    std::string data;
};

using Key = std::pair<int, std::string>; // station, request text

// The driver's messages by shape: numbers and quoted gate texts folded, so
// that the summary shows which failures were met and how often.
struct MessageCounts {
    std::mutex mutex;
    std::map<std::string, long> byShape;
    long ackTimeouts = 0;
    long timeouts() {
        std::lock_guard lock(mutex);
        return ackTimeouts;
    }
    static void Sink(std::int32_t cls, const char* text, void* context) {
        auto* self = static_cast<MessageCounts*>(context);
        std::string shape = "[" + std::to_string(cls) + "] ";
        bool quoted = false;
        for (const char* p = text; *p != '\0'; ++p) {
            if (*p == '\'') {
                quoted = !quoted;
                shape += quoted ? "'..." : "'";
            } else if (quoted) {
            } else if (*p == '0' && p[1] == 'x') {
                shape += "0x#";
                for (p += 2; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
                }
                --p;
            } else if (*p >= '0' && *p <= '9') {
                if (shape.back() != '#') {
                    shape += '#';
                }
            } else {
                shape += *p;
            }
        }
        std::lock_guard lock(self->mutex);
        ++self->byShape[shape];
        // Any failed attempt of a write: its own acknowledgement may still
        // be on the way.
        if (std::strstr(text, "DoWrite()") != nullptr && std::strstr(text, "retry") != nullptr) {
            ++self->ackTimeouts;
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::cerr << "usage: draxo_soak [--calls N] [--seed S] [--faults P] [--cycles C] "
                     "[--keep]\n";
        return 2;
    }
    int failures = 0;
    auto fail = [&](const std::string& what) {
        if (++failures <= 20) {
            std::cout << "FAIL " << what << "\n";
        }
    };

    MessageCounts messages;
    korvan_set_sink(&MessageCounts::Sink, &messages);
    try {
        simhost::WorkDir dir("draxo-soak");
        std::ofstream(dir.path() / "DRAXO.INT") << "1 = P200\n2 = P200\n";
        const std::string journalPath = (dir.path() / "journal.jsonl").string();

        simhost::Library library(DRAXO_LIBRARY);
        auto sim = std::make_unique<simhost::Simulator>(
            REXSIM_BINARY,
            std::vector<std::string>{"--stations", "1,2", "--frozen", "--faults",
                                     std::to_string(o.faults), "--late-ms",
                                     std::to_string(o.lateMs), "--seed", std::to_string(o.seed),
                                     "--journal", journalPath},
            dir.path(), "rexsim");

        Instance inst(library.vpiMain(), 1);
        if (inst.coldStart(sim->portName(), o.replyTimeout) != 0) {
            std::cerr << "ColdStart on " << sim->portName() << " failed\n";
            return 2;
        }

        std::mt19937 rng(static_cast<std::uint32_t>(o.seed));
        std::map<int, Selectors> selectors;
        std::map<int, std::array<Gate, kGateCount>> gates;
        std::map<int, std::array<Gate, 5>> segments; // PN SN TN PO AN
        const char* segmentCodes[5] = {"25", "30", "35", "41", "49"};
        for (int st : kStationsUsed) {
            for (int i = 0; i < kGateCount; ++i) {
                const std::string address = Two(static_cast<unsigned>(st)) + kGates[i].id;
                if (inst.parse(gates[st][i], address, address, draxo::kGateTypeFloat) != 0) {
                    std::cerr << "parser refused " << address << "\n";
                    return 2;
                }
            }
            for (int k = 0; k < 5; ++k) {
                const std::string address = Two(static_cast<unsigned>(st)) + segmentCodes[k];
                if (inst.parse(segments[st][k], address, address, 0) != 0) {
                    std::cerr << "parser refused " << address << "\n";
                    return 2;
                }
            }
        }
        auto setSelector = [&](int st, int k, unsigned v) {
            Gate& g = segments[st][k];
            g.setSegment(static_cast<std::uint16_t>(v));
            if (inst.write(g) != 0) {
                fail("segment gate write " + g.text);
            }
            unsigned* fields[5] = {&selectors[st].pn, &selectors[st].sn, &selectors[st].tn,
                                   &selectors[st].po, &selectors[st].an};
            *fields[k] = v;
        };
        // Distinct starting values for every gate and selector set that the
        // run can reach, so that a reply landing in the wrong gate shows.
        std::set<Key> seeded;
        auto seed = [&](int st) {
            for (int i = 0; i < kGateCount; ++i) {
                const std::string text = RequestText(kGates[i], selectors[st]);
                if (!seeded.insert({st, text}).second) {
                    continue;
                }
                const std::string reply = sim->command("set " + std::to_string(st) + " " + text +
                                                       " " + PickValue(kGates[i], rng).text);
                if (reply != "OK") {
                    throw std::runtime_error("set " + text + ": " + reply);
                }
            }
        };
        for (int st : kStationsUsed) {
            for (int k = 0; k < 5; ++k) {
                setSelector(st, k, static_cast<unsigned>(st + k));
            }
            seed(st);
        }

        // The bound of one call: four attempts, each the pause, two
        // transmissions with their 1 ms sleeps, one full reply time-out
        // and every character that may come in before it: the skipped
        // ones and a frame filling the receive buffer, timed at 9600 baud
        // although the pty is faster. Generous on purpose.
        const double charMs = 10.0 / 9.6;
        const double attemptMs = 10.0 * o.replyTimeout + (300 + 130 + 2) * charMs + 30.0;
        const double boundMs = 4 * attemptMs;

        std::vector<CallRecord> calls;
        calls.reserve(static_cast<std::size_t>(o.calls));
        std::map<std::int32_t, long> readResults, writeResults;
        double worstMs = 0;
        std::string worstWhat;
        const auto runStart = Clock::now();
        for (long n = 0; n < o.calls; ++n) {
            const int st = kStationsUsed[std::uniform_int_distribution<int>(0, 1)(rng)];
            const int roll = std::uniform_int_distribution<int>(0, 99)(rng);
            if (roll < 2) {
                // Another selector: later requests of that group change.
                const int k = std::uniform_int_distribution<int>(0, 4)(rng);
                setSelector(st, k, std::uniform_int_distribution<unsigned>(0, 9)(rng));
                seed(st);
                continue;
            }
            const int gi = std::uniform_int_distribution<int>(0, kGateCount - 1)(rng);
            const GateDef& def = kGates[gi];
            Gate& g = gates[st][gi];
            CallRecord c;
            c.station = st;
            c.gate = gi;
            c.text = RequestText(def, selectors[st]);
            c.write = def.writable && roll < 45;
            if (c.write) {
                const WriteValue wv = PickValue(def, rng);
                c.sentData = wv.text;
                g.setValue(wv.value);
            } else {
                g.setValue(-12345.5f);
            }
            c.wallStart = WallNow();
            const auto t0 = Clock::now();
            const long ackTimeoutsBefore = messages.timeouts();
            c.result = c.write ? inst.write(g) : inst.read(g);
            c.ackTimedOut = messages.timeouts() != ackTimeoutsBefore;
            const double ms = simhost::SecondsSince(t0) * 1000.0;
            c.wallEnd = WallNow();
            c.stored = g.value();
            if (ms > worstMs) {
                worstMs = ms;
                worstWhat =
                    (c.write ? "write " : "read ") + g.text + " result " + std::to_string(c.result);
            }
            if (ms > boundMs) {
                fail((c.write ? "write " : "read ") + g.text + " took " + std::to_string(ms) +
                     " ms, bound " + std::to_string(boundMs) + " ms");
            }
            if (!c.write && c.result != 0 && c.stored != -12345.5f) {
                fail("failed read of " + g.text + " changed the slot");
            }
            ++(c.write ? writeResults : readResults)[c.result];
            calls.push_back(std::move(c));
        }
        const double runSeconds = simhost::SecondsSince(runStart);

        // The simulator's state of every gate that a write reached.
        std::map<Key, std::string> finalState;
        for (const CallRecord& c : calls) {
            if (c.write && !finalState.count({c.station, c.text})) {
                finalState[{c.station, c.text}] =
                    sim->command("get " + std::to_string(c.station) + " " + c.text);
            }
        }
        const std::string stats = sim->command("stats");
        sim.reset(); // the journal is complete once the simulator has ended

        std::map<Key, std::vector<JournalFrame>> frames;
        std::map<Key, std::vector<JournalWrite>> accepted;
        {
            std::ifstream in(journalPath);
            std::string line;
            while (std::getline(in, line)) {
                const auto j = nlohmann::json::parse(line, nullptr, false);
                if (!j.is_object()) {
                    fail("journal line is not JSON: " + line);
                    continue;
                }
                const Key key{j.value("addr", -1), j.value("text", std::string())};
                const double t = j.value("t", 0.0);
                if (j.contains("write")) {
                    accepted[key].push_back({t, j["write"].get<std::string>()});
                } else {
                    JournalFrame f{t, "", ""};
                    if (j["value"].is_string()) {
                        f.value = j["value"].get<std::string>();
                    }
                    if (j["fault"].is_string()) {
                        f.fault = j["fault"].get<std::string>();
                    }
                    frames[key].push_back(f);
                }
            }
        }

        // Every value read came in a frame sent for that very gate, from
        // the time a late reply to it could still arrive up to the end of
        // the call. Corrupted frames fail their BCC and cannot count.
        const double slack = 0.05;
        const double lateWindow = (o.lateMs + 10.0 * o.replyTimeout) / 1000.0 * 4;
        long readsChecked = 0, readsFromLateFrame = 0, readsFromOtherStation = 0;
        for (const CallRecord& c : calls) {
            if (c.write || c.result != 0) {
                continue;
            }
            ++readsChecked;
            bool current = false, earlier = false;
            for (const JournalFrame& f : frames[{c.station, c.text}]) {
                if (f.value.empty() || f.fault == "corrupt" || f.t < c.wallStart - lateWindow ||
                    f.t > c.wallEnd + slack || simhost::DecodeValueText(f.value) != c.stored) {
                    continue;
                }
                (f.t >= c.wallStart - slack ? current : earlier) = true;
            }
            readsFromLateFrame += (!current && earlier) ? 1 : 0;
            // Replies carry no controller address: a late reply of another
            // controller to the same request text is indistinguishable
            // from the awaited one. Only such a reply may explain a value
            // foreign to the gate.
            bool otherStation = false;
            for (const auto& [key, list] : frames) {
                if (key.second != c.text || key.first == c.station) {
                    continue;
                }
                for (const JournalFrame& f : list) {
                    otherStation =
                        otherStation ||
                        (f.fault == "late" && f.t >= c.wallStart - slack &&
                         f.t <= c.wallEnd + slack && simhost::DecodeValueText(f.value) == c.stored);
                }
            }
            if (!current && !earlier && otherStation) {
                ++readsFromOtherStation;
                continue;
            }
            if (!current && !earlier) {
                std::ostringstream s;
                s << "read of " << c.station << " " << c.text << " stored " << c.stored
                  << ", which no frame for it carried";
                fail(s.str());
            }
        }

        // Every acknowledged write reached the controller with the data
        // the driver must send, during the call.
        // An acknowledgement names nothing either: a late one, sent a late
        // delay after a write taken during an earlier call, may be the
        // acknowledgement another write receives.
        // Candidates are writes taken in an attempt that then failed,
        // and, in a chain, writes taken in a call that itself consumed such
        // a late acknowledgement (their own one then comes after the call).
        auto inWindow = [&](double t, const CallRecord& d) {
            return t >= d.wallStart - slack && t <= d.wallEnd + slack;
        };
        std::vector<double> acceptTimes;
        std::vector<bool> source(calls.size(), false);
        for (std::size_t i = 0; i < calls.size(); ++i) {
            source[i] = calls[i].ackTimedOut;
        }
        for (bool grew = true; grew;) {
            grew = false;
            acceptTimes.clear();
            for (const auto& [key, list] : accepted) {
                for (const JournalWrite& w : list) {
                    for (std::size_t i = 0; i < calls.size(); ++i) {
                        if (source[i] && inWindow(w.t, calls[i])) {
                            acceptTimes.push_back(w.t);
                            break;
                        }
                    }
                }
            }
            for (std::size_t i = 0; i < calls.size(); ++i) {
                const CallRecord& d = calls[i];
                if (source[i] || !d.write || d.result != 0) {
                    continue;
                }
                for (double t : acceptTimes) {
                    if (t < d.wallStart && inWindow(t + o.lateMs / 1000.0, d)) {
                        source[i] = grew = true;
                        break;
                    }
                }
            }
        }
        auto lateAckFits = [&](const CallRecord& c) {
            return std::any_of(acceptTimes.begin(), acceptTimes.end(), [&](double t) {
                const double ackAt = t + o.lateMs / 1000.0;
                return t < c.wallStart && ackAt >= c.wallStart - slack &&
                       ackAt <= c.wallEnd + slack;
            });
        };
        long writesChecked = 0, writesAckedLate = 0;
        for (CallRecord& c : calls) {
            if (!c.write || c.result != 0) {
                continue;
            }
            ++writesChecked;
            bool found = false;
            for (const JournalWrite& w : accepted[{c.station, c.text}]) {
                found = found || (w.data == c.sentData && w.t >= c.wallStart - slack &&
                                  w.t <= c.wallEnd + slack);
            }
            if (!found && lateAckFits(c)) {
                ++writesAckedLate;
                c.lateAck = true;
                continue;
            }
            if (!found) {
                char when[64];
                std::snprintf(when, sizeof when, " (call from %.3f to %.3f)", c.wallStart,
                              c.wallEnd);
                fail("write of " + c.sentData + " to " + std::to_string(c.station) + " " + c.text +
                     " was acknowledged but never stored" + when);
            }
        }
        // And the last acknowledged write of each gate is its state now,
        // unless a later write, refused to us but maybe taken, overwrote it.
        for (const auto& [key, state] : finalState) {
            std::vector<std::string> allowed;
            for (const CallRecord& c : calls) {
                if (!c.write || Key{c.station, c.text} != key) {
                    continue;
                }
                if (c.result == 0 && !c.lateAck) {
                    allowed.clear();
                }
                allowed.push_back(c.sentData);
            }
            const bool anyAck = std::any_of(calls.begin(), calls.end(), [&](const CallRecord& c) {
                return c.write && c.result == 0 && !c.lateAck && Key{c.station, c.text} == key;
            });
            if (!anyAck) {
                continue;
            }
            const float now = simhost::DecodeValueText(state);
            const bool ok = std::any_of(allowed.begin(), allowed.end(), [&](const std::string& d) {
                return simhost::DecodeValueText(d) == now;
            });
            if (!ok) {
                fail("state of " + std::to_string(key.first) + " " + key.second + " is '" + state +
                     "', not the last acknowledged write '" + allowed.front() + "'");
            }
        }

        // Port handles and descriptors over CloseCom/ReOpenCom cycles, on a
        // fresh, fault-free simulator.
        simhost::Simulator quiet(REXSIM_BINARY, {"--stations", "1,2", "--frozen"}, dir.path(),
                                 "quiet");
        Instance cycler(library.vpiMain(), 1);
        if (cycler.coldStart(quiet.portName(), o.replyTimeout) != 0) {
            fail("ColdStart for the cycles");
        }
        Gate probe;
        cycler.parse(probe, "01S1", "cycle-probe", draxo::kGateTypeFloat);
        if (cycler.read(probe) != 0) {
            fail("read before the cycles");
        }
        const int fdBefore = simhost::OpenDescriptors();
        int cycleFailures = 0;
        for (int i = 0; i < o.cycles; ++i) {
            if (cycler.call(simhost::kCloseCom) != 0 || cycler.call(simhost::kReOpenCom) != 0) {
                ++cycleFailures;
            }
        }
        const int fdAfter = simhost::OpenDescriptors();
        if (cycleFailures != 0) {
            fail(std::to_string(cycleFailures) + " of " + std::to_string(o.cycles) +
                 " CloseCom/ReOpenCom cycles failed");
        }
        if (fdAfter != fdBefore) {
            fail("descriptors " + std::to_string(fdBefore) + " before the cycles, " +
                 std::to_string(fdAfter) + " after");
        }
        if (cycler.read(probe) != 0) {
            fail("read after the cycles");
        }
        cycler.call(simhost::kCloseCom);
        inst.call(simhost::kCloseCom);
        const int fdClosed = simhost::OpenDescriptors();

        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        long reads = 0, writes = 0;
        for (const CallRecord& c : calls) {
            ++(c.write ? writes : reads);
        }
        std::cout << "calls " << calls.size() << " (" << reads << " reads, " << writes
                  << " writes) in " << runSeconds << " s, seed " << o.seed << ", faults "
                  << o.faults << "\n";
        auto printResults = [](const char* what, const std::map<std::int32_t, long>& m) {
            std::cout << what << ":";
            for (const auto& [rc, count] : m) {
                std::cout << " result " << rc << " x" << count;
            }
            std::cout << "\n";
        };
        printResults("reads", readResults);
        printResults("writes", writeResults);
        std::cout << "reads checked against the journal " << readsChecked << ": "
                  << readsFromLateFrame << " took a late frame of their own gate, "
                  << readsFromOtherStation
                  << " a late frame of the same request text from the other controller\n";
        std::cout << "acknowledged writes checked " << writesChecked << ": " << writesAckedLate
                  << " took a late acknowledgement of an earlier write and were not stored\n";
        std::cout << "worst call " << worstMs << " ms (" << worstWhat << "), bound " << boundMs
                  << " ms\n";
        std::cout << "CloseCom/ReOpenCom cycles " << o.cycles << ": descriptors " << fdBefore
                  << " before, " << fdAfter << " after, " << fdClosed << " with the ports closed\n";
        std::cout << "simulator stats " << stats << "\n";
        std::cout << "driver messages by shape:\n";
        {
            std::lock_guard lock(messages.mutex);
            for (const auto& [shape, count] : messages.byShape) {
                std::cout << "  " << count << "  " << shape << "\n";
            }
        }
        std::cout << "max RSS " << ru.ru_maxrss << " KiB\n";
        std::cout << (failures == 0 ? "PASS" : "FAILED: " + std::to_string(failures) + " checks")
                  << "\n";
        if (o.keep) {
            std::filesystem::copy_file(journalPath, "/tmp/draxo-soak-journal.jsonl",
                                       std::filesystem::copy_options::overwrite_existing);
        }
    } catch (const std::exception& e) {
        std::cerr << "setup error: " << e.what() << "\n";
        korvan_set_sink(nullptr, nullptr);
        return 2;
    }
    korvan_set_sink(nullptr, nullptr);
    return failures == 0 ? 0 : 1;
}
