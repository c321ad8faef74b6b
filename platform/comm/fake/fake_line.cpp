// The scripted serial line: the comm calls of comm.h carried out against one
// process-wide, in-memory line whose clock only moves when a caller sleeps or
// a read waits. See fake_line.h for what tests can script and observe.
//
// Model:
//   - Input is one queue of bytes, each with the virtual time at which it
//     arrives, kept in arrival order. A read takes bytes from its front.
//   - Output is a transmitter that sends the bytes of each write one after
//     another, msPerByte each, behind whatever it is still sending.
//   - Every call is numbered per function (failed ones too) so that a test
//     can make the nth call of a function fail.
#include "fake_line.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

namespace draxo::fake {
namespace {

constexpr comm::Handle kFirstHandle = 0x100;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// EscapeCommFunction codes that exist besides the RTS and DTR ones:
// SETXOFF 1, SETXON 2, RESETDEV 7, SETBREAK 8, CLRBREAK 9.
constexpr std::uint32_t kSetXoff = 1;
constexpr std::uint32_t kClrBreak = 9;

const std::set<std::string>& failableFunctions() {
    static const std::set<std::string> names{
        "CreateFileA",     "CloseHandle", "GetCommState",   "SetCommState",       "GetCommTimeouts",
        "SetCommTimeouts", "SetupComm",   "ClearCommError", "EscapeCommFunction", "SetCommBreak",
        "ClearCommBreak",  "ReadFile",    "WriteFile"};
    return names;
}

struct Arrival {
    std::int64_t at;
    char byte;
};

// One write's bytes on the transmitter: they leave one by one from `start`.
struct TxChunk {
    double start;
    std::uint32_t bytes;
    double msPerByte;
};

struct PortEntry {
    bool exists = false;
    PortState state{};
};

comm::Dcb defaultDcb() {
    comm::Dcb d{};
    d.DCBlength = 28;
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.ByteSize = 8;
    d.Parity = comm::kNoParity;
    d.StopBits = comm::kOneStopBit;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

struct Line {
    std::int64_t clock = 0;
    std::map<std::string, PortEntry> ports; // node-based: PortState pointers stay valid
    std::map<comm::Handle, std::string> openHandles;
    comm::Handle nextHandle = kFirstHandle;

    std::map<std::string, int> callNumbers;
    std::map<std::string, std::set<int>> failures;
    std::map<int, std::uint32_t> shortWrites;
    std::map<int, std::uint32_t> shortReads;

    std::deque<Arrival> input;
    std::function<void(std::string_view)> responder;

    double msPerByte = 0.0;
    std::vector<TxChunk> tx;
    double txEnd = 0.0;

    std::vector<Call> log;
    std::string allWritten;
    std::vector<std::string> writeList;
    std::vector<RtsEdge> edges;
};

PortEntry& entryFor(Line& l, const std::string& name) {
    auto [it, inserted] = l.ports.try_emplace(name);
    if (inserted) {
        PortState& s = it->second.state;
        s.name = name;
        s.handle = comm::kInvalidHandle;
        s.open = false;
        s.dcb = defaultDcb();
        s.timeouts = comm::CommTimeouts{};
        s.rts = false;
        s.dtr = false;
    }
    return it->second;
}

Line freshLine() {
    Line l;
    entryFor(l, "NUL").exists = true;
    return l;
}

Line& line() {
    static Line l = freshLine();
    return l;
}

// The one place the virtual clock is read.
std::int64_t clockNow() {
    return line().clock;
}

// Numbers this call of `function` (1-based since reset) and tells whether a
// failure was injected for it.
bool nextCallFails(const std::string& function) {
    Line& l = line();
    const int n = ++l.callNumbers[function];
    const auto it = l.failures.find(function);
    return it != l.failures.end() && it->second.count(n) != 0;
}

int currentCallNumber(const std::string& function) {
    return line().callNumbers[function];
}

void record(std::string name, std::vector<std::int64_t> args, std::string text, std::int64_t at,
            bool ok) {
    line().log.push_back(Call{std::move(name), std::move(args), std::move(text), at, ok});
}

PortState* openPort(comm::Handle h) {
    Line& l = line();
    const auto it = l.openHandles.find(h);
    if (it == l.openHandles.end()) {
        return nullptr;
    }
    return &l.ports.at(it->second).state;
}

void setRts(PortState& p, bool raised) {
    if (p.rts != raised) {
        p.rts = raised;
        line().edges.push_back(RtsEdge{clockNow(), raised});
    }
}

void setDtr(PortState& p, bool raised) {
    p.dtr = raised;
}

void insertArrival(std::int64_t at, char byte) {
    std::deque<Arrival>& in = line().input;
    // Behind every byte that arrives at the same time or earlier, so that
    // bytes of one delivery keep their order.
    const auto pos = std::upper_bound(in.begin(), in.end(), at,
                                      [](std::int64_t t, const Arrival& a) { return t < a.at; });
    in.insert(pos, Arrival{at, byte});
}

std::size_t arrivedBy(std::int64_t t) {
    const std::deque<Arrival>& in = line().input;
    const auto end = std::upper_bound(in.begin(), in.end(), t,
                                      [](std::int64_t v, const Arrival& a) { return v < a.at; });
    return static_cast<std::size_t>(end - in.begin());
}

std::uint32_t outputQueued(std::int64_t t) {
    Line& l = line();
    const double tNow = static_cast<double>(t);
    std::uint64_t queued = 0;
    for (const TxChunk& c : l.tx) {
        // A byte has left once its whole time on the line has passed; the
        // small allowance keeps 0.1 ms steps from leaving a byte behind.
        const double sent = std::floor((tNow - c.start) / c.msPerByte + 1e-9);
        const double left = static_cast<double>(c.bytes) - std::clamp(sent, 0.0, double(c.bytes));
        queued += static_cast<std::uint64_t>(left);
    }
    std::erase_if(
        l.tx, [tNow](const TxChunk& c) { return tNow >= c.start + c.bytes * c.msPerByte - 1e-9; });
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(queued, kMaxDword));
}

struct ReadPlan {
    std::size_t take;
    std::int64_t end; // the clock when the read returns
};

// What a read of `count` bytes starting at `start` gets under the Windows
// time-out rules, or nothing when it would wait without end.
std::optional<ReadPlan> planRead(const comm::CommTimeouts& t, std::uint32_t count,
                                 std::int64_t start) {
    const std::deque<Arrival>& in = line().input;
    const std::size_t want = count;
    if (want == 0) {
        return ReadPlan{0, start};
    }
    const std::size_t there = std::min(want, arrivedBy(start));

    // Interval MAXDWORD with both total fields 0: return at once with what is there.
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        return ReadPlan{there, start};
    }
    // Interval and multiplier MAXDWORD, a real constant: return as soon as
    // any byte is there, waiting up to the constant for the first one.
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword) {
        if (there > 0) {
            return ReadPlan{there, start};
        }
        const std::int64_t deadline = start + t.ReadTotalTimeoutConstant;
        if (!in.empty() && in.front().at <= deadline) {
            const std::int64_t first = in.front().at;
            return ReadPlan{std::min(want, arrivedBy(first)), first};
        }
        return ReadPlan{0, deadline};
    }

    // The general rule: a total time-out of multiplier × count + constant
    // (none if both are 0), and an interval time-out between two bytes
    // (none if 0) that starts with the first byte.
    std::optional<std::int64_t> total;
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        total = start +
                static_cast<std::int64_t>(t.ReadTotalTimeoutMultiplier) *
                    static_cast<std::int64_t>(count) +
                static_cast<std::int64_t>(t.ReadTotalTimeoutConstant);
    }
    const std::int64_t interval = t.ReadIntervalTimeout;

    std::size_t taken = 0;
    std::int64_t last = start;
    while (taken < want) {
        std::optional<std::int64_t> deadline = total;
        if (interval != 0 && taken > 0) {
            const std::int64_t gapEnd = last + interval;
            deadline = deadline ? std::min(*deadline, gapEnd) : gapEnd;
        }
        if (taken == in.size()) {
            // The script holds nothing more: only a time-out ends the wait.
            if (!deadline) {
                return std::nullopt;
            }
            return ReadPlan{taken, std::max(*deadline, start)};
        }
        const std::int64_t arrival = std::max(in[taken].at, start);
        if (deadline && arrival > *deadline) {
            return ReadPlan{taken, std::max(*deadline, start)};
        }
        last = arrival;
        ++taken;
    }
    return ReadPlan{taken, last};
}

void checkNth(int nth) {
    if (nth < 1) {
        throw std::invalid_argument("fake line: call numbers start at 1");
    }
}

} // namespace

// ---- Scripting ----------------------------------------------------------

void reset() {
    line() = freshLine();
}

void addPort(const std::string& name) {
    entryFor(line(), name).exists = true;
}

void setInitialDcb(const std::string& name, const comm::Dcb& dcb) {
    entryFor(line(), name).state.dcb = dcb;
}

void failCall(const std::string& function, int nth) {
    if (failableFunctions().count(function) == 0) {
        throw std::invalid_argument("fake line: no failure can be injected into '" + function +
                                    "'");
    }
    checkNth(nth);
    line().failures[function].insert(nth);
}

void shortWrite(int nth, std::uint32_t count) {
    checkNth(nth);
    line().shortWrites[nth] = count;
}

void shortRead(int nth, std::uint32_t count) {
    checkNth(nth);
    line().shortReads[nth] = count;
}

void deliverAt(std::int64_t atMs, std::string_view bytes) {
    for (const char b : bytes) {
        insertArrival(atMs, b);
    }
}

void deliver(std::string_view bytes, std::int64_t delayMs) {
    deliverAt(clockNow() + delayMs, bytes);
}

void dribble(std::string_view bytes, std::int64_t delayMs, std::int64_t gapMs) {
    std::int64_t at = clockNow() + delayMs;
    for (const char b : bytes) {
        insertArrival(at, b);
        at += gapMs;
    }
}

void onWrite(std::function<void(std::string_view written)> responder) {
    line().responder = std::move(responder);
}

void setOutputDrain(double msPerByte) {
    if (!(msPerByte >= 0.0) || !std::isfinite(msPerByte)) {
        throw std::invalid_argument("fake line: output drain must be a finite number >= 0");
    }
    line().msPerByte = msPerByte;
}

// ---- Observation --------------------------------------------------------

std::int64_t now() {
    return clockNow();
}

const std::vector<Call>& calls() {
    return line().log;
}

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    names.reserve(line().log.size());
    for (const Call& c : line().log) {
        names.push_back(c.name);
    }
    return names;
}

int count(const std::string& function) {
    const auto& numbers = line().callNumbers;
    const auto it = numbers.find(function);
    return it == numbers.end() ? 0 : it->second;
}

std::string written() {
    return line().allWritten;
}

std::vector<std::string> writes() {
    return line().writeList;
}

std::vector<RtsEdge> rtsEdges() {
    return line().edges;
}

std::size_t pendingInput() {
    return arrivedBy(clockNow());
}

const PortState* port(const std::string& name) {
    const auto& ports = line().ports;
    const auto it = ports.find(name);
    if (it == ports.end() || !it->second.exists) {
        return nullptr;
    }
    return &it->second.state;
}

const PortState* portByHandle(comm::Handle h) {
    for (const auto& [name, entry] : line().ports) {
        if (entry.exists && entry.state.handle == h && h != comm::kInvalidHandle) {
            return &entry.state;
        }
    }
    return nullptr;
}

} // namespace draxo::fake

// ---- The comm calls -----------------------------------------------------

namespace draxo::comm {

namespace {

using H = std::int64_t;

} // namespace

Handle CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                   std::uint32_t creation, std::uint32_t flags) {
    auto& l = fake::line();
    const bool injected = fake::nextCallFails("CreateFileA");
    const std::int64_t at = fake::clockNow();
    const std::string portName = name ? name : "";
    // Only what comm.h promises is supported: read and write access, no
    // sharing, OPEN_EXISTING, synchronous I/O.
    const bool argsOk = name != nullptr && access == (kGenericRead | kGenericWrite) &&
                        shareMode == 0 && creation == kOpenExisting &&
                        (flags & ~kFileAttributeNormal) == 0;
    Handle h = kInvalidHandle;
    const auto it = l.ports.find(portName);
    if (!injected && argsOk && it != l.ports.end() && it->second.exists && !it->second.state.open) {
        h = l.nextHandle;
        l.nextHandle = l.nextHandle + 1 == kInvalidHandle ? fake::kFirstHandle : l.nextHandle + 1;
        it->second.state.handle = h;
        it->second.state.open = true;
        l.openHandles[h] = portName;
    }
    fake::record("CreateFileA", {access, shareMode, creation, flags}, portName, at,
                 h != kInvalidHandle);
    return h;
}

bool CloseHandle(Handle h) {
    const bool injected = fake::nextCallFails("CloseHandle");
    fake::PortState* p = fake::openPort(h);
    const bool ok = !injected && p != nullptr;
    if (ok) {
        p->open = false;
        fake::line().openHandles.erase(h);
    }
    fake::record("CloseHandle", {H(h)}, "", fake::clockNow(), ok);
    return ok;
}

bool GetCommState(Handle h, Dcb* dcb) {
    const bool injected = fake::nextCallFails("GetCommState");
    fake::PortState* p = fake::openPort(h);
    const bool ok = !injected && p != nullptr && dcb != nullptr;
    if (ok) {
        *dcb = p->dcb;
    }
    fake::record("GetCommState", {H(h)}, "", fake::clockNow(), ok);
    return ok;
}

bool SetCommState(Handle h, const Dcb* dcb) {
    const bool injected = fake::nextCallFails("SetCommState");
    fake::PortState* p = fake::openPort(h);
    const bool ok = !injected && p != nullptr && dcb != nullptr;
    if (ok) {
        p->dcb = *dcb;
        // Like Windows, applying the state sets the modem lines that the
        // ENABLE and DISABLE modes fix; the other modes leave them.
        if (dcb->fDtrControl == kDtrControlEnable) {
            fake::setDtr(*p, true);
        } else if (dcb->fDtrControl == kDtrControlDisable) {
            fake::setDtr(*p, false);
        }
        if (dcb->fRtsControl == kRtsControlEnable) {
            fake::setRts(*p, true);
        } else if (dcb->fRtsControl == kRtsControlDisable) {
            fake::setRts(*p, false);
        }
    }
    fake::record("SetCommState", {H(h)}, "", fake::clockNow(), ok);
    return ok;
}

bool GetCommTimeouts(Handle h, CommTimeouts* t) {
    const bool injected = fake::nextCallFails("GetCommTimeouts");
    fake::PortState* p = fake::openPort(h);
    const bool ok = !injected && p != nullptr && t != nullptr;
    if (ok) {
        *t = p->timeouts;
    }
    fake::record("GetCommTimeouts", {H(h)}, "", fake::clockNow(), ok);
    return ok;
}

bool SetCommTimeouts(Handle h, const CommTimeouts* t) {
    const bool injected = fake::nextCallFails("SetCommTimeouts");
    fake::PortState* p = fake::openPort(h);
    const bool ok = !injected && p != nullptr && t != nullptr;
    if (ok) {
        p->timeouts = *t;
    }
    std::vector<std::int64_t> args{H(h)};
    if (t != nullptr) {
        args.insert(args.end(), {t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                                 t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                                 t->WriteTotalTimeoutConstant});
    }
    fake::record("SetCommTimeouts", std::move(args), "", fake::clockNow(), ok);
    return ok;
}

bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
    const bool injected = fake::nextCallFails("SetupComm");
    const bool ok = !injected && fake::openPort(h) != nullptr;
    fake::record("SetupComm", {H(h), inQueue, outQueue}, "", fake::clockNow(), ok);
    return ok;
}

bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
    const bool injected = fake::nextCallFails("ClearCommError");
    const bool ok = !injected && fake::openPort(h) != nullptr;
    const std::int64_t at = fake::clockNow();
    if (ok) {
        if (errors != nullptr) {
            *errors = 0;
        }
        if (stat != nullptr) {
            stat->cbInQue = static_cast<std::uint32_t>(
                std::min<std::size_t>(fake::arrivedBy(at), fake::kMaxDword));
            stat->cbOutQue = fake::outputQueued(at);
        }
    }
    fake::record("ClearCommError", {H(h)}, "", at, ok);
    return ok;
}

bool EscapeCommFunction(Handle h, std::uint32_t function) {
    const bool injected = fake::nextCallFails("EscapeCommFunction");
    fake::PortState* p = fake::openPort(h);
    const bool known = function >= fake::kSetXoff && function <= fake::kClrBreak;
    const bool ok = !injected && p != nullptr && known;
    if (ok) {
        switch (function) {
        case kSetRts:
            fake::setRts(*p, true);
            break;
        case kClrRts:
            fake::setRts(*p, false);
            break;
        case kSetDtr:
            fake::setDtr(*p, true);
            break;
        case kClrDtr:
            fake::setDtr(*p, false);
            break;
        default:
            break; // XON/XOFF, reset and break have nothing to model here
        }
    }
    fake::record("EscapeCommFunction", {H(h), function}, "", fake::clockNow(), ok);
    return ok;
}

bool SetCommBreak(Handle h) {
    const bool injected = fake::nextCallFails("SetCommBreak");
    const bool ok = !injected && fake::openPort(h) != nullptr;
    fake::record("SetCommBreak", {H(h)}, "", fake::clockNow(), ok);
    return ok;
}

bool ClearCommBreak(Handle h) {
    const bool injected = fake::nextCallFails("ClearCommBreak");
    const bool ok = !injected && fake::openPort(h) != nullptr;
    fake::record("ClearCommBreak", {H(h)}, "", fake::clockNow(), ok);
    return ok;
}

bool ReadFile(Handle h, void* buffer, std::uint32_t count, std::uint32_t* read) {
    auto& l = fake::line();
    const bool injected = fake::nextCallFails("ReadFile");
    const int number = fake::currentCallNumber("ReadFile");
    const std::int64_t at = fake::clockNow();
    fake::PortState* p = fake::openPort(h);
    if (injected || p == nullptr || read == nullptr || (buffer == nullptr && count > 0)) {
        if (read != nullptr) {
            *read = 0;
        }
        fake::record("ReadFile", {H(h), count, 0}, "", at, false);
        return false;
    }

    fake::ReadPlan plan{};
    if (const auto s = l.shortReads.find(number); s != l.shortReads.end()) {
        // A short read ends at once with what is already there, cut to its count.
        plan.take = std::min<std::size_t>({count, s->second, fake::arrivedBy(at)});
        plan.end = at;
    } else if (const auto planned = fake::planRead(p->timeouts, count, at)) {
        plan = *planned;
    } else {
        *read = 0;
        fake::record("ReadFile", {H(h), count, 0}, "", at, false);
        throw std::logic_error("ReadFile would wait forever");
    }

    std::string bytes;
    bytes.reserve(plan.take);
    for (std::size_t i = 0; i < plan.take; ++i) {
        bytes.push_back(l.input.front().byte);
        l.input.pop_front();
    }
    if (!bytes.empty()) {
        std::copy(bytes.begin(), bytes.end(), static_cast<char*>(buffer));
    }
    l.clock = plan.end;
    *read = static_cast<std::uint32_t>(plan.take);
    fake::record("ReadFile", {H(h), count, H(plan.take)}, bytes, at, true);
    return true;
}

bool WriteFile(Handle h, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    auto& l = fake::line();
    const bool injected = fake::nextCallFails("WriteFile");
    const int number = fake::currentCallNumber("WriteFile");
    const std::int64_t at = fake::clockNow();
    if (injected || fake::openPort(h) == nullptr || written == nullptr ||
        (buffer == nullptr && count > 0)) {
        fake::record("WriteFile", {H(h), count, 0}, "", at, false);
        return false;
    }

    std::uint32_t n = count;
    if (const auto s = l.shortWrites.find(number); s != l.shortWrites.end()) {
        n = std::min(n, s->second);
    }
    std::string bytes;
    if (n > 0) {
        bytes.assign(static_cast<const char*>(buffer), n);
    }
    *written = n;
    l.allWritten += bytes;
    l.writeList.push_back(bytes);
    if (n > 0 && l.msPerByte > 0.0) {
        const double startTx = std::max(static_cast<double>(at), l.txEnd);
        l.txEnd = startTx + n * l.msPerByte;
        l.tx.push_back(fake::TxChunk{startTx, n, l.msPerByte});
    }
    fake::record("WriteFile", {H(h), count, n}, bytes, at, true);

    // A copy: the responder may replace itself.
    const auto responder = l.responder;
    if (responder) {
        responder(bytes);
    }
    return true;
}

void Sleep(std::uint32_t ms) {
    auto& l = fake::line();
    fake::nextCallFails("Sleep"); // numbered like every call; a sleep cannot fail
    const std::int64_t at = fake::clockNow();
    l.clock = at + ms;
    fake::record("Sleep", {ms}, "", at, true);
}

} // namespace draxo::comm
